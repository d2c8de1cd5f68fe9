// mm/user_memory.h - the user address spaces of processes: reserving,
// committing and freeing user memory, and the checks behind the probes.
//
// Each user process gets an arena reserved below 2 GB of the host's address
// space (MAP_32BIT), so a host pointer into it is its own 32-bit user
// address and nothing needs translating. Pages become accessible when
// committed and inaccessible again when decommitted or released. The stacks
// of the process's threads live on the host; while a user thread runs, its
// stack range counts as that process's user memory too, so a program can
// pass buffers on its stack as it would on the platform (they are above
// 4 GB, so they can never be named by an embedded 32-bit pointer).
//
// Emulation internal (ps-like callers: the machine's user processes, the
// system services). Thread-safe; PASSIVE_LEVEL.
#pragma once

#include "ntddk.h"

// Allocation types and protections of the memory services.
#ifndef MEM_COMMIT
#define MEM_COMMIT 0x00001000
#define MEM_RESERVE 0x00002000
#define MEM_DECOMMIT 0x00004000
#define MEM_RELEASE 0x00008000
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#endif

// Bytes of user address space each process reserves.
#define MMP_USER_ARENA_SIZE (64u * 1024 * 1024)
// Granularity of reservations (the platform's allocation granularity).
#define MMP_ALLOCATION_GRANULARITY 0x10000u

// Gives Process an empty user address space. STATUS_NO_MEMORY when the host
// has no room below 2 GB.
NTSTATUS MmpCreateUserAddressSpace(PEPROCESS Process);
// Releases Process's address space and everything in it. No thread of the
// process may run any more.
VOID MmpDeleteUserAddressSpace(PEPROCESS Process);
BOOLEAN MmpHasUserAddressSpace(PEPROCESS Process);

// NtAllocateVirtualMemory's semantics on Process: MEM_RESERVE and/or
// MEM_COMMIT, PAGE_READWRITE or PAGE_READONLY (PAGE_NOACCESS for a pure
// reservation). *BaseAddress NULL picks a place; otherwise the range must lie
// in one reservation (commit) or in free space (reserve). *BaseAddress and
// *RegionSize are rounded to pages (to the granularity for a reservation's
// base) on return.
NTSTATUS MmpAllocateUserMemory(PEPROCESS Process, PVOID* BaseAddress, SIZE_T* RegionSize,
                               ULONG AllocationType, ULONG Protect);
// NtFreeVirtualMemory's semantics: MEM_RELEASE of a whole reservation (size
// 0, base its start) or MEM_DECOMMIT of pages in one.
NTSTATUS MmpFreeUserMemory(PEPROCESS Process, PVOID* BaseAddress, SIZE_T* RegionSize,
                           ULONG FreeType);

// A user thread's host stack counts as user memory of Process while
// registered. Each registration is matched by one removal.
VOID MmpRegisterUserStack(PEPROCESS Process, PVOID Low, PVOID High);
VOID MmpUnregisterUserStack(PEPROCESS Process, PVOID Low);

// Whether [Address, Address + Length) is committed user memory of Process
// (writable when Write). Length 0 is always TRUE.
BOOLEAN MmpIsUserRange(PEPROCESS Process, ULONG_PTR Address, SIZE_T Length, BOOLEAN Write);
