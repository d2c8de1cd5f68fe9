// win32/heap.cpp - the process heap. In a user program's thread its blocks
// are user memory of the program's process, so they may be handed to the
// system services like any buffer of the program; in kernel or host context
// (the installer run from a test's initial thread) they come from the host's
// allocator.
#include "windows.h"
#include "bugcodes.h"
#include "ntos/verifier/bugcheck.h"
#include "win32/user_heap.h"

#include <cstdlib>
#include <cstring>

namespace {
// The one heap of the emulated process; its handle is only a token.
int BasepProcessHeap;
} // namespace

HANDLE GetProcessHeap() {
    return &BasepProcessHeap;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (hHeap != &BasepProcessHeap || (dwFlags & ~DWORD{HEAP_ZERO_MEMORY}) != 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "HeapAlloc: only the process heap and HEAP_ZERO_MEMORY are emulated",
                   VF_CALLER(), dwFlags);
    }
    void* block = BasepInUserProgram() ? BasepAllocateUserBlock(dwBytes)
                                       : std::malloc(dwBytes == 0 ? 1 : dwBytes);
    if (block != nullptr && (dwFlags & HEAP_ZERO_MEMORY)) {
        std::memset(block, 0, dwBytes);
    }
    return block;
}

BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    if (hHeap != &BasepProcessHeap || dwFlags != 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "HeapFree: only the process heap without flags is emulated", VF_CALLER(),
                   dwFlags);
    }
    if (lpMem != nullptr && !BasepFreeUserBlock(lpMem)) {
        std::free(lpMem);
    }
    return TRUE;
}
