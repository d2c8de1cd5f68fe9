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
    PVOID Next;
    memcpy(&Next, Block, sizeof(Next));
    return Next;
}

static VOID SetFreeBlockNext(PVOID Block, PVOID Next) {
    memcpy(Block, &Next, sizeof(Next));
}

static BlockPoolPage* FreeBlockPage(PVOID Block) {
    BlockPoolPage* Page;
    memcpy(&Page, (PUCHAR)Block + sizeof(PVOID), sizeof(Page));
    return Page;
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

// Returns the page of Pool that Block is a block of, or NULL when Block lies
// in no page of the pool or not at the start of a block. Pool lock held.
static BlockPoolPage* BlockPoolFindPageLocked(BlockPool* Pool, PVOID Block) {
    ULONG_PTR Address = (ULONG_PTR)Block;
    for (PLIST_ENTRY Entry = Pool->PageList.Flink; Entry != &Pool->PageList; Entry = Entry->Flink) {
        BlockPoolPage* Page = CONTAINING_RECORD(Entry, BlockPoolPage, Link);
        ULONG_PTR Start = (ULONG_PTR)Page;
        if (Start < Address && Address < Start + Pool->PageSize) {
            ULONG_PTR Offset = Address - Start;
            if (Offset < BLOCK_POOL_FIRST_BLOCK) {
                return NULL;
            }
            Offset -= BLOCK_POOL_FIRST_BLOCK;
            if (Offset % Pool->BlockSize != 0 || Offset / Pool->BlockSize >= Pool->BlocksPerPage) {
                return NULL;
            }
            return Page;
        }
    }
    return NULL;
}

// Takes a new page from the kernel and puts all its blocks on the free list,
// the block of the highest address first. Returns FALSE when no page can be
// had. Pool lock held.
static BOOLEAN BlockPoolAddPageLocked(BlockPool* Pool) {
    BlockPoolPage* Page = (BlockPoolPage*)AllocZeroed(Pool->PageSize, Pool->PoolType);
    if (Page == NULL) {
        return FALSE;
    }
    InsertHeadList(&Pool->PageList, &Page->Link);
    Pool->PageCount += 1;
    Page->FreeBlocks = Pool->BlocksPerPage;
    PUCHAR Block = (PUCHAR)Page + BLOCK_POOL_FIRST_BLOCK;
    for (ULONG Index = 0; Index < Pool->BlocksPerPage; Index += 1) {
        SetFreeBlockPage(Block, Page);
        SetFreeBlockNext(Block, Pool->FreeList);
        Pool->FreeList = Block;
        Block += Pool->BlockSize;
    }
    return TRUE;
}

// Takes every block of Page off the free list, then gives the page back to
// the kernel. Every block of the page is free. Pool lock held.
static VOID BlockPoolReleasePageLocked(BlockPool* Pool, BlockPoolPage* Page) {
    PVOID Previous = NULL;
    PVOID Block = Pool->FreeList;
    while (Block != NULL) {
        PVOID Next = FreeBlockNext(Block);
        if (FreeBlockPage(Block) == Page) {
            if (Previous == NULL) {
                Pool->FreeList = Next;
            } else {
                SetFreeBlockNext(Previous, Next);
            }
        } else {
            Previous = Block;
        }
        Block = Next;
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
    PERESOURCE Resource = (PERESOURCE)AllocZeroed(sizeof(ERESOURCE), NonPagedPool);
    if (Resource == NULL) {
        return 1;
    }
    ExInitializeResourceLite(Resource);
    Pool->Lock.Resource = Resource;
    return 0;
}

PVOID BlockPoolAllocate(BlockPool* Pool) {
    PVOID Block = NULL;
    ULONG_PTR Token = BlockPoolLock(Pool);
    if (Pool->FreeList != NULL || BlockPoolAddPageLocked(Pool)) {
        Block = Pool->FreeList;
        BlockPoolPage* Page = FreeBlockPage(Block);
        Pool->FreeList = FreeBlockNext(Block);
        RtlZeroMemory(Block, Pool->BlockSize);
        Page->FreeBlocks -= 1;
        Pool->BlocksInUse += 1;
    }
    BlockPoolUnlock(Pool, Token);
    return Block;
}

VOID BlockPoolFree(BlockPool* Pool, PVOID Block) {
    ULONG_PTR Token = BlockPoolLock(Pool);
    BlockPoolPage* Page = BlockPoolFindPageLocked(Pool, Block);
    if (Page != NULL) {
        SetFreeBlockNext(Block, Pool->FreeList);
        SetFreeBlockPage(Block, Page);
        Pool->FreeList = Block;
        Page->FreeBlocks += 1;
        Pool->BlocksInUse -= 1;
        if (Page->FreeBlocks == Pool->BlocksPerPage) {
            BlockPoolReleasePageLocked(Pool, Page);
        }
    }
    BlockPoolUnlock(Pool, Token);
}

VOID BlockPoolDestroy(BlockPool* Pool) {
    if (Pool->PageList.Flink == NULL) {
        return;
    }
    while (!IsListEmpty(&Pool->PageList)) {
        PLIST_ENTRY Entry = RemoveHeadList(&Pool->PageList);
        FreeIfAllocated(CONTAINING_RECORD(Entry, BlockPoolPage, Link));
    }
    if (!(Pool->LockKind & BLOCK_POOL_SPIN_LOCK) && Pool->Lock.Resource != NULL) {
        ExDeleteResourceLite(Pool->Lock.Resource);
        FreeIfAllocated(Pool->Lock.Resource);
    }
    RtlZeroMemory(Pool, sizeof(*Pool));
}
