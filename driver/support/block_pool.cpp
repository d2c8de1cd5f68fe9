// block_pool.cpp - fixed-size block pools carved from pages of kernel pool.
//
// Kernel mode; see block_pool.h for the page layout and the IRQL of each
// routine. Lock order: the pool lock is innermost; no other lock is taken
// while it is held.
#include "support/block_pool.h"

#include "support/zeroed_memory.h"

#include <cstring>

// A free block's words may be unaligned (block sizes such as 20 or 44), so
// they are copied bytewise.
static PVOID FreeBlockNext(PVOID Block) {
    PVOID next;
    memcpy(&next, Block, sizeof(next));
    return next;
}

static VOID SetFreeBlockNext(PVOID Block, PVOID Next) {
    memcpy(Block, &Next, sizeof(Next));
}

static BlockPoolPage* FreeBlockPage(PVOID Block) {
    BlockPoolPage* page;
    memcpy(&page, (PUCHAR)Block + sizeof(PVOID), sizeof(page));
    return page;
}

static VOID SetFreeBlockPage(PVOID Block, BlockPoolPage* Page) {
    memcpy((PUCHAR)Block + sizeof(PVOID), &Page, sizeof(Page));
}

// Takes the pool lock and returns the token for BlockPoolUnlock: the previous
// IRQL for a spin lock, the owning thread for a resource. The resource is held
// inside a critical region, left again when it is released.
static ULONG_PTR BlockPoolLock(BlockPool* Pool) {
    if (Pool->LockKind & BLOCK_POOL_SPIN_LOCK) {
        return KfAcquireSpinLock(&Pool->Lock.SpinLock);
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(Pool->Lock.Resource, TRUE);
    return ExGetCurrentResourceThread();
}

static VOID BlockPoolUnlock(BlockPool* Pool, ULONG_PTR Token) {
    if (Pool->LockKind & BLOCK_POOL_SPIN_LOCK) {
        KfReleaseSpinLock(&Pool->Lock.SpinLock, (KIRQL)Token);
        return;
    }
    ExReleaseResourceForThreadLite(Pool->Lock.Resource, (ERESOURCE_THREAD)Token);
    KeLeaveCriticalRegion();
}

// TRUE when the calling thread may be holding Pool's lock: the resource held
// exclusively by this thread, or for a spin lock the IRQL it raises to.
static BOOLEAN BlockPoolLockHeld(BlockPool* Pool) {
    if (Pool->LockKind & BLOCK_POOL_SPIN_LOCK) {
        return KeGetCurrentIrql() == DISPATCH_LEVEL;
    }
    return ExIsResourceAcquiredExclusiveLite(Pool->Lock.Resource);
}

// Returns the page of Pool that Block is a block of, or NULL when Block lies
// in no page of the pool or not at the start of a block. Pool lock held.
static BlockPoolPage* BlockPoolFindPageLocked(BlockPool* Pool, PVOID Block) {
    ASSERT(BlockPoolLockHeld(Pool));
    ULONG_PTR address = (ULONG_PTR)Block;
    for (PLIST_ENTRY entry = Pool->PageList.Flink; entry != &Pool->PageList; entry = entry->Flink) {
        BlockPoolPage* page = CONTAINING_RECORD(entry, BlockPoolPage, Link);
        ULONG_PTR start = (ULONG_PTR)page;
        if (start < address && address < start + Pool->PageSize) {
            ULONG_PTR offset = address - start;
            if (offset < BLOCK_POOL_FIRST_BLOCK) {
                return NULL;
            }
            offset -= BLOCK_POOL_FIRST_BLOCK;
            if (offset % Pool->BlockSize != 0 || offset / Pool->BlockSize >= Pool->BlocksPerPage) {
                return NULL;
            }
            return page;
        }
    }
    return NULL;
}

// Takes a new page from the kernel and puts all its blocks on the free list,
// the block of the highest address first. Returns FALSE when no page can be
// had. Pool lock held.
static BOOLEAN BlockPoolAddPageLocked(BlockPool* Pool) {
    ASSERT(BlockPoolLockHeld(Pool));
    BlockPoolPage* page = (BlockPoolPage*)AllocZeroed(Pool->PageSize, Pool->PoolType);
    if (page == NULL) {
        return FALSE;
    }
    InsertHeadList(&Pool->PageList, &page->Link);
    Pool->PageCount += 1;
    page->FreeBlocks = Pool->BlocksPerPage;
    PUCHAR block = (PUCHAR)page + BLOCK_POOL_FIRST_BLOCK;
    for (ULONG index = 0; index < Pool->BlocksPerPage; index += 1) {
        SetFreeBlockPage(block, page);
        SetFreeBlockNext(block, Pool->FreeList);
        Pool->FreeList = block;
        block += Pool->BlockSize;
    }
    return TRUE;
}

// Takes every block of Page off the free list, then gives the page back to
// the kernel. Every block of the page is free. Pool lock held.
static VOID BlockPoolReleasePageLocked(BlockPool* Pool, BlockPoolPage* Page) {
    ASSERT(BlockPoolLockHeld(Pool));
    PVOID previous = NULL;
    PVOID block = Pool->FreeList;
    while (block != NULL) {
        PVOID next = FreeBlockNext(block);
        if (FreeBlockPage(block) == Page) {
            if (previous == NULL) {
                Pool->FreeList = next;
            } else {
                SetFreeBlockNext(previous, next);
            }
        } else {
            previous = block;
        }
        block = next;
    }
    RemoveEntryList(&Page->Link);
    FreeIfAllocated(Page);
    Pool->PageCount -= 1;
}

ULONG BlockPoolInit(BlockPool* Pool, ULONG BlockSize, ULONG PoolType) {
    RtlZeroMemory(Pool, sizeof(*Pool));
    if (BlockSize < 2 * sizeof(PVOID) || BlockSize > BLOCK_POOL_AREA_BYTES ||
        (PoolType != NonPagedPool && PoolType != PagedPool)) {
        return 1;
    }
    Pool->BlockSize = BlockSize;
    Pool->BlocksPerPage = BLOCK_POOL_AREA_BYTES / BlockSize;
    Pool->PageSize = BLOCK_POOL_PAGE_BYTES;
    Pool->FreeList = NULL;
    InitializeListHead(&Pool->PageList);
    Pool->PoolType = PoolType;
    if (PoolType == NonPagedPool) {
        Pool->LockKind = BLOCK_POOL_SPIN_LOCK;
        KeInitializeSpinLock(&Pool->Lock.SpinLock);
        return 0;
    }
    PERESOURCE resource = (PERESOURCE)AllocZeroed(sizeof(ERESOURCE), NonPagedPool);
    if (resource == NULL) {
        return 1;
    }
    ExInitializeResourceLite(resource);
    Pool->Lock.Resource = resource;
    return 0;
}

PVOID BlockPoolAllocate(BlockPool* Pool) {
    PVOID block = NULL;
    ULONG_PTR token = BlockPoolLock(Pool);
    if (Pool->FreeList != NULL || BlockPoolAddPageLocked(Pool)) {
        block = Pool->FreeList;
        BlockPoolPage* page = FreeBlockPage(block);
        Pool->FreeList = FreeBlockNext(block);
        RtlZeroMemory(block, Pool->BlockSize);
        page->FreeBlocks -= 1;
        Pool->BlocksInUse += 1;
    }
    BlockPoolUnlock(Pool, token);
    return block;
}

VOID BlockPoolFree(BlockPool* Pool, PVOID Block) {
    ULONG_PTR token = BlockPoolLock(Pool);
    BlockPoolPage* page = BlockPoolFindPageLocked(Pool, Block);
    if (page != NULL) {
        SetFreeBlockNext(Block, Pool->FreeList);
        SetFreeBlockPage(Block, page);
        Pool->FreeList = Block;
        page->FreeBlocks += 1;
        Pool->BlocksInUse -= 1;
        if (page->FreeBlocks == Pool->BlocksPerPage) {
            BlockPoolReleasePageLocked(Pool, page);
        }
    }
    BlockPoolUnlock(Pool, token);
}

VOID BlockPoolDestroy(BlockPool* Pool) {
    if (Pool->PageList.Flink == NULL) {
        return;
    }
    while (!IsListEmpty(&Pool->PageList)) {
        PLIST_ENTRY entry = RemoveHeadList(&Pool->PageList);
        FreeIfAllocated(CONTAINING_RECORD(entry, BlockPoolPage, Link));
    }
    if (!(Pool->LockKind & BLOCK_POOL_SPIN_LOCK) && Pool->Lock.Resource != NULL) {
        ExDeleteResourceLite(Pool->Lock.Resource);
        FreeIfAllocated(Pool->Lock.Resource);
    }
    RtlZeroMemory(Pool, sizeof(*Pool));
}
