// flush_extent.cpp - the background flush of preserved pieces to the partial
// data file.
//
// Kernel mode, PASSIVE_LEVEL, on the two threads of work queue 1 in the
// System process (whose handle table holds PartialFileHandle). The file is
// open for asynchronous I/O: each write names its offset and its completion
// arrives as an APC to the flushing thread, which waits alertably for it.
#include "io/copy_on_write.h"

//
// FlushWriteDone - APC routine of a flush write: the write has completed.
// IRQL: APC_LEVEL or PASSIVE_LEVEL, in the flushing thread.
//
static VOID NTAPI FlushWriteDone(PVOID Context, PIO_STATUS_BLOCK IoStatus, ULONG Reserved) {
    UNREFERENCED_PARAMETER(IoStatus);
    UNREFERENCED_PARAMETER(Reserved);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
}

LONG WriteExtentToFile(FilterExtension* Volume, SnapshotContext* Snapshot, ExtentPiece* Piece,
                       PVOID Data, PKEVENT Event, PIO_STATUS_BLOCK IoStatus) {
    AllocateFileSpace(Volume, Snapshot, Piece->SectorCount, &Piece->FileOffset);
    PKEVENT event = Event != NULL ? Event : AllocateEventBlock(FALSE);
    if (event == NULL) {
        return -1;
    }
    KeInitializeEvent(event, SynchronizationEvent, FALSE);

    LONG result = 0;
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)Piece->FileOffset;
    NTSTATUS status = ZwWriteFile(Snapshot->PartialFileHandle, NULL, FlushWriteDone, event,
                                  IoStatus, Data, (ULONG)Piece->SectorCount * Volume->SectorSize,
                                  &offset, NULL);
    if (NT_ERROR(status)) {
        result = -1;
    } else {
        // An alert or a delivered APC ends an alertable wait early: wait on
        // until the completion has really run, as it still writes IoStatus
        // and the caller frees Data after this returns.
        while (KeWaitForSingleObject(event, Executive, KernelMode, TRUE, NULL) != STATUS_SUCCESS) {
        }
        if (!NT_SUCCESS(IoStatus->Status)) {
            result = -1;
        }
    }
    if (Event == NULL) {
        FreeEventBlock(event);
    }
    return result;
}

VOID FlushExtent(PVOID Context) {
    FlushItem* item = (FlushItem*)Context;
    FilterExtension* volume = item->Volume;
    ExtentPiece* piece = item->Piece;
    ERESOURCE_THREAD owner = ExGetCurrentResourceThread();
    // Writers waiting for backlog room hold VolumeResource shared, and only
    // flushes make room: a flush queued behind a freeze or thaw that waits
    // for the resource exclusively would leave all three waiting for ever.
    KeEnterCriticalRegion();
    ExAcquireSharedStarveExclusive(&volume->VolumeResource, TRUE);
    KeLeaveCriticalRegion();

    SnapshotContext* snapshot = volume->SnapshotContext;
    if ((ReadVolumeFlags(volume) & (VOLUME_QUIESCING | VOLUME_FROZEN)) == 0 || snapshot == NULL) {
        // The snapshot ended: its teardown orphaned the piece.
        FreePreservedData(volume, piece);
        FreeExtentPiece(piece);
    } else {
        KeEnterCriticalRegion();
        ExAcquireResourceSharedLite(snapshot->FlushLock, TRUE);
        KeLeaveCriticalRegion();
        // Orphan marks are set under FlushLock held exclusively, which this
        // thread now holds shared; the link of a piece in its block changes
        // under the bucket, atomically, so it is read atomically here.
        if (ReadPointerAcquire((PVOID const volatile*)&piece->Next) == EXTENT_PIECE_ORPHAN) {
            // Its block was dropped (reclaim, or the teardown of an earlier
            // snapshot of the volume) before it could be written.
            FreePreservedData(volume, piece);
            FreeExtentPiece(piece);
        } else {
            IO_STATUS_BLOCK ioStatus = {};
            LONG result = WriteExtentToFile(volume, snapshot, piece, piece->Data, NULL, &ioStatus);
            KeEnterCriticalRegion();
            ExAcquireResourceExclusiveLite(item->BucketLock, TRUE);
            KeLeaveCriticalRegion();
            FreePreservedData(volume, piece);
            InterlockedDecrement(&snapshot->UnflushedPieces);
            if (result != 0) {
                // The piece stays linked to its block and keeps its file range
                // until the block is dropped, so that it is never reachable
                // from FreeList and its block at once. Nothing reads it again:
                // the frozen state is broken.
                SetFrozenStateBroken(volume, TRUE);
            }
            ExReleaseResourceForThreadLite(item->BucketLock, owner);
        }
        ExReleaseResourceForThreadLite(snapshot->FlushLock, owner);
    }

    ReleaseVolumeLock(volume, PsGetCurrentThread());
    IoReleaseRemoveLock(&volume->RemoveLock, item);
    FreeWorkRecord(item);
}
