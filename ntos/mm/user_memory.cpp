// mm/user_memory.cpp - per-process user address spaces: arenas reserved
// below 2 GB of the host, their reservations and committed pages, and the
// stacks of running user threads.
#include "ntos/mm/user_memory.h"
#include "ntos/verifier/bugcheck.h"

#include <sys/mman.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#ifndef STATUS_FREE_VM_NOT_AT_BASE
#define STATUS_FREE_VM_NOT_AT_BASE ((NTSTATUS)0xC000009FL)
#endif
#ifndef STATUS_MEMORY_NOT_ALLOCATED
#define STATUS_MEMORY_NOT_ALLOCATED ((NTSTATUS)0xC00000A0L)
#endif

namespace {

// Page states in MMP_ADDRESS_SPACE::Pages.
enum : UCHAR { MmpPageUncommitted = 0, MmpPageReadOnly = 1, MmpPageReadWrite = 2 };

struct MMP_ADDRESS_SPACE {
    ULONG_PTR Base;                           // arena start (host address = user address)
    std::map<ULONG_PTR, SIZE_T> Reservations; // start -> bytes (granularity-aligned start)
    std::vector<UCHAR> Pages;                 // state of each arena page
    std::map<ULONG_PTR, ULONG_PTR> Stacks;    // running user threads' stacks: low -> high
};

// Guards every address space and the map of them. Probes take it briefly;
// nothing is called with it held.
std::mutex MmpLock;
std::map<PEPROCESS, std::unique_ptr<MMP_ADDRESS_SPACE>> MmpSpaces; // MmpLock

MMP_ADDRESS_SPACE* MmpFindSpaceLocked(PEPROCESS Process) {
    auto it = MmpSpaces.find(Process);
    return it == MmpSpaces.end() ? nullptr : it->second.get();
}

ULONG_PTR MmpRoundDown(ULONG_PTR Value, ULONG_PTR Unit) {
    return Value & ~(Unit - 1);
}
ULONG_PTR MmpRoundUp(ULONG_PTR Value, ULONG_PTR Unit) {
    return (Value + Unit - 1) & ~(Unit - 1);
}

// The reservation holding [Start, End), or Reservations.end().
std::map<ULONG_PTR, SIZE_T>::iterator MmpFindReservation(MMP_ADDRESS_SPACE* Space, ULONG_PTR Start,
                                                         ULONG_PTR End) {
    auto it = Space->Reservations.upper_bound(Start);
    if (it == Space->Reservations.begin()) {
        return Space->Reservations.end();
    }
    --it;
    if (End > it->first + it->second) {
        return Space->Reservations.end();
    }
    return it;
}

bool MmpOverlapsReservation(MMP_ADDRESS_SPACE* Space, ULONG_PTR Start, ULONG_PTR End) {
    for (const auto& [start, size] : Space->Reservations) {
        if (start < End && Start < start + size) {
            return true;
        }
    }
    return false;
}

// First free granularity-aligned gap of Size bytes in the arena, or 0.
ULONG_PTR MmpFindFreeRange(MMP_ADDRESS_SPACE* Space, SIZE_T Size) {
    ULONG_PTR candidate = Space->Base;
    const ULONG_PTR end = Space->Base + MMP_USER_ARENA_SIZE;
    for (const auto& [start, size] : Space->Reservations) {
        if (candidate + Size <= start) {
            break;
        }
        candidate = MmpRoundUp(start + size, MMP_ALLOCATION_GRANULARITY);
    }
    return candidate + Size <= end ? candidate : 0;
}

void MmpSetPages(MMP_ADDRESS_SPACE* Space, ULONG_PTR Start, ULONG_PTR End, UCHAR State) {
    for (ULONG_PTR page = Start; page < End; page += PAGE_SIZE) {
        Space->Pages[(page - Space->Base) / PAGE_SIZE] = State;
    }
}

// Makes [Start, End) accessible with State's protection (pages already
// committed keep their contents).
NTSTATUS MmpCommit(MMP_ADDRESS_SPACE* Space, ULONG_PTR Start, ULONG_PTR End, UCHAR State) {
    int protection = State == MmpPageReadWrite ? PROT_READ | PROT_WRITE : PROT_READ;
    if (mprotect(reinterpret_cast<void*>(Start), End - Start, protection) != 0) {
        return STATUS_NO_MEMORY;
    }
    MmpSetPages(Space, Start, End, State);
    return STATUS_SUCCESS;
}

// Drops the contents of [Start, End) (zero when committed again) and makes
// it inaccessible.
void MmpDecommit(MMP_ADDRESS_SPACE* Space, ULONG_PTR Start, ULONG_PTR End) {
    madvise(reinterpret_cast<void*>(Start), End - Start, MADV_DONTNEED);
    mprotect(reinterpret_cast<void*>(Start), End - Start, PROT_NONE);
    MmpSetPages(Space, Start, End, MmpPageUncommitted);
}

} // namespace

NTSTATUS MmpCreateUserAddressSpace(PEPROCESS Process) {
    void* arena = mmap(nullptr, MMP_USER_ARENA_SIZE, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_32BIT, -1, 0);
    if (arena == MAP_FAILED) {
        return STATUS_NO_MEMORY;
    }
    auto space = std::make_unique<MMP_ADDRESS_SPACE>();
    space->Base = reinterpret_cast<ULONG_PTR>(arena);
    space->Pages.assign(MMP_USER_ARENA_SIZE / PAGE_SIZE, MmpPageUncommitted);
    std::lock_guard<std::mutex> guard(MmpLock);
    if (MmpFindSpaceLocked(Process) != nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "process given a second user address space",
                   VF_CALLER());
    }
    MmpSpaces.emplace(Process, std::move(space));
    return STATUS_SUCCESS;
}

VOID MmpDeleteUserAddressSpace(PEPROCESS Process) {
    std::unique_ptr<MMP_ADDRESS_SPACE> space;
    {
        std::lock_guard<std::mutex> guard(MmpLock);
        auto it = MmpSpaces.find(Process);
        if (it == MmpSpaces.end()) {
            return;
        }
        space = std::move(it->second);
        MmpSpaces.erase(it);
    }
    munmap(reinterpret_cast<void*>(space->Base), MMP_USER_ARENA_SIZE);
}

BOOLEAN MmpHasUserAddressSpace(PEPROCESS Process) {
    std::lock_guard<std::mutex> guard(MmpLock);
    return MmpFindSpaceLocked(Process) != nullptr;
}

NTSTATUS MmpAllocateUserMemory(PEPROCESS Process, PVOID* BaseAddress, SIZE_T* RegionSize,
                               ULONG AllocationType, ULONG Protect) {
    if ((AllocationType & ~ULONG{MEM_COMMIT | MEM_RESERVE}) != 0 ||
        (AllocationType & (MEM_COMMIT | MEM_RESERVE)) == 0 || *RegionSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR state;
    if (Protect == PAGE_READWRITE) {
        state = MmpPageReadWrite;
    } else if (Protect == PAGE_READONLY) {
        state = MmpPageReadOnly;
    } else if (Protect == PAGE_NOACCESS && !(AllocationType & MEM_COMMIT)) {
        state = MmpPageUncommitted;
    } else {
        // Executable, guard and no-cache pages are not emulated.
        return STATUS_INVALID_PAGE_PROTECTION;
    }
    std::lock_guard<std::mutex> guard(MmpLock);
    MMP_ADDRESS_SPACE* space = MmpFindSpaceLocked(Process);
    if (space == nullptr) {
        return STATUS_CONFLICTING_ADDRESSES;
    }
    const ULONG_PTR requested = reinterpret_cast<ULONG_PTR>(*BaseAddress);
    const ULONG_PTR arenaEnd = space->Base + MMP_USER_ARENA_SIZE;
    if (*RegionSize > MMP_USER_ARENA_SIZE) {
        return STATUS_NO_MEMORY;
    }
    ULONG_PTR start;
    ULONG_PTR end;
    if (requested == 0 || (AllocationType & MEM_RESERVE)) {
        // A new reservation, committed as a whole when asked.
        SIZE_T size = MmpRoundUp(*RegionSize + (requested & (PAGE_SIZE - 1)), PAGE_SIZE);
        if (requested == 0) {
            start = MmpFindFreeRange(space, size);
            if (start == 0) {
                return STATUS_NO_MEMORY;
            }
        } else {
            start = MmpRoundDown(requested, MMP_ALLOCATION_GRANULARITY);
            size = MmpRoundUp(requested + *RegionSize, PAGE_SIZE) - start;
            if (start < space->Base || start + size > arenaEnd ||
                MmpOverlapsReservation(space, start, start + size)) {
                return STATUS_CONFLICTING_ADDRESSES;
            }
        }
        end = start + size;
        space->Reservations.emplace(start, size);
        if (AllocationType & MEM_COMMIT) {
            NTSTATUS status = MmpCommit(space, start, end, state);
            if (!NT_SUCCESS(status)) {
                space->Reservations.erase(start);
                return status;
            }
        }
    } else {
        // Commit inside an existing reservation.
        start = MmpRoundDown(requested, PAGE_SIZE);
        end = MmpRoundUp(requested + *RegionSize, PAGE_SIZE);
        if (end < start || MmpFindReservation(space, start, end) == space->Reservations.end()) {
            return STATUS_CONFLICTING_ADDRESSES;
        }
        NTSTATUS status = MmpCommit(space, start, end, state);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    *BaseAddress = reinterpret_cast<PVOID>(start);
    *RegionSize = end - start;
    return STATUS_SUCCESS;
}

NTSTATUS MmpFreeUserMemory(PEPROCESS Process, PVOID* BaseAddress, SIZE_T* RegionSize,
                           ULONG FreeType) {
    if (FreeType != MEM_RELEASE && FreeType != MEM_DECOMMIT) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(MmpLock);
    MMP_ADDRESS_SPACE* space = MmpFindSpaceLocked(Process);
    if (space == nullptr) {
        return STATUS_MEMORY_NOT_ALLOCATED;
    }
    const ULONG_PTR requested = reinterpret_cast<ULONG_PTR>(*BaseAddress);
    const ULONG_PTR start = MmpRoundDown(requested, PAGE_SIZE);
    auto reservation = MmpFindReservation(space, start, start + 1);
    if (reservation == space->Reservations.end()) {
        return STATUS_MEMORY_NOT_ALLOCATED;
    }
    const ULONG_PTR reservationEnd = reservation->first + reservation->second;
    if (FreeType == MEM_RELEASE) {
        if (*RegionSize != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        if (requested != reservation->first) {
            return STATUS_FREE_VM_NOT_AT_BASE;
        }
        MmpDecommit(space, reservation->first, reservationEnd);
        *RegionSize = reservation->second;
        space->Reservations.erase(reservation);
        return STATUS_SUCCESS;
    }
    const ULONG_PTR end =
        *RegionSize == 0 ? reservationEnd : MmpRoundUp(requested + *RegionSize, PAGE_SIZE);
    if (end > reservationEnd || end < start) {
        return STATUS_UNABLE_TO_FREE_VM;
    }
    MmpDecommit(space, start, end);
    *BaseAddress = reinterpret_cast<PVOID>(start);
    *RegionSize = end - start;
    return STATUS_SUCCESS;
}

VOID MmpRegisterUserStack(PEPROCESS Process, PVOID Low, PVOID High) {
    std::lock_guard<std::mutex> guard(MmpLock);
    MMP_ADDRESS_SPACE* space = MmpFindSpaceLocked(Process);
    if (space == nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "user thread started in a process without a user address space", VF_CALLER());
    }
    space->Stacks[reinterpret_cast<ULONG_PTR>(Low)] = reinterpret_cast<ULONG_PTR>(High);
}

VOID MmpUnregisterUserStack(PEPROCESS Process, PVOID Low) {
    std::lock_guard<std::mutex> guard(MmpLock);
    MMP_ADDRESS_SPACE* space = MmpFindSpaceLocked(Process);
    if (space != nullptr) {
        space->Stacks.erase(reinterpret_cast<ULONG_PTR>(Low));
    }
}

BOOLEAN MmpIsUserRange(PEPROCESS Process, ULONG_PTR Address, SIZE_T Length, BOOLEAN Write) {
    if (Length == 0) {
        return TRUE;
    }
    const ULONG_PTR end = Address + Length;
    if (end < Address) {
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(MmpLock);
    MMP_ADDRESS_SPACE* space = MmpFindSpaceLocked(Process);
    if (space == nullptr) {
        return FALSE;
    }
    for (const auto& [low, high] : space->Stacks) {
        if (Address >= low && end <= high) {
            return TRUE;
        }
    }
    if (Address < space->Base || end > space->Base + MMP_USER_ARENA_SIZE) {
        return FALSE;
    }
    for (ULONG_PTR page = MmpRoundDown(Address, PAGE_SIZE); page < end; page += PAGE_SIZE) {
        UCHAR state = space->Pages[(page - space->Base) / PAGE_SIZE];
        if (state == MmpPageUncommitted || (Write && state != MmpPageReadWrite)) {
            return FALSE;
        }
    }
    return TRUE;
}
