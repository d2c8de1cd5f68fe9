// control_operations.cpp - the control operations other than the freeze:
// version, thaw, progress, pass-through files and the extent list.
//
// Kernel mode, PASSIVE_LEVEL, in the agent's thread. Each operation checks
// its buffer, does its work and writes the outcome into the record's Result
// word; pointers inside a record are reached only through the probing
// routines, and the agent's memory is never touched while a lock is held.
#include "io/copy_on_write.h"
#include "snapshot/snapshot.h"
#include "support/pool_tags.h"

#include <cstring>

// Pause between two looks at the flushes an extent list waits for: 10 ms.
#define EXTENT_LIST_FLUSH_POLL (-100000LL)

// Bytes of a record that carries only Result and VolumeHandle.
#define VOLUME_REPLY_BYTES 8u

FilterExtension* ReferenceVolumeByHandle(ULONG VolumeHandle) {
    PDEVICE_OBJECT device = IsFilterDevice(VolumeHandle);
    return device != NULL ? (FilterExtension*)device->DeviceExtension : NULL;
}

static BOOLEAN RecordFits(PVOID Buffer, ULONG InputLength, ULONG OutputLength, ULONG Size) {
    return Buffer != NULL && InputLength >= Size && OutputLength >= Size;
}

NTSTATUS QueryVersion(PVOID Buffer, ULONG InputLength, ULONG OutputLength, PULONG_PTR Information) {
    *Information = 0;
    if (Buffer == NULL || OutputLength < sizeof(QvdVersionInfo)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    QvdVersionInfo* info = (QvdVersionInfo*)Buffer;
    RtlZeroMemory(info, sizeof(*info));
    info->Major = 7;
    info->Minor = 0;
    info->Build = 102;
    info->Result = QVD_RESULT_SUCCESS;
    *Information = sizeof(*info);
    return STATUS_SUCCESS;
}

NTSTATUS ThawVolume(PVOID Buffer, ULONG InputLength, ULONG OutputLength, PULONG_PTR Information) {
    *Information = 0;
    if (!RecordFits(Buffer, InputLength, OutputLength, sizeof(QvdVolumeRequest))) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    QvdVolumeRequest* request = (QvdVolumeRequest*)Buffer;
    FilterExtension* volume = ReferenceVolumeByHandle(request->VolumeHandle);
    if (volume == NULL) {
        request->Result = QVD_RESULT_INVALID;
    } else {
        request->Result = EndSnapshot(volume, FALSE);
        ReleaseFilterDevice(volume);
    }
    *Information = sizeof(*request);
    return STATUS_SUCCESS;
}

NTSTATUS ReportProgress(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                        PULONG_PTR Information) {
    *Information = 0;
    if (!RecordFits(Buffer, InputLength, OutputLength, sizeof(QvdProgressRequest))) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    QvdProgressRequest* request = (QvdProgressRequest*)Buffer;
    *Information = VOLUME_REPLY_BYTES;
    FilterExtension* volume = ReferenceVolumeByHandle(request->VolumeHandle);
    if (volume == NULL) {
        request->Result = QVD_RESULT_INVALID;
        return STATUS_SUCCESS;
    }
    AcquireVolumeLock(volume, FALSE);
    UCHAR flags = ReadVolumeFlags(volume);
    if ((flags & VOLUME_FROZEN) == 0) {
        request->Result = QVD_RESULT_INVALID;
    } else {
        SnapshotContext* snapshot = volume->SnapshotContext;
        request->Result = QVD_RESULT_SUCCESS;
        LockSnapshot(snapshot);
        if ((flags & VOLUME_EXTENT_LIST) != 0 && request->Position != 0) {
            request->Result = QVD_RESULT_INVALID;
        } else {
            ULONGLONG sector = request->Position / volume->SectorSize;
            ULONGLONG volumeSectors = snapshot->PartitionLength / volume->SectorSize;
            if (sector > volumeSectors || sector < snapshot->ProgressMark) {
                request->Result = QVD_RESULT_BAD_POSITION;
            } else {
                snapshot->ProgressMark = sector;
                WakeReclaimThread();
            }
        }
        request->Status = snapshot->SnapshotStatus;
        UnlockSnapshot(snapshot);
        if (IsFrozenStateBroken(volume)) {
            request->Status |= QVD_STATUS_BROKEN;
        }
        *Information = sizeof(*request);
    }
    ReleaseVolumeLock(volume, PsGetCurrentThread());
    ReleaseFilterDevice(volume);
    return STATUS_SUCCESS;
}

NTSTATUS AddRemovePassThroughFile(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                                  PULONG_PTR Information, BOOLEAN Add) {
    *Information = 0;
    if (!RecordFits(Buffer, InputLength, OutputLength, sizeof(QvdPassThroughFileRequest))) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    // A listed file's writes go unpreserved: only a caller who may read the
    // whole volume anyway may name one.
    if (!CallerMayReadVolumes()) {
        return STATUS_ACCESS_DENIED;
    }
    QvdPassThroughFileRequest* request = (QvdPassThroughFileRequest*)Buffer;
    request->Result = QVD_RESULT_SUCCESS;
    PFILE_OBJECT file = NULL;
    NTSTATUS status = ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)request->FileHandle, 0,
                                                *IoFileObjectType, ExGetPreviousMode(),
                                                (PVOID*)&file, NULL);
    if (!NT_SUCCESS(status)) {
        request->Result = QVD_RESULT_BAD_FILE_HANDLE;
    } else {
        if (Add) {
            if (!ExemptFileAdd(file->FsContext, PASS_THROUGH_FILE_LIST)) {
                request->Result = QVD_RESULT_LIST_FULL;
            }
        } else if (!ExemptFileRemove(file->FsContext, PASS_THROUGH_FILE_LIST)) {
            request->Result = QVD_RESULT_NOT_LISTED;
        }
        ObfDereferenceObject(file);
    }
    *Information = sizeof(*request);
    return STATUS_SUCCESS;
}

NTSTATUS ClearPassThroughFiles(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                               PULONG_PTR Information) {
    *Information = 0;
    if (!RecordFits(Buffer, InputLength, OutputLength, sizeof(QvdResultRecord))) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (!CallerMayReadVolumes()) {
        return STATUS_ACCESS_DENIED;
    }
    ExemptFileClear(PASS_THROUGH_FILE_LIST);
    ((QvdResultRecord*)Buffer)->Result = QVD_RESULT_SUCCESS;
    *Information = sizeof(QvdResultRecord);
    return STATUS_SUCCESS;
}

NTSTATUS EnableExtentList(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                          PULONG_PTR Information) {
    *Information = 0;
    if (!RecordFits(Buffer, InputLength, OutputLength, sizeof(QvdVolumeRequest))) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    QvdVolumeRequest* request = (QvdVolumeRequest*)Buffer;
    FilterExtension* volume = ReferenceVolumeByHandle(request->VolumeHandle);
    request->Result = QVD_RESULT_INVALID;
    if (volume != NULL) {
        AcquireVolumeLock(volume, FALSE);
        // Under StateLock, so two agents' requests cannot both switch it on.
        KIRQL irql = KfAcquireSpinLock(&volume->StateLock);
        if ((volume->VolumeFlags & (VOLUME_FROZEN | VOLUME_EXTENT_LIST)) == VOLUME_FROZEN) {
            volume->VolumeFlags |= VOLUME_EXTENT_LIST;
            request->Result = QVD_RESULT_SUCCESS;
        }
        KfReleaseSpinLock(&volume->StateLock, irql);
        ReleaseVolumeLock(volume, PsGetCurrentThread());
        ReleaseFilterDevice(volume);
    }
    *Information = sizeof(*request);
    return STATUS_SUCCESS;
}

// Calls Visit for each preserved extent of the ExtentTable in walk order
// (bucket, chain, piece) from index Cursor on, until Visit returns FALSE.
// Returns the index of the first extent not visited. Takes each bucket
// shared. Caller holds VolumeResource shared.
typedef BOOLEAN (*ExtentVisitor)(PVOID Context, const ExtentEntry* Entry, const ExtentPiece* Piece);

static ULONG WalkExtents(HashTable* Table, ULONG Cursor, ExtentVisitor Visit, PVOID Context) {
    ULONG index = 0;
    BOOLEAN going = TRUE;
    ULONG buckets = HashTableBucketCount(Table);
    for (ULONG i = 0; i < buckets && going; i++) {
        HashBucket* bucket = HashTableBucketAt(Table, i);
        ULONG_PTR lockHandle = 0;
        KeEnterCriticalRegion();
        HashTableLockBucket(Table, bucket, FALSE, NULL, &lockHandle);
        for (const ExtentEntry* entry = (const ExtentEntry*)bucket->Chain;
             entry != NULL && going; entry = entry->Next) {
            for (const ExtentPiece* piece = entry->Pieces; piece != NULL && going;
                 piece = piece->Next) {
                if (index >= Cursor) {
                    going = Visit(Context, entry, piece);
                    if (!going) {
                        break;
                    }
                }
                index++;
            }
        }
        HashTableUnlockBucket(Table, bucket, lockHandle);
        KeLeaveCriticalRegion();
    }
    return index;
}

typedef struct _ExtentCopy {
    QvdPreservedExtent* Entries; // kernel buffer of Capacity entries
    ULONG Capacity;
    ULONG Count;
    ULONG SectorSize;
} ExtentCopy;

static BOOLEAN CopyExtent(PVOID Context, const ExtentEntry* Entry, const ExtentPiece* Piece) {
    ExtentCopy* copy = (ExtentCopy*)Context;
    if (copy->Count == copy->Capacity) {
        return FALSE;
    }
    QvdPreservedExtent* out = &copy->Entries[copy->Count++];
    out->VolumeOffset = (Entry->FirstSector + Piece->SectorOffset) * copy->SectorSize;
    out->Length = (ULONGLONG)Piece->SectorCount * copy->SectorSize;
    out->FileOffset = Piece->FileOffset;
    return TRUE;
}

static BOOLEAN CountExtent(PVOID Context, const ExtentEntry* Entry, const ExtentPiece* Piece) {
    return TRUE;
}

NTSTATUS ReadExtentList(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                        PULONG_PTR Information) {
    *Information = 0;
    if (!RecordFits(Buffer, InputLength, OutputLength, sizeof(QvdExtentListRequest))) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    QvdExtentListRequest* request = (QvdExtentListRequest*)Buffer;
    *Information = sizeof(*request);
    request->Result = QVD_RESULT_INVALID;
    if (request->ArraySize < sizeof(QvdPreservedExtent)) {
        return STATUS_SUCCESS;
    }
    // The agent's array is checked before anything is locked.
    PVOID array = MmGetUserBuffer(request->Array, request->ArraySize, 1, TRUE);
    FilterExtension* volume = ReferenceVolumeByHandle(request->VolumeHandle);
    if (volume == NULL) {
        return STATUS_SUCCESS;
    }

    ExtentCopy copy = {};
    ULONG cursor = request->Cursor;
    AcquireVolumeLock(volume, FALSE);
    UCHAR flags = ReadVolumeFlags(volume);
    // A piece whose copy is still in memory has no file offset yet: the list
    // waits until what was preserved before extent-list mode (which
    // preserves nothing) has reached the file. Flushes need the volume lock,
    // so it is given up while waiting.
    while ((flags & (VOLUME_FROZEN | VOLUME_EXTENT_LIST)) == (VOLUME_FROZEN | VOLUME_EXTENT_LIST) &&
           ReadAcquire(&volume->SnapshotContext->UnflushedPieces) != 0) {
        ReleaseVolumeLock(volume, PsGetCurrentThread());
        LARGE_INTEGER delay;
        delay.QuadPart = EXTENT_LIST_FLUSH_POLL;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        AcquireVolumeLock(volume, FALSE);
        flags = ReadVolumeFlags(volume);
    }
    if ((flags & (VOLUME_FROZEN | VOLUME_EXTENT_LIST)) == (VOLUME_FROZEN | VOLUME_EXTENT_LIST)) {
        HashTable* table = volume->SnapshotContext->ExtentTable;
        // The table does not change in extent-list mode, so the count of
        // what is left bounds the kernel buffer.
        ULONG total = WalkExtents(table, 0, CountExtent, NULL);
        ULONG left = total > cursor ? total - cursor : 0;
        copy.Capacity = request->ArraySize / sizeof(QvdPreservedExtent);
        copy.Capacity = copy.Capacity < left ? copy.Capacity : left;
        copy.SectorSize = volume->SectorSize;
        request->Result = QVD_RESULT_SUCCESS;
        if (copy.Capacity != 0) {
            copy.Entries = (QvdPreservedExtent*)ExAllocatePoolWithTag(
                PagedPool, (SIZE_T)copy.Capacity * sizeof(QvdPreservedExtent), QVD_TAG_SCRATCH);
            if (copy.Entries == NULL) {
                request->Result = QVD_RESULT_NO_MEMORY;
            } else {
                WalkExtents(table, cursor, CopyExtent, &copy);
            }
        }
    }
    ReleaseVolumeLock(volume, PsGetCurrentThread());
    ReleaseFilterDevice(volume);

    if (request->Result == QVD_RESULT_SUCCESS) {
        request->Cursor = cursor + copy.Count;
        request->Count = copy.Count;
    }
    if (copy.Entries != NULL) {
        NTSTATUS status = STATUS_SUCCESS;
        _SEH2_TRY {
            memcpy(array, copy.Entries, (SIZE_T)copy.Count * sizeof(QvdPreservedExtent));
        }
        _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            status = GetExceptionCode();
        }
        _SEH2_END;
        ExFreePool(copy.Entries);
        if (!NT_SUCCESS(status)) {
            *Information = 0;
            return status;
        }
    }
    return STATUS_SUCCESS;
}
