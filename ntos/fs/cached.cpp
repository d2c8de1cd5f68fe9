// fs/cached.cpp - cached reads and writes: file data copied to and from the
// stream's shared pages, which the lazy writer later writes back.
//
// Kernel mode, PASSIVE_LEVEL, in the issuing thread. The stream's resource
// is held (exclusive for writes) while the pages are loaded and copied; a
// page not yet loaded comes in by a paging read from this thread.
#include "ntos/fs/fsp.h"
#include "ntos/mm/stream_pages.h"

NTSTATUS FspCachedTransfer(FSP_STREAM* Stream, PETHREAD Thread, bool Write, PVOID Buffer,
                           ULONG Length, ULONGLONG Offset, ULONG* Transferred) {
    *Transferred = 0;
    auto pages = MmpPagesOf(&Stream->SectionObjects);
    FSP_VOLUME* volume = Stream->Volume;
    KeEnterCriticalRegion();
    if (Write) {
        ExAcquireResourceExclusiveLite(&Stream->Resource, TRUE);
    } else {
        ExAcquireResourceSharedLite(&Stream->Resource, TRUE);
    }
    ULONGLONG fileSize;
    {
        std::lock_guard<std::mutex> guard(volume->Lock);
        fileSize = Stream->FileSize;
    }
    NTSTATUS status = STATUS_SUCCESS;
    ULONGLONG end = Offset + Length;
    bool grew = false;
    if (!Write) {
        if (Offset >= fileSize) {
            status = STATUS_END_OF_FILE;
        } else if (end > fileSize) {
            end = fileSize;
        }
    } else if (end > fileSize) {
        // Pages past the valid data load as zeros, so the gap a write leaves
        // reads as zeros until the lazy writer has written it.
        status = FspSetFileSize(Stream, end);
        grew = NT_SUCCESS(status);
    }
    if (NT_SUCCESS(status) && end > Offset) {
        const auto length = static_cast<ULONG>(end - Offset);
        status = Write ? MmpWritePages(pages, Offset, Buffer, length)
                       : MmpReadPages(pages, Offset, Buffer, length);
        if (NT_SUCCESS(status)) {
            *Transferred = length;
        }
    }
    if (grew && NT_SUCCESS(status)) {
        status = FspWriteMetadata(Stream, Thread);
    }
    ExReleaseResourceLite(&Stream->Resource);
    KeLeaveCriticalRegion();
    return status;
}
