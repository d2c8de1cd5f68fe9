// block_pool.h - a pool of fixed-size, zero-filled blocks carved from pages of
// kernel pool memory.
//
// Kernel mode. A nonpaged pool may be used at IRQL <= DISPATCH_LEVEL; a paged
// pool only below DISPATCH_LEVEL (its lock is an executive resource and its
// pages are pageable).
//
// Page layout. A page is one kernel pool allocation: a header (the link in the
// pool's page list and the count of its free blocks) followed by an area of
// BLOCK_POOL_AREA_BYTES carved into blocks back to back. On the 32-bit
// platform the header takes 12 bytes and a page is exactly 4096 bytes. On a
// 64-bit host the header takes 24 bytes (two 8-byte links and a 32-bit count,
// padded so that the blocks start 8-byte aligned); rather than shrink the area
// and change every count of blocks per page, the area keeps its 4084 bytes and
// the page allocation grows to 24 + 4084 = 4108 bytes. Blocks per page stay
// 4084 / block size: 255 blocks of 16 bytes, 204 of 20, 170 of 24, 145 of 28,
// 92 of 44, 72 of 56.
//
// Free blocks. A free block holds two pointer-sized words: word 0 links to the
// next free block of the pool, word 1 names the page it lies in; a block is
// therefore at least two pointers long. Blocks of a size that is not a
// multiple of 8 lie at addresses that are not 8-byte aligned, so the words are
// read and written bytewise (memcpy), never through a pointer cast. Blocks of
// the driver's own pools are sized in multiples of 8 and so are aligned for
// the records they hold.
#pragma once

#include <ntddk.h>

// Bytes of a page that are carved into blocks.
#define BLOCK_POOL_AREA_BYTES 4084u

// LockKind: the pool lock is a spin lock (else an executive resource).
#define BLOCK_POOL_SPIN_LOCK 0x1u

// Header at the start of every page of a pool.
typedef struct _BlockPoolPage {
    LIST_ENTRY Link;  // in the pool's PageList; pool lock
    ULONG FreeBlocks; // blocks of this page that are free (unit: blocks); pool lock
} BlockPoolPage;

// Offset of the first block of a page: the header rounded up to a pointer.
#define BLOCK_POOL_FIRST_BLOCK                                                                     \
    ((ULONG)((sizeof(BlockPoolPage) + sizeof(PVOID) - 1) & ~(sizeof(PVOID) - 1)))

// Bytes of one page allocation: the header and the carved area.
#define BLOCK_POOL_PAGE_BYTES (BLOCK_POOL_FIRST_BLOCK + BLOCK_POOL_AREA_BYTES)

// One pool of blocks of one size. Zero (as a static record is at load) means
// not initialised. The pool lock (Lock) guards every field marked "pool lock";
// the other fields are set by BlockPoolInit and only read afterwards.
typedef struct _BlockPool {
    ULONG BlockSize;     // bytes per block, 2 pointers to BLOCK_POOL_AREA_BYTES
    ULONG BlocksPerPage; // BLOCK_POOL_AREA_BYTES / BlockSize (unit: blocks)
    ULONG PageCount;     // pages the pool holds; pool lock
    ULONG BlocksInUse;   // blocks handed out and not yet returned; pool lock
    ULONG PageSize;      // bytes of each page allocation (BLOCK_POOL_PAGE_BYTES)
    PVOID FreeList;      // first free block, NULL when none; pool lock
    LIST_ENTRY PageList; // every page held (BlockPoolPage.Link); pool lock
    ULONG LockKind;      // BLOCK_POOL_SPIN_LOCK or 0 (executive resource)
    ULONG PoolType;      // NonPagedPool or PagedPool: where the pages come from
    union {
        KSPIN_LOCK SpinLock; // LockKind BLOCK_POOL_SPIN_LOCK
        PERESOURCE Resource; // otherwise: nonpaged, from AllocZeroed
    } Lock;
} BlockPool;

// Sets up Pool for blocks of BlockSize bytes whose pages come from PoolType
// (NonPagedPool: the pool lock is a spin lock; PagedPool: an executive
// resource). Returns 0 on success; 1 when the executive resource cannot be
// allocated, or BlockSize or PoolType is out of range.
// IRQL: PASSIVE_LEVEL.
ULONG BlockPoolInit(BlockPool* Pool, ULONG BlockSize, ULONG PoolType);

// Hands out one zero-filled block, taking a new page from the kernel when no
// block is free. Returns NULL when no page can be had.
// IRQL: <= DISPATCH_LEVEL for a nonpaged pool, < DISPATCH_LEVEL for a paged one.
PVOID BlockPoolAllocate(BlockPool* Pool);

// Returns Block to Pool; a page whose last block comes back goes back to the
// kernel at once. A pointer that is not a block of a page of this pool is
// ignored. IRQL: as BlockPoolAllocate.
VOID BlockPoolFree(BlockPool* Pool, PVOID Block);

// Returns every page to the kernel (outstanding blocks die with their pages),
// deletes the pool lock and leaves Pool empty. Takes no lock: nothing else
// may use the pool. A never-initialised (zero) record is left alone.
// IRQL: PASSIVE_LEVEL.
VOID BlockPoolDestroy(BlockPool* Pool);
