// block_cache.cpp - the driver's nine block pools and their caches.
//
// Kernel mode; see block_cache.h for the IRQL of each routine. Lock order:
// a cache lock and its pool lock are never held together.
#include "support/block_cache.h"

static_assert(ACTIVITY_ENTRY_BLOCK_SIZE % sizeof(PVOID) == 0 &&
                  EXTENT_ENTRY_BLOCK_SIZE % sizeof(PVOID) == 0 &&
                  EXTENT_PIECE_BLOCK_SIZE % sizeof(PVOID) == 0 &&
                  WORK_RECORD_BLOCK_SIZE % sizeof(PVOID) == 0 &&
                  REQUEST_CONTEXT_BLOCK_SIZE % sizeof(PVOID) == 0 &&
                  TRANSFER_CONTEXT_BLOCK_SIZE % sizeof(PVOID) == 0 &&
                  CHANGE_RANGE_BLOCK_SIZE % sizeof(PVOID) == 0 &&
                  EVENT_BLOCK_SIZE % sizeof(PVOID) == 0 && RESOURCE_BLOCK_SIZE % sizeof(PVOID) == 0,
              "blocks of the driver's pools must stay pointer-aligned");

BlockCache EventBlockPool;
BlockCache ResourceBlockPool;
BlockCache ActivityEntryPool;
BlockCache ExtentEntryPool;
BlockCache ExtentPiecePool;
BlockCache WorkRecordPool;
BlockCache RequestContextPool;
BlockCache TransferContextPool;
BlockCache ChangeRangePool;

// One instance as start-up sets it up.
typedef struct _BlockCacheSetup {
    BlockCache* Cache;
    ULONG BlockSize;
    ULONG PoolType;
    ULONG Depth;
} BlockCacheSetup;

// In the order of initialisation; teardown runs it backwards.
static const BlockCacheSetup BlockCacheSetups[] = {
    {&ActivityEntryPool, ACTIVITY_ENTRY_BLOCK_SIZE, NonPagedPool, BLOCK_CACHE_DEPTH},
    {&EventBlockPool, EVENT_BLOCK_SIZE, NonPagedPool, BLOCK_CACHE_DEPTH},
    {&ResourceBlockPool, RESOURCE_BLOCK_SIZE, NonPagedPool, 0},
    {&ExtentEntryPool, EXTENT_ENTRY_BLOCK_SIZE, PagedPool, BLOCK_CACHE_DEPTH},
    {&ExtentPiecePool, EXTENT_PIECE_BLOCK_SIZE, PagedPool, BLOCK_CACHE_DEPTH},
    {&WorkRecordPool, WORK_RECORD_BLOCK_SIZE, NonPagedPool, BLOCK_CACHE_DEPTH},
    {&RequestContextPool, REQUEST_CONTEXT_BLOCK_SIZE, NonPagedPool, BLOCK_CACHE_DEPTH},
    {&TransferContextPool, TRANSFER_CONTEXT_BLOCK_SIZE, NonPagedPool, BLOCK_CACHE_DEPTH},
    {&ChangeRangePool, CHANGE_RANGE_BLOCK_SIZE, NonPagedPool, BLOCK_CACHE_DEPTH},
};

#define BLOCK_CACHE_COUNT (sizeof(BlockCacheSetups) / sizeof(BlockCacheSetups[0]))

BOOLEAN InitBlockPools(VOID) {
    for (ULONG Index = 0; Index < BLOCK_CACHE_COUNT; Index += 1) {
        const BlockCacheSetup* Setup = &BlockCacheSetups[Index];
        BlockCache* Cache = Setup->Cache;
        KeInitializeSpinLock(&Cache->CacheLock);
        Cache->Count = 0;
        Cache->Depth = Setup->Depth;
        Cache->Ready = FALSE;
        if (BlockPoolInit(&Cache->Pool, Setup->BlockSize, Setup->PoolType) != 0) {
            // The pools set up so far (one of them owns an executive
            // resource) must not outlive a failed start.
            FreeBlockPools();
            return FALSE;
        }
        Cache->Ready = TRUE;
    }
    return TRUE;
}

VOID FreeBlockPools(VOID) {
    for (ULONG Index = BLOCK_CACHE_COUNT; Index-- > 0;) {
        BlockCache* Cache = BlockCacheSetups[Index].Cache;
        if (!Cache->Ready) {
            continue;
        }
        while (Cache->Count > 0) {
            Cache->Count -= 1;
            BlockPoolFree(&Cache->Pool, Cache->Slots[Cache->Count]);
        }
        BlockPoolDestroy(&Cache->Pool);
        Cache->Ready = FALSE;
    }
}

PVOID BlockCacheAllocate(BlockCache* Cache, BOOLEAN RaiseOnFailure) {
    KIRQL OldIrql = KfAcquireSpinLock(&Cache->CacheLock);
    if (Cache->Count > 0) {
        Cache->Count -= 1;
        PVOID Block = Cache->Slots[Cache->Count];
        KfReleaseSpinLock(&Cache->CacheLock, OldIrql);
        // Zeroed after the lock is released, so that a paged block is touched
        // at the caller's IRQL.
        RtlZeroMemory(Block, Cache->Pool.BlockSize);
        return Block;
    }
    KfReleaseSpinLock(&Cache->CacheLock, OldIrql);
    PVOID Block = BlockPoolAllocate(&Cache->Pool);
    if (Block == NULL && RaiseOnFailure) {
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    }
    return Block;
}

VOID BlockCacheFree(BlockCache* Cache, PVOID Block) {
    if (Block == NULL) {
        return;
    }
    KIRQL OldIrql = KfAcquireSpinLock(&Cache->CacheLock);
    if (Cache->Count < Cache->Depth) {
        Cache->Slots[Cache->Count] = Block;
        Cache->Count += 1;
        KfReleaseSpinLock(&Cache->CacheLock, OldIrql);
        return;
    }
    KfReleaseSpinLock(&Cache->CacheLock, OldIrql);
    BlockPoolFree(&Cache->Pool, Block);
}
