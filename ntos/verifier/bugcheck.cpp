// verifier/bugcheck.cpp - the bug check path of the emulated kernel.
#include "ntos/verifier/bugcheck.h"
#include "bugcodes.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

namespace {

void VfpPrintCaller(const void* caller) {
    Dl_info info{};
    if (caller != nullptr && dladdr(caller, &info) != 0 && info.dli_sname != nullptr) {
        std::fprintf(stderr, "*** caller: %s+0x%lx\n", info.dli_sname,
                     static_cast<unsigned long>(static_cast<const char*>(caller) -
                                                static_cast<const char*>(info.dli_saddr)));
    } else {
        std::fprintf(stderr, "*** caller: %p\n", caller);
    }
}

} // namespace

void VfBugCheck(ULONG BugCheckCode, const char* rule, const void* caller, ULONG_PTR P1,
                ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    std::fprintf(stderr,
                 "\n*** STOP: 0x%08X (0x%lX, 0x%lX, 0x%lX, 0x%lX)\n"
                 "*** rule: %s\n",
                 BugCheckCode, static_cast<unsigned long>(P1), static_cast<unsigned long>(P2),
                 static_cast<unsigned long>(P3), static_cast<unsigned long>(P4), rule);
    VfpPrintCaller(caller);
    void* frames[48];
    int n = backtrace(frames, 48);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
    std::fflush(stderr);
    std::_Exit(3);
}

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    VfBugCheck(BugCheckCode, "KeBugCheckEx called", VF_CALLER(), P1, P2, P3, P4);
}

void KeBugCheck(ULONG BugCheckCode) {
    VfBugCheck(BugCheckCode, "KeBugCheck called", VF_CALLER());
}
