// mm/section.h - the memory manager's sections on files and the views mapped
// from them, and the paging I/O that moves their pages.
//
// A view is memory of its own (in the process's user arena, or host memory
// for the System process) filled from the file by paging reads when mapped.
// Pages that differ from what the file last received are written back by
// paging writes (IRP_PAGING_IO | IRP_NOCACHE) carrying the section's file
// object: by the background writer and at unmap. Not emulated: coherence
// between two views of one file, or between a view and ordinary writes to
// the file; views left mapped when their process ends. Emulation internal.
// PASSIVE_LEVEL.
#pragma once

#include "ntifs.h"

#include <memory>
#include <mutex>
#include <vector>

#define MMP_TAG_PAGING EX_POOL_TAG('M', 'm', 'P', 'g')

// Body of a section object. Set at creation, read-only afterwards.
struct MMP_SECTION {
    PFILE_OBJECT FileObject; // referenced for the section's life
    ULONGLONG MaximumSize;   // bytes
    ULONG Protection;        // PAGE_READONLY or PAGE_READWRITE
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
    std::vector<UCHAR> Shadow; // FlushLock: the bytes the file holds for the view
};

using MMP_VIEW_REF = std::shared_ptr<MMP_VIEW>;

// Sends one paging read or write of FileObject through its file system and
// waits for it. Returns the final status; *Transferred the bytes moved.
NTSTATUS MmpPagingIo(PFILE_OBJECT FileObject, bool Write, PVOID Buffer, ULONG Length,
                     ULONGLONG Offset, ULONG_PTR* Transferred);
// The file's size in bytes (FileStandardInformation), or an error.
NTSTATUS MmpQueryFileSize(PFILE_OBJECT FileObject, ULONGLONG* Size);
// Sets the file's end (FileEndOfFileInformation).
NTSTATUS MmpSetFileSize(PFILE_OBJECT FileObject, ULONGLONG Size);

// Writes the view's changed pages back to its file. Views unmapped already
// are left alone.
VOID MmpFlushView(MMP_VIEW* View);

// The views mapped now (for the background writer).
std::vector<MMP_VIEW_REF> MmpMappedViews();

// The background writer runs while any view is mapped: started with the
// first view, stopped (and waited for) when the last one goes.
VOID MmpWriterViewMapped();
VOID MmpWriterViewUnmapped();
// System time between two passes of the background writer (100 ns units).
#define MMP_WRITER_PERIOD (3LL * 10 * 1000 * 1000)
