// win32/user_heap.cpp - heap blocks in a user program's address space.
//
// Each block is a reservation of its own, committed whole: a small header
// (the block's magic) and the caller's bytes after it. Releasing the
// reservation gives everything back.
#include "win32/user_heap.h"
#include "ntos/ke/ki.h"
#include "ntos/mm/user_memory.h"
#include "ntos/verifier/bugcheck.h"

namespace {

constexpr ULONG64 BasepUserBlockMagic = 0x6B6F6C4270616548ull; // "HeapBlok"

// Bytes before the caller's part of a user block; keeps it 16-byte aligned.
struct alignas(16) BASEP_USER_BLOCK {
    ULONG64 Magic; // BasepUserBlockMagic while the block is allocated
};

// The process of the current thread when it runs a user program, else NULL.
PEPROCESS BasepCurrentUserProcess() {
    PKTHREAD thread = KiCurrentThreadOrNull();
    if (thread == nullptr) {
        return nullptr;
    }
    PEPROCESS process = reinterpret_cast<PEPROCESS>(thread->Process);
    return MmpHasUserAddressSpace(process) ? process : nullptr;
}

} // namespace

BOOLEAN BasepInUserProgram() {
    return BasepCurrentUserProcess() != nullptr;
}

PVOID BasepAllocateUserBlock(SIZE_T Bytes) {
    PEPROCESS process = BasepCurrentUserProcess();
    if (process == nullptr || Bytes > MMP_USER_ARENA_SIZE) {
        return nullptr;
    }
    PVOID base = nullptr;
    SIZE_T size = sizeof(BASEP_USER_BLOCK) + Bytes;
    if (!NT_SUCCESS(MmpAllocateUserMemory(process, &base, &size, MEM_RESERVE | MEM_COMMIT,
                                          PAGE_READWRITE))) {
        return nullptr;
    }
    static_cast<BASEP_USER_BLOCK*>(base)->Magic = BasepUserBlockMagic;
    return static_cast<BASEP_USER_BLOCK*>(base) + 1;
}

BOOLEAN BasepFreeUserBlock(PVOID Memory) {
    PEPROCESS process = BasepCurrentUserProcess();
    auto* block = static_cast<BASEP_USER_BLOCK*>(Memory) - 1;
    if (process == nullptr ||
        !MmpIsUserRange(process, reinterpret_cast<ULONG_PTR>(block), sizeof(*block), TRUE)) {
        return FALSE;
    }
    if (block->Magic != BasepUserBlockMagic) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "HeapFree: user memory that is not an allocated heap block", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(Memory));
    }
    block->Magic = 0;
    PVOID base = block;
    SIZE_T size = 0;
    MmpFreeUserMemory(process, &base, &size, MEM_RELEASE);
    return TRUE;
}
