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
    for (ULONG index = 0; index < BLOCK_CACHE_COUNT; index += 1) {
        const BlockCacheSetup* setup = &BlockCacheSetups[index];
        BlockCache* cache = setup->Cache;
        KeInitializeSpinLock(&cache->CacheLock);
        cache->Count = 0;
        cache->Depth = setup->Depth;
        cache->Ready = FALSE;
        if (BlockPoolInit(&cache->Pool, setup->BlockSize, setup->PoolType) != 0) {
            // The pools set up so far (one of them owns an executive
            // resource) must not outlive a failed start.
            FreeBlockPools();
            return FALSE;
        }
        cache->Ready = TRUE;
    }
    return TRUE;
}

VOID FreeBlockPools(VOID) {
    for (ULONG index = BLOCK_CACHE_COUNT; index-- > 0;) {
        BlockCache* cache = BlockCacheSetups[index].Cache;
        if (!cache->Ready) {
            continue;
        }
        while (cache->Count > 0) {
            cache->Count -= 1;
            BlockPoolFree(&cache->Pool, cache->Slots[cache->Count]);
        }
        BlockPoolDestroy(&cache->Pool);
        cache->Ready = FALSE;
    }
}

PVOID BlockCacheAllocate(BlockCache* Cache, BOOLEAN RaiseOnFailure) {
    KIRQL oldIrql = KfAcquireSpinLock(&Cache->CacheLock);
    if (Cache->Count > 0) {
        Cache->Count -= 1;
        PVOID block = Cache->Slots[Cache->Count];
        KfReleaseSpinLock(&Cache->CacheLock, oldIrql);
        // Zeroed after the lock is released, so that a paged block is touched
        // at the caller's IRQL.
        RtlZeroMemory(block, Cache->Pool.BlockSize);
        return block;
    }
    KfReleaseSpinLock(&Cache->CacheLock, oldIrql);
    PVOID block = BlockPoolAllocate(&Cache->Pool);
    if (block == NULL && RaiseOnFailure) {
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    }
    return block;
}

VOID BlockCacheFree(BlockCache* Cache, PVOID Block) {
    if (Block == NULL) {
        return;
    }
    KIRQL oldIrql = KfAcquireSpinLock(&Cache->CacheLock);
    if (Cache->Count < Cache->Depth) {
        Cache->Slots[Cache->Count] = Block;
        Cache->Count += 1;
        KfReleaseSpinLock(&Cache->CacheLock, oldIrql);
        return;
    }
    KfReleaseSpinLock(&Cache->CacheLock, oldIrql);
    BlockPoolFree(&Cache->Pool, Block);
}
