# qvd_add_test_binary(<name> LABEL <label> DIR <dir> LIBS <libs...>)
# One test binary per component, built from every .cpp file of DIR (its
# *_test.cpp files and their fixtures), with the CTest label LABEL.
function(qvd_add_test_binary name)
  cmake_parse_arguments(T "" "LABEL;DIR" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${T_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main qvd_warnings Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  gtest_discover_tests(${name} PROPERTIES LABELS ${T_LABEL} DISCOVERY_TIMEOUT 60)
endfunction()
