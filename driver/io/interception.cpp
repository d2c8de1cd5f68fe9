// interception.cpp - every read and write that reaches a filter device: the
// decision whether it goes straight to the volume, is logged in a change
// store, is noted for the quiescing wait, or needs the old contents of its
// sectors preserved first.
//
// Kernel mode. The dispatch routines run in the issuing thread at
// PASSIVE_LEVEL or, for paging I/O, APC_LEVEL: nothing here issues a
// request of its own and waits for it, and no Zw routine is called. The
// completion routines run at up to DISPATCH_LEVEL.
#include "io/copy_on_write.h"
#include "io/io.h"
#include "snapshot/snapshot.h"
#include "support/block_cache.h"
#include "support/change_store.h"

static NTSTATUS CompleteRefused(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_DISK_INCREMENT);
    return Status;
}

BOOLEAN IsPagingFile(PFILE_OBJECT FileObject) {
    static const WCHAR pagingFileName[] = u"\\pagefile.sys";
    const ULONG chars = sizeof(pagingFileName) / sizeof(WCHAR) - 1;
    return FileObject != NULL && FileObject->FileName.Length == chars * sizeof(WCHAR) &&
           _wcsnicmp(FileObject->FileName.Buffer, pagingFileName, chars) == 0;
}

// TRUE for a stream whose I/O passes a snapshot untouched: the agent's
// pass-through files, the driver's own files and the paging file.
static BOOLEAN IsExemptFile(PFILE_OBJECT FileObject, BOOLEAN PassThroughToo) {
    if (FileObject == NULL) {
        return FALSE;
    }
    PVOID stream = FileObject->FsContext;
    return IsPagingFile(FileObject) || ExemptFileContains(stream, OWN_FILE_LIST) ||
           (PassThroughToo && ExemptFileContains(stream, PASS_THROUGH_FILE_LIST));
}

BOOLEAN NoteFileWrite(FilterExtension* Volume, PVOID Key, PLARGE_INTEGER Time) {
    if (Volume == NULL || Volume->SnapshotContext == NULL ||
        Volume->SnapshotContext->ActivityTable == NULL) {
        return FALSE;
    }
    HashTable* table = Volume->SnapshotContext->ActivityTable;
    // The table hashes the low 32 bits of the stream's identity; entries
    // compare the whole of it.
    ULONG hashKey = (ULONG)(ULONG_PTR)Key;
    ULONG_PTR lockHandle = 0;
    HashBucket* bucket = HashTableLookupAndLock(table, &hashKey, TRUE, NULL, &lockHandle);

    BOOLEAN quiet = FALSE;
    ActivityEntry* entry = (ActivityEntry*)bucket->Chain;
    while (entry != NULL && entry->Key != Key) {
        entry = entry->Next;
    }
    if (entry != NULL) {
        if ((entry->Flags & ACTIVITY_QUIET) != 0) {
            quiet = TRUE;
        } else if (Time != NULL) {
            entry->LastWrite = Time->QuadPart;
            bucket->BucketWord &= ~ACTIVITY_BUCKET_QUIET;
        }
    } else if (Time != NULL) {
        entry = (ActivityEntry*)AllocateActivityEntry(FALSE);
        if (entry != NULL) {
            entry->LastWrite = Time->QuadPart;
            entry->Key = Key;
            entry->Next = (ActivityEntry*)bucket->Chain;
            bucket->Chain = entry;
            bucket->BucketWord &= ~ACTIVITY_BUCKET_QUIET;
        } else {
            // A write that cannot be watched could go on unseen: give up.
            ChangeVolumeFlags(Volume, VOLUME_QUIESCE_ABORTED, 0);
        }
    }
    HashTableUnlockBucket(table, bucket, lockHandle);
    return quiet;
}

//
// PassThroughCompletion - carries the lower driver's pending state up; the
// request completes as the volume completed it.
//
static NTSTATUS NTAPI PassThroughCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                            PVOID Context) {
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return Irp->IoStatus.Status;
}

//
// QuiescingWriteCompletion - a write of a stream that was not yet quiet
// has reached the volume: notes its completion time and gives back the
// shared volume lock its issuer kept (Context: that thread), then the
// remove lock. The note comes first: the ActivityTable lives
// only while quiescing, and quiescing cannot end while this write holds
// the lock. IRQL: <= DISPATCH_LEVEL.
//
static NTSTATUS NTAPI QuiescingWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                               PVOID Context) {
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    FilterExtension* volume = (FilterExtension*)DeviceObject->DeviceExtension;
    PFILE_OBJECT file = RequestFileObject(Irp);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    NoteFileWrite(volume, file != NULL ? file->FsContext : NULL, &now);
    ReleaseVolumeLock(volume, (PETHREAD)Context);
    IoReleaseRemoveLock(&volume->RemoveLock, Irp);
    return Irp->IoStatus.Status;
}

//
// PrepareVolumeWrite - a write while the volume has a snapshot.
//
// Volume: the filter device's record; the caller holds VolumeResource
// shared and the remove lock (tag: the request), and gives up neither: this
// routine hands both on. Irp: the write. FileObject: its file, or NULL. A write of a
// stream that is not yet quiet keeps the lock until it completes
// (QuiescingWriteCompletion); any other write gives it back before it goes
// down. The write is logged in the store it belongs to and sent on.
// Returns the lower driver's status. IRQL: <= APC_LEVEL.
//
static NTSTATUS PrepareVolumeWrite(FilterExtension* Volume, PIRP Irp, PFILE_OBJECT FileObject) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONGLONG offset = (ULONGLONG)stack->Parameters.Write.ByteOffset.QuadPart;
    ULONG length = stack->Parameters.Write.Length;
    SnapshotContext* snapshot = Volume->SnapshotContext;
    struct _ChangeStore* store = PreviousChangeStoreOf(Volume);
    BOOLEAN keep = FALSE;

    UCHAR flags = ReadVolumeFlags(Volume);
    if ((flags & (VOLUME_QUIESCING | VOLUME_FROZEN)) != 0) {
        PVOID stream = FileObject != NULL ? FileObject->FsContext : NULL;
        if ((flags & VOLUME_QUIESCING) != 0 && !IsFileQuiet(Volume, stream)) {
            keep = TRUE;
        } else {
            store = snapshot->ChangeStore;
            if ((flags & VOLUME_EXTENT_LIST) == 0 && SpaceWatch(Volume)) {
                // A failure has broken the frozen state inside; the write
                // goes down all the same.
                PreserveWrite(Volume, Irp, offset, length);
            }
            if ((flags & VOLUME_QUIESCING) != 0 && store == NULL) {
                store = PreviousChangeStoreOf(Volume);
            }
        }
    }
    ChangeStoreQueueWrite(store, offset, length);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    PETHREAD self = PsGetCurrentThread();
    if (!keep) {
        ReleaseVolumeLock(Volume, self);
        IoSetCompletionRoutine(Irp, PassThroughCompletion, NULL, TRUE, TRUE, TRUE);
        NTSTATUS status = IofCallDriver(Volume->LowerDevice, Irp);
        IoReleaseRemoveLock(&Volume->RemoveLock, Irp);
        return status;
    }
    // The lock and the reference go with the request to its completion.
    IoSetCompletionRoutine(Irp, QuiescingWriteCompletion, self, TRUE, TRUE, TRUE);
    return IofCallDriver(Volume->LowerDevice, Irp);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == DriverGlobals.ControlDevice) {
        return CompleteRefused(Irp, STATUS_NOT_IMPLEMENTED);
    }
    FilterExtension* volume = (FilterExtension*)DeviceObject->DeviceExtension;
    PFILE_OBJECT file = RequestFileObject(Irp);
    // The paging file and the driver's own files pass in every state.
    if (IsExemptFile(file, FALSE)) {
        return PassDown(DeviceObject, Irp);
    }
    if ((ReadVolumeFlags(volume) & VOLUME_OWNER_RECORDED) != 0) {
        if (IsExemptFile(file, TRUE)) {
            return PassDown(DeviceObject, Irp);
        }
        NTSTATUS status = IoAcquireRemoveLock(&volume->RemoveLock, Irp);
        if (!NT_SUCCESS(status)) {
            return CompleteRefused(Irp, status);
        }
        AcquireVolumeLock(volume, FALSE);
        // The snapshot may have ended while the lock was awaited.
        if ((ReadVolumeFlags(volume) & VOLUME_OWNER_RECORDED) != 0) {
            return PrepareVolumeWrite(volume, Irp, file);
        }
        ReleaseVolumeLock(volume, PsGetCurrentThread());
        IoReleaseRemoveLock(&volume->RemoveLock, Irp);
    }
    // No snapshot: the write goes to the store kept since the last one.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ChangeStoreQueueWrite(PreviousChangeStoreOf(volume),
                          (ULONGLONG)stack->Parameters.Write.ByteOffset.QuadPart,
                          stack->Parameters.Write.Length);
    return PassDown(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == DriverGlobals.ControlDevice) {
        return CompleteRefused(Irp, STATUS_NOT_IMPLEMENTED);
    }
    FilterExtension* volume = (FilterExtension*)DeviceObject->DeviceExtension;
    KIRQL irql = KfAcquireSpinLock(&volume->StateLock);
    UCHAR flags = volume->VolumeFlags;
    BOOLEAN owner = Irp->Tail.Overlay.Thread != NULL &&
                    Irp->Tail.Overlay.Thread == volume->SnapshotOwner;
    BOOLEAN stayBroken = volume->StayBroken;
    KfReleaseSpinLock(&volume->StateLock, irql);

    if ((flags & VOLUME_OWNER_RECORDED) == 0 || !owner) {
        return PassDown(DeviceObject, Irp);
    }
    PFILE_OBJECT file = RequestFileObject(Irp);
    if (file == NULL || IsExemptFile(file, TRUE)) {
        return PassDown(DeviceObject, Irp);
    }
    if ((flags & VOLUME_FROZEN_STATE_BROKEN) != 0 && stayBroken) {
        return CompleteRefused(Irp, STATUS_ACCESS_DENIED);
    }
    // Served from the frozen image on work queue 0 (FrozenReadWorker sends
    // it on unchanged while the volume is still quiescing).
    if (QueueFrozenRead(DeviceObject, Irp)) {
        return STATUS_PENDING;
    }
    SetFrozenStateBroken(volume, TRUE);
    if (stayBroken) {
        return CompleteRefused(Irp, STATUS_ACCESS_DENIED);
    }
    return PassDown(DeviceObject, Irp);
}
