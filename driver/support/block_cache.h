// block_cache.h - the driver's nine block pools, each behind a small cache of
// recently freed blocks, with the allocate/free pair of each kind of record.
//
// Kernel mode. Nonpaged kinds may be allocated and freed at IRQL <=
// DISPATCH_LEVEL; the two paged kinds (extent entries and extent pieces) only
// below DISPATCH_LEVEL. InitBlockPools and FreeBlockPools run at PASSIVE_LEVEL
// during start-up and its unwinding, when nothing else uses the pools.
//
// Block sizes follow the records the host builds: kernel events and executive
// resources by their own size; the driver's records by their fields with
// pointers, handles and spin locks 8 bytes wide, rounded up to a multiple of 8
// so that every block is pointer-aligned. The header that defines each record
// asserts that it fits its block, e.g.
//   static_assert(sizeof(ActivityEntry) <= ACTIVITY_ENTRY_BLOCK_SIZE);
#pragma once

#include <ntddk.h>

#include "support/block_pool.h"

// Block sizes of the nine kinds (bytes).
#define EVENT_BLOCK_SIZE ((ULONG)sizeof(KEVENT))
#define RESOURCE_BLOCK_SIZE ((ULONG)sizeof(ERESOURCE))
// ActivityEntry: next, last write time, stream identity, flags.
#define ACTIVITY_ENTRY_BLOCK_SIZE 32u
// ExtentEntry: next, pieces, first sector.
#define EXTENT_ENTRY_BLOCK_SIZE 24u
// ExtentPiece: next, data, file offset, sector offset and count.
#define EXTENT_PIECE_BLOCK_SIZE 32u
// FlushItem: a WorkItem (4 pointers), volume, piece, bucket lock.
#define WORK_RECORD_BLOCK_SIZE 56u
// ReadRequest: a WorkItem, device, request, spin lock, three counters, flags.
#define REQUEST_CONTEXT_BLOCK_SIZE 72u
// ReadPiece: request, bucket lock, owner, I/O status block.
#define TRANSFER_CONTEXT_BLOCK_SIZE 40u
// Queued change range: list link, volume offset, length.
#define CHANGE_RANGE_BLOCK_SIZE 32u

// Blocks a cache keeps at most; the resource cache keeps none.
#define BLOCK_CACHE_DEPTH 49u

// A block pool with its cache in front. CacheLock is a spin lock for every
// instance, paged ones included; it is never held while the pool lock is
// taken, and the pool lock is never held while it is taken.
typedef struct _BlockCache {
    BlockPool Pool;                 // the pool behind the cache
    PVOID Slots[BLOCK_CACHE_DEPTH]; // cached free blocks Slots[0..Count-1]; CacheLock
    ULONG Count;                    // blocks cached, newest at Slots[Count-1]; CacheLock
    ULONG Depth;                    // blocks the cache may keep; set by InitBlockPools
    BOOLEAN Ready;                  // pool initialised and not destroyed; start-up only
    KSPIN_LOCK CacheLock;
} BlockCache;

// The nine instances, in declaration order.
extern BlockCache EventBlockPool;      // KEVENT, nonpaged
extern BlockCache ResourceBlockPool;   // ERESOURCE, nonpaged, no cache
extern BlockCache ActivityEntryPool;   // ActivityTable entries, nonpaged
extern BlockCache ExtentEntryPool;     // ExtentTable entries, paged
extern BlockCache ExtentPiecePool;     // extent pieces and free file ranges, paged
extern BlockCache WorkRecordPool;      // FlushItem records, nonpaged
extern BlockCache RequestContextPool;  // ReadRequest records, nonpaged
extern BlockCache TransferContextPool; // ReadPiece records, nonpaged
extern BlockCache ChangeRangePool;     // queued change-store ranges, nonpaged

// Sets up the nine pools and their caches. Returns TRUE when all are ready;
// on FALSE the pools already set up have been destroyed again.
// IRQL: PASSIVE_LEVEL.
BOOLEAN InitBlockPools(VOID);

// Empties every ready cache into its pool and destroys the pools, newest
// first. IRQL: PASSIVE_LEVEL.
VOID FreeBlockPools(VOID);

// Hands out a zero-filled block of Cache's kind, from the cache when it holds
// one, else from the pool. On exhaustion returns NULL, or raises
// STATUS_INSUFFICIENT_RESOURCES when RaiseOnFailure is TRUE.
// IRQL: that of the kind (see above).
PVOID BlockCacheAllocate(BlockCache* Cache, BOOLEAN RaiseOnFailure);

// Returns Block to Cache, or to the pool when the cache is full. A NULL Block
// is ignored.
// IRQL: that of the kind.
VOID BlockCacheFree(BlockCache* Cache, PVOID Block);

// The allocate/free pair of each kind.
inline PKEVENT AllocateEventBlock(BOOLEAN RaiseOnFailure) {
    return (PKEVENT)BlockCacheAllocate(&EventBlockPool, RaiseOnFailure);
}
inline VOID FreeEventBlock(PKEVENT Block) {
    BlockCacheFree(&EventBlockPool, Block);
}

inline PERESOURCE AllocateResourceBlock(BOOLEAN RaiseOnFailure) {
    return (PERESOURCE)BlockCacheAllocate(&ResourceBlockPool, RaiseOnFailure);
}
inline VOID FreeResourceBlock(PERESOURCE Block) {
    BlockCacheFree(&ResourceBlockPool, Block);
}

inline PVOID AllocateActivityEntry(BOOLEAN RaiseOnFailure) {
    return BlockCacheAllocate(&ActivityEntryPool, RaiseOnFailure);
}
inline VOID FreeActivityEntry(PVOID Block) {
    BlockCacheFree(&ActivityEntryPool, Block);
}

inline PVOID AllocateExtentEntry(BOOLEAN RaiseOnFailure) {
    return BlockCacheAllocate(&ExtentEntryPool, RaiseOnFailure);
}
inline VOID FreeExtentEntry(PVOID Block) {
    BlockCacheFree(&ExtentEntryPool, Block);
}

inline PVOID AllocateExtentPiece(BOOLEAN RaiseOnFailure) {
    return BlockCacheAllocate(&ExtentPiecePool, RaiseOnFailure);
}
inline VOID FreeExtentPiece(PVOID Block) {
    BlockCacheFree(&ExtentPiecePool, Block);
}

inline PVOID AllocateWorkRecord(BOOLEAN RaiseOnFailure) {
    return BlockCacheAllocate(&WorkRecordPool, RaiseOnFailure);
}
inline VOID FreeWorkRecord(PVOID Block) {
    BlockCacheFree(&WorkRecordPool, Block);
}

inline PVOID AllocateRequestContext(BOOLEAN RaiseOnFailure) {
    return BlockCacheAllocate(&RequestContextPool, RaiseOnFailure);
}
inline VOID FreeRequestContext(PVOID Block) {
    BlockCacheFree(&RequestContextPool, Block);
}

inline PVOID AllocateTransferContext(BOOLEAN RaiseOnFailure) {
    return BlockCacheAllocate(&TransferContextPool, RaiseOnFailure);
}
inline VOID FreeTransferContext(PVOID Block) {
    BlockCacheFree(&TransferContextPool, Block);
}

inline PVOID AllocateChangeRange(BOOLEAN RaiseOnFailure) {
    return BlockCacheAllocate(&ChangeRangePool, RaiseOnFailure);
}
inline VOID FreeChangeRange(PVOID Block) {
    BlockCacheFree(&ChangeRangePool, Block);
}
