# Fails when a file of the driver, the installer or the agent library includes
# a host header.
# Allowed: quoted includes of the deliverable's own files or of the platform
# headers (ntos/include for the driver, win32/include for the installer), and
# the freestanding C++ headers.
set(freestanding cstdint cstddef cstring cstdarg type_traits climits cfloat limits
    new initializer_list stdint.h stddef.h stdarg.h string.h limits.h)

# Extra arguments name further allowed headers of the C++ library.
function(check_tree tree platform_dir)
  set(allowed ${freestanding} ${ARGN})
  file(GLOB_RECURSE files ${SOURCE_DIR}/${tree}/*.h ${SOURCE_DIR}/${tree}/*.cpp ${SOURCE_DIR}/${tree}/*.c)
  list(FILTER files EXCLUDE REGEX "/agent/cli/")
  foreach(f IN LISTS files)
    file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS lines)
      if(line MATCHES "<([^>]+)>")
        set(h ${CMAKE_MATCH_1})
        list(FIND allowed ${h} idx)
        if(idx EQUAL -1 AND NOT EXISTS ${SOURCE_DIR}/${platform_dir}/${h})
          message(SEND_ERROR "${f}: host header <${h}> is not allowed here")
        endif()
      elseif(line MATCHES "\"([^\"]+)\"")
        set(h ${CMAKE_MATCH_1})
        get_filename_component(dir ${f} DIRECTORY)
        if(NOT EXISTS ${dir}/${h} AND NOT EXISTS ${SOURCE_DIR}/${tree}/${h}
           AND NOT EXISTS ${SOURCE_DIR}/${platform_dir}/${h}
           AND NOT (tree STREQUAL "agent" AND h STREQUAL "snapshot/qvdapi.h"))
          message(SEND_ERROR "${f}: \"${h}\" is neither its own nor a platform header")
        endif()
      endif()
    endforeach()
  endforeach()
endfunction()

check_tree(driver ntos/include)
check_tree(installer win32/include)
# The agent's library is user-mode code on win32 too; it may use the C++
# library's containers and strings, but no host facility (threads, files,
# clocks). Its command line (agent/cli) is host code.
check_tree(agent win32/include string vector memory stdexcept atomic algorithm utility)
