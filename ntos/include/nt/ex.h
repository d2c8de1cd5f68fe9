// nt/ex.h - executive support routines: pool allocation and executive resources.
//
// Kernel mode. Pool routines run at IRQL <= DISPATCH_LEVEL (paged pool at
// IRQL <= APC_LEVEL); resource acquisition runs at IRQL <= APC_LEVEL with
// normal kernel APCs disabled (inside a critical region).
#pragma once

#include "ntdef.h"
#include "nt/ke.h"

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------

// A pool tag is four characters, shown in memory order: the multi-character
// constant 'enoN' shows as "None". EX_POOL_TAG builds the tag that shows as
// the four characters given in reading order: EX_POOL_TAG('Q','v','d','A')
// shows as "QvdA" and equals 'AdvQ'.
#define EX_POOL_TAG(a, b, c, d)                                                                    \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) |                    \
     ((ULONG)(UCHAR)(d) << 24))

// Tag that ExAllocatePool gives its blocks ("None").
#define EX_DEFAULT_POOL_TAG EX_POOL_TAG('N', 'o', 'n', 'e')

// Allocates NumberOfBytes of uninitialised memory from the pool of PoolType,
// charged to Tag. Returns NULL when the pool cannot satisfy the request.
// The block is aligned to 16 bytes (64 for the cache-aligned types).
// IRQL: <= DISPATCH_LEVEL for nonpaged pool, <= APC_LEVEL for paged pool.
// The must-succeed pool types are not supported: asking for one bug-checks.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);

// ExAllocatePoolWithTag with the tag EX_DEFAULT_POOL_TAG.
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);

// Returns a block to its pool. Freeing a block twice, or memory that is not
// a pool block, bug-checks (BAD_POOL_CALLER). Same IRQL rules as allocation.
VOID ExFreePool(PVOID P);

// ExFreePool that also checks that the block was allocated with Tag.
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---------------------------------------------------------------------------
// Executive resources
// ---------------------------------------------------------------------------

// Identifies the owner of a resource: (ERESOURCE_THREAD)KeGetCurrentThread().
typedef ULONG_PTR ERESOURCE_THREAD, *PERESOURCE_THREAD;

// One thread's hold on a resource.
typedef struct _OWNER_ENTRY {
    ERESOURCE_THREAD OwnerThread; // 0 when the entry is free
    LONG OwnerCount;              // acquisitions not yet released
    LONG SharedWaits;             // shared acquisitions of this thread waiting for a grant
} OWNER_ENTRY, *POWNER_ENTRY;

// An executive resource: a reader/writer lock with per-thread recursion,
// allocated by the caller from nonpaged memory and set up with
// ExInitializeResourceLite. Callers never touch its fields.
//
// Every field below is guarded by SpinLock. A waiter is granted the resource
// by the thread that releases it: a shared grant is recorded in the waiter's
// owner entry before the waiter wakes; an exclusive grant records a
// placeholder owner that the woken waiter replaces with itself.
typedef struct _ERESOURCE {
    KSPIN_LOCK SpinLock;
    ULONG Signature;                // RESOURCE_SIGNATURE while initialised, 0 after delete
    USHORT Flag;                    // ResourceOwnedExclusive while held exclusively
    USHORT ActiveCount;             // threads holding the resource (1 when exclusive)
    OWNER_ENTRY ExclusiveOwner;     // the exclusive owner while Flag says so
    POWNER_ENTRY OwnerTable;        // shared owners and shared waiters (emulation memory)
    ULONG OwnerTableSize;           // entries of OwnerTable
    ULONG NumberOfSharedWaiters;    // threads blocked on SharedWaiters
    ULONG NumberOfExclusiveWaiters; // threads blocked on ExclusiveWaiters
    ULONG ContentionCount;          // acquisitions that had to wait
    KSEMAPHORE SharedWaiters;       // released once per shared grant to a waiter
    KEVENT ExclusiveWaiters;        // synchronization event, set once per exclusive grant
} ERESOURCE, *PERESOURCE;

#define ResourceOwnedExclusive 0x0080
#define RESOURCE_SIGNATURE 0x53455245u // "ERES"

// Sets up a resource. IRQL <= DISPATCH_LEVEL. Always STATUS_SUCCESS.
NTSTATUS ExInitializeResourceLite(PERESOURCE Resource);

// Tears a resource down. A resource still held or waited for bug-checks.
// IRQL <= APC_LEVEL.
NTSTATUS ExDeleteResourceLite(PERESOURCE Resource);

// Acquire for shared access. Granted at once when the resource is free, held
// shared with no exclusive waiter, or already held by the caller (shared or
// exclusive, recursively). Otherwise waits (Wait TRUE) or returns FALSE.
// IRQL <= APC_LEVEL, normal kernel APCs disabled.
BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);

// Acquire for exclusive access; the exclusive owner may acquire again
// recursively. A thread holding the resource only shared that asks for it
// exclusively deadlocks, as on the platform; the emulation bug-checks instead.
// IRQL <= APC_LEVEL, normal kernel APCs disabled.
BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);

// Shared access that does not wait for exclusive waiters: granted whenever
// the resource is not held exclusively by another thread.
BOOLEAN ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait);

// Shared access that waits behind exclusive waiters even when the caller
// already holds the resource shared.
BOOLEAN ExAcquireSharedWaitForExclusive(PERESOURCE Resource, BOOLEAN Wait);

// Releases one acquisition by the current thread. Releasing a resource the
// thread does not hold bug-checks (RESOURCE_NOT_OWNED).
// IRQL <= DISPATCH_LEVEL, normal kernel APCs disabled.
VOID ExReleaseResourceLite(PERESOURCE Resource);

// Releases one acquisition made by ResourceThreadId, which may be another
// thread (the value ExGetCurrentResourceThread returned to it).
// IRQL <= DISPATCH_LEVEL.
VOID ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId);

// Turns the caller's exclusive hold into a shared hold (keeping its count)
// and lets the waiting shared acquirers in. IRQL <= APC_LEVEL.
VOID ExConvertExclusiveToSharedLite(PERESOURCE Resource);

// Number of threads waiting for exclusive / shared access. IRQL <= DISPATCH_LEVEL.
ULONG ExGetExclusiveWaiterCount(PERESOURCE Resource);
ULONG ExGetSharedWaiterCount(PERESOURCE Resource);

// TRUE when the current thread holds the resource exclusively.
BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);

// How many times the current thread holds the resource (shared or
// exclusive); 0 when it does not.
ULONG ExIsResourceAcquiredSharedLite(PERESOURCE Resource);

// The owner identity of the current thread.
ERESOURCE_THREAD ExGetCurrentResourceThread(VOID);
