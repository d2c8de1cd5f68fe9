// mm/stream_pages.h - the one set of pages of a file stream that cached
// reads and writes and every view of every section of the file share.
//
// The file system creates the pages with the stream and names a paging file
// object of its own that carries their paging I/O. A page is loaded by a
// paging read when first needed (a cached access or a view's map-time fill)
// and written back by paging writes: pages a cached write dirtied by the
// lazy writer; pages a writable view may have changed, found by comparing
// them with what the file last received, by the modified-page writer and at
// unmap; both by a flush. Paging I/O is sent at APC_LEVEL from the thread
// that needs it. Pages are never evicted; the stream's pages are discarded
// with the stream, unwritten changes included (as after a crash).
//
// Lock order: FlushLock, then the file system's stream resource, then Lock.
// Lock is never held across I/O. Emulation internal.
#pragma once

#include "ntifs.h"

#include <condition_variable>
#include <mutex>
#include <vector>

#define MMP_TAG_PAGES EX_POOL_TAG('M', 'm', 'S', 'p')

struct MMP_STREAM_PAGES {
    PFILE_OBJECT PagingFileObject; // the file system's; carries paging I/O; set at creation
    // Memory file (sparse): the stream's bytes at their file offsets, and at
    // MMP_SHADOW_BASE beyond them what the file last received for each page.
    int Memory; // set at creation

    std::mutex FlushLock; // serialises writing back, so a later copy never lands first

    std::mutex Lock;               // guards the fields below
    std::condition_variable Ready; // signalled when a page leaves MmpPageLoading; Lock
    std::vector<UCHAR> State;      // MmpPage* of each page (missing ones absent); Lock
    std::vector<USHORT> Writable;  // writable views mapping each page; Lock
};

// Bytes of a stream the pages hold at most, and where the shadow starts.
#define MMP_SHADOW_BASE (1ULL << 40)

// Page states.
enum : UCHAR {
    MmpPageAbsent = 0,  // not loaded; its bytes and shadow are zeros
    MmpPageClean = 1,   // loaded; changed only through views, if at all
    MmpPageDirty = 2,   // changed by a cached write or zeroing; the lazy writer's
    MmpPageLoading = 3, // a paging read is filling it
};

// Creates the pages of a stream in Pointers->DataSectionObject, with
// PagingFileObject (kept alive by the caller until the pages are deleted).
NTSTATUS MmpCreateStreamPages(PSECTION_OBJECT_POINTERS Pointers, PFILE_OBJECT PagingFileObject);
// Discards the pages, changes not written back included. No view may be mapped.
VOID MmpDeleteStreamPages(PSECTION_OBJECT_POINTERS Pointers);
// The pages behind FileObject, or NULL when its stream has none.
MMP_STREAM_PAGES* MmpStreamPagesOf(PFILE_OBJECT FileObject);
// The pages of a stream's section pointers, or NULL. They are published once
// by MmpCreateStreamPages while other threads (the lazy writer, readers) may
// look, so the pointer is read with acquire order.
MMP_STREAM_PAGES* MmpPagesOf(PSECTION_OBJECT_POINTERS Pointers);

// Cached access: copies between Buffer and the pages, loading the pages the
// copy needs first. MmpWritePages marks what it changed dirty; Buffer NULL
// writes zeros.
NTSTATUS MmpReadPages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, PVOID Buffer, ULONG Length);
NTSTATUS MmpWritePages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, const VOID* Buffer,
                       ULONG Length);
// A non-cached write reached the file: loaded pages take its bytes, as
// changed and as received.
VOID MmpRefreshPages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, const VOID* Buffer, ULONG Length);
// The file shrank to Size: bytes past it read as zeros and pages wholly past
// it are dropped.
VOID MmpTruncatePages(MMP_STREAM_PAGES* Pages, ULONGLONG Size);

// Writes back the pages of [Offset, Offset + Length) that need it: dirty
// pages, and with MappedChanges also pages a writable view changed. Waits for
// the paging writes; returns the first failure (those pages stay changed).
// The modified-page writer's writes are asynchronous paging writes on the
// platform (Synchronous false); a flush's and the lazy writer's synchronous.
NTSTATUS MmpFlushPages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, ULONGLONG Length,
                       bool MappedChanges, bool Synchronous);
// Whether any page is dirty (for tests and the lazy writer's idle passes).
bool MmpPagesDirty(MMP_STREAM_PAGES* Pages);

// Views: MmpMapPages makes [Offset, Offset + Size) available (loaded up to
// the end of the file) and counts a writable view on its pages; the view
// then maps Memory at Offset. MmpUnmapPages undoes the count.
NTSTATUS MmpMapPages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, SIZE_T Size, bool Writable);
VOID MmpUnmapPages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, SIZE_T Size, bool Writable);
