// mm/section.h - the memory manager's sections on files and the views mapped
// from them, and the paging I/O that moves their pages.
//
// A view maps the stream's shared pages (stream_pages.h) into the process's
// user arena, or into host memory for the System process, so every view of
// the file and its cached reads and writes see the same bytes. Its pages are
// loaded by paging reads when it is mapped; pages it changed go back by
// paging writes (IRP_PAGING_IO | IRP_NOCACHE) carrying the stream's paging
// file object: from the modified-page writer and at unmap. Not emulated:
// loading a page at its first touch rather than at map time; views left
// mapped when their process ends. Emulation internal. PASSIVE_LEVEL.
#pragma once

#include "ntifs.h"
#include "ntos/mm/stream_pages.h"

#include <memory>
#include <mutex>
#include <vector>

#define MMP_TAG_PAGING EX_POOL_TAG('M', 'm', 'P', 'g')

// Body of a section object. Set at creation, read-only afterwards.
struct MMP_SECTION {
    PFILE_OBJECT FileObject; // referenced for the section's life
    ULONGLONG MaximumSize;   // bytes
    ULONG Protection;        // PAGE_READONLY or PAGE_READWRITE
    MMP_STREAM_PAGES* Pages; // the stream's shared pages
};

// One mapped view.
struct MMP_VIEW {
    MMP_SECTION* Section;      // referenced section object; set at map
    PEPROCESS Process;         // referenced; set at map
    PUCHAR Base;               // set at map
    SIZE_T Size;               // bytes, whole pages; set at map
    ULONGLONG Offset;          // file offset of Base, a multiple of 64 KiB; set at map
    bool Writable;             // mapped PAGE_READWRITE; set at map
    bool UserMemory;           // Base lies in the process's user arena; set at map
    std::mutex FlushLock;      // serialises writing back and unmapping
    bool Mapped;               // FlushLock: false once unmapped
};

using MMP_VIEW_REF = std::shared_ptr<MMP_VIEW>;

// Sends one paging read or write of FileObject through its file system at
// APC_LEVEL from the calling thread and waits for it (IRP_PAGING_IO |
// IRP_NOCACHE, and IRP_SYNCHRONOUS_PAGING_IO when Synchronous, as reads
// always are). Returns the final status; *Transferred the bytes moved.
NTSTATUS MmpPagingIo(PFILE_OBJECT FileObject, bool Write, PVOID Buffer, ULONG Length,
                     ULONGLONG Offset, bool Synchronous, ULONG_PTR* Transferred);
// The file's size in bytes (FileStandardInformation), or an error.
NTSTATUS MmpQueryFileSize(PFILE_OBJECT FileObject, ULONGLONG* Size);
// Sets the file's end (FileEndOfFileInformation).
NTSTATUS MmpSetFileSize(PFILE_OBJECT FileObject, ULONGLONG Size);

// Writes the view's changed pages back to its file. Views unmapped already
// are left alone.
VOID MmpFlushView(MMP_VIEW* View);

// The views mapped now (for the background writer).
std::vector<MMP_VIEW_REF> MmpMappedViews();

// The background (modified-page) writer runs while any view is mapped: started with the
// first view, stopped (and waited for) when the last one goes.
VOID MmpWriterViewMapped();
VOID MmpWriterViewUnmapped();
// System time between two passes of the background writer (100 ns units).
#define MMP_WRITER_PERIOD (3LL * 10 * 1000 * 1000)
