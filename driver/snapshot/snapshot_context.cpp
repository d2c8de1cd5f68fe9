// snapshot_context.cpp - building a volume's snapshot and taking it down:
// its tables and locks, the partial data file, the handle for free-space
// queries and the optional change store.
//
// Kernel mode, PASSIVE_LEVEL, with VolumeResource held exclusively. The
// files and handles of a snapshot belong to the System process: they are
// opened, used and closed attached to it, so the agent's process never
// holds (or can close or replace) a handle of the driver's.
#include "snapshot/snapshot.h"

#include <mountdev.h>
#include <ntdddisk.h>

#include "support/block_cache.h"
#include "support/change_store.h"
#include "support/pool_tags.h"
#include "support/zeroed_memory.h"

// Bytes of the reply to the volume-name query.
#define DEVICE_NAME_REPLY_BYTES 512u

// Bucket counts by system size (small, medium, large); workstation, server.
static const ULONG ActivityBuckets[3][2] = {{47, 107}, {307, 607}, {557, 997}};
static const ULONG ExtentBuckets[3][2] = {{401, 701}, {2503, 3557}, {6047, 7717}};

static ULONG BucketsBySystemSize(const ULONG (*Table)[2]) {
    MM_SYSTEMSIZE size = MmQuerySystemSize();
    if ((ULONG)size > (ULONG)MmLargeSystem) {
        return 0;
    }
    return Table[size][MmIsThisAnNtAsSystem() ? 1 : 0];
}

ULONG ActivityBucketCount(VOID) {
    return BucketsBySystemSize(ActivityBuckets);
}

ULONG ExtentBucketCount(VOID) {
    return BucketsBySystemSize(ExtentBuckets);
}

BOOLEAN AttachToSystemProcess(VOID) {
    if (IoGetCurrentProcess() == DriverGlobals.SystemProcess) {
        return TRUE;
    }
    KeAttachProcess((PRKPROCESS)DriverGlobals.SystemProcess);
    return FALSE;
}

VOID DetachFromSystemProcess(VOID) {
    KeDetachProcess();
}

VOID DestroyActivityTable(SnapshotContext* Snapshot) {
    HashTable* table = Snapshot->ActivityTable;
    if (table == NULL) {
        return;
    }
    ULONG buckets = HashTableBucketCount(table);
    for (ULONG i = 0; i < buckets; i++) {
        HashBucket* bucket = HashTableBucketAt(table, i);
        ActivityEntry* entry = (ActivityEntry*)bucket->Chain;
        bucket->Chain = NULL;
        while (entry != NULL) {
            ActivityEntry* next = entry->Next;
            FreeActivityEntry(entry);
            entry = next;
        }
    }
    HashTableDestroy(table);
    Snapshot->ActivityTable = NULL;
}

// Closes the partial data file and takes its stream off OWN_FILE_LIST.
// Runs attached to the System process.
static VOID ClosePartialDataFile(SnapshotContext* Snapshot) {
    PFILE_OBJECT file = NULL;
    if (NT_SUCCESS(ObReferenceObjectByHandle(Snapshot->PartialFileHandle, 0, *IoFileObjectType,
                                             KernelMode, (PVOID*)&file, NULL))) {
        ExemptFileRemove(file->FsContext, OWN_FILE_LIST);
        ObfDereferenceObject(file);
    }
    ZwClose(Snapshot->PartialFileHandle);
    Snapshot->PartialFileHandle = NULL;
}

// The volume's size in bytes (IOCTL_DISK_GET_PARTITION_INFO on ObjectName).
// Runs attached to the System process.
static NTSTATUS QueryPartitionLength(PCWSTR ObjectName, PULONGLONG Length) {
    HANDLE volume = OpenVolumeForRead(ObjectName);
    if (volume == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    HANDLE event = NULL;
    NTSTATUS status = ZwCreateEvent(&event, EVENT_ALL_ACCESS, NULL, NotificationEvent, FALSE);
    if (NT_SUCCESS(status)) {
        IO_STATUS_BLOCK ioStatus = {};
        PARTITION_INFORMATION reply = {};
        status = ZwDeviceIoControlFile(volume, event, NULL, NULL, &ioStatus,
                                       IOCTL_DISK_GET_PARTITION_INFO, NULL, 0, &reply,
                                       sizeof(reply));
        if (status == STATUS_PENDING) {
            ZwWaitForSingleObject(event, FALSE, NULL);
            status = ioStatus.Status;
        }
        if (NT_SUCCESS(status)) {
            *Length = (ULONGLONG)reply.PartitionLength.QuadPart;
        }
        ZwClose(event);
    }
    ZwClose(volume);
    return status;
}

// Creates the partial data file (empty, hidden and system) and puts its
// stream on OWN_FILE_LIST. Runs attached to the System process.
static ULONG CreatePartialDataFile(SnapshotContext* Snapshot) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, Snapshot->PartialDataFileName,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus = {};
    HANDLE handle = NULL;
    NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE,
                                   &attributes, &ioStatus, NULL,
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, FILE_SHARE_READ,
                                   FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(status)) {
        return QVD_RESULT_FILE_SETUP_FAILED;
    }
    Snapshot->PartialFileHandle = handle;
    PFILE_OBJECT file = NULL;
    status = ObReferenceObjectByHandle(handle, GENERIC_READ, *IoFileObjectType, KernelMode,
                                       (PVOID*)&file, NULL);
    if (NT_SUCCESS(status)) {
        Snapshot->PartialFileDevice = file->DeviceObject;
        if (!ExemptFileAdd(file->FsContext, OWN_FILE_LIST)) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
        ObfDereferenceObject(file);
    }
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        Snapshot->PartialFileHandle = NULL;
        return QVD_RESULT_FILE_SETUP_FAILED;
    }
    return 0;
}

// Asks the partial data file's device for its name and opens that volume
// for free-space queries. Returns 0, 12, or the query's failing status.
// Runs attached to the System process.
static ULONG OpenSpaceVolume(SnapshotContext* Snapshot) {
    PUCHAR reply = (PUCHAR)ExAllocatePoolWithTag(PagedPool, DEVICE_NAME_REPLY_BYTES + sizeof(WCHAR),
                                                 QVD_TAG_SCRATCH);
    if (reply == NULL) {
        return QVD_RESULT_NO_MEMORY;
    }
    RtlZeroMemory(reply, DEVICE_NAME_REPLY_BYTES + sizeof(WCHAR));
    KEVENT done;
    IO_STATUS_BLOCK ioStatus = {};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_MOUNTDEV_QUERY_DEVICE_NAME,
                                             Snapshot->PartialFileDevice, NULL, 0, reply,
                                             DEVICE_NAME_REPLY_BYTES, FALSE, &done, &ioStatus);
    ULONG result = QVD_RESULT_FILE_SETUP_FAILED;
    if (irp != NULL) {
        NTSTATUS status = IofCallDriver(Snapshot->PartialFileDevice, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
            status = ioStatus.Status;
        }
        PMOUNTDEV_NAME name = (PMOUNTDEV_NAME)reply;
        if (!NT_SUCCESS(status)) {
            result = (ULONG)status;
        } else if (name->NameLength <= DEVICE_NAME_REPLY_BYTES - sizeof(USHORT)) {
            // The reply holds one spare character past its 512 bytes, so the
            // terminator always lies inside the buffer.
            PWSTR characters = name->Name;
            characters[name->NameLength / sizeof(WCHAR)] = 0;
            Snapshot->SpaceVolumeHandle = OpenVolumeForRead(characters);
            result = Snapshot->SpaceVolumeHandle != NULL ? 0 : QVD_RESULT_FILE_SETUP_FAILED;
        }
    }
    ExFreePool(reply);
    return result;
}

// Undoes what SetUpSnapshot built, newest first; each step checks whether
// its part exists, so one routine serves every failing step and teardown.
static VOID ReleaseSnapshotParts(FilterExtension* Volume, SnapshotContext* Snapshot) {
    if (Snapshot->NtfsStream != NULL) {
        ExemptFileRemove(Snapshot->NtfsStream, OWN_FILE_LIST);
        Snapshot->NtfsStream = NULL;
    }
    DestroyActivityTable(Snapshot);
    if (Snapshot->ExtentTable != NULL) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(Snapshot->FlushLock, TRUE);
        DestroyExtentTable(Snapshot->ExtentTable);
        ExReleaseResourceLite(Snapshot->FlushLock);
        KeLeaveCriticalRegion();
        HashTableDestroy(Snapshot->ExtentTable);
        Snapshot->ExtentTable = NULL;
    }
    if (Snapshot->SpaceVolumeHandle != NULL || Snapshot->PartialFileHandle != NULL) {
        BOOLEAN there = AttachToSystemProcess();
        CloseHandleIfOpen(Snapshot->SpaceVolumeHandle);
        Snapshot->SpaceVolumeHandle = NULL;
        if (Snapshot->PartialFileHandle != NULL) {
            ClosePartialDataFile(Snapshot);
        }
        if (!there) {
            DetachFromSystemProcess();
        }
    }
    FreeIfAllocated(Snapshot->PartialDataFileName);
    Snapshot->PartialDataFileName = NULL;
    while (Snapshot->FreeList != NULL) {
        ExtentPiece* next = Snapshot->FreeList->Next;
        FreeExtentPiece(Snapshot->FreeList);
        Snapshot->FreeList = next;
    }
    if (Snapshot->FlushLock != NULL) {
        ExDeleteResourceLite(Snapshot->FlushLock);
        FreeResourceBlock(Snapshot->FlushLock);
    }
    FreeEventBlock(Snapshot->MapLock);
    FreeEventBlock(Snapshot->SnapshotLock);
    ExFreePool(Snapshot);
    Volume->SnapshotContext = NULL;
}

static VOID DropSnapshotMutex(FilterExtension* Volume) {
    if (Volume->SnapshotMutex != NULL) {
        ObfDereferenceObject(Volume->SnapshotMutex);
        Volume->SnapshotMutex = NULL;
    }
}

// The change-store slot a new snapshot uses: the one the volume's previous
// store does not occupy.
static struct _ChangeStore* ChooseChangeStoreSlot(FilterExtension* Volume) {
    return Volume->PreviousChangeStore == &Volume->ChangeStores[0] ? &Volume->ChangeStores[1]
                                                                    : &Volume->ChangeStores[0];
}

// References the agent's mutex (a mutant the calling thread owns) through
// its handle in the caller's process, with the request's mode.
static ULONG ReferenceSnapshotMutex(FilterExtension* Volume, HANDLE Handle) {
    PVOID mutant = NULL;
    NTSTATUS status = ObReferenceObjectByHandle(Handle, SYNCHRONIZE, *ExMutantObjectType,
                                                ExGetPreviousMode(), &mutant, NULL);
    if (!NT_SUCCESS(status)) {
        return QVD_RESULT_BAD_MUTEX;
    }
    Volume->SnapshotMutex = mutant;
    if (((PKMUTANT)mutant)->OwnerThread != KeGetCurrentThread()) {
        return QVD_RESULT_BAD_MUTEX;
    }
    return 0;
}

ULONG SetUpSnapshot(FilterExtension* Volume, const FreezeParameters* Parameters) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    SnapshotContext* snapshot =
        (SnapshotContext*)ExAllocatePoolWithTag(PagedPool, sizeof(SnapshotContext),
                                                QVD_TAG_SNAPSHOT_CONTEXT);
    if (snapshot == NULL) {
        return QVD_RESULT_NO_MEMORY;
    }
    RtlZeroMemory(snapshot, sizeof(*snapshot));
    Volume->SnapshotContext = snapshot;

    ULONG result = QVD_RESULT_NO_MEMORY;
    UNICODE_STRING objectName = {};
    snapshot->SnapshotLock = AllocateEventBlock(FALSE);
    snapshot->MapLock = AllocateEventBlock(FALSE);
    snapshot->FlushLock = AllocateResourceBlock(FALSE);
    if (snapshot->SnapshotLock == NULL || snapshot->MapLock == NULL ||
        snapshot->FlushLock == NULL) {
        goto Unwind;
    }
    KeInitializeEvent(snapshot->SnapshotLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(snapshot->MapLock, SynchronizationEvent, TRUE);
    ExInitializeResourceLite(snapshot->FlushLock);
    if (!NT_SUCCESS(HashTableCreate(ActivityBucketCount(), NonPagedPool, HashU32, HASH_LOCK_SPIN,
                                    ACTIVITY_BUCKET_QUIET, &snapshot->ActivityTable))) {
        goto Unwind;
    }

    snapshot->FreezeFlags = Parameters->FreezeFlags;
    snapshot->MaxQuiesceMs = Parameters->MaxQuiesceMs;
    snapshot->QuietPeriodMs = Parameters->QuietPeriodMs;
    snapshot->WarnFreeKB = Parameters->WarnFreeKB;
    snapshot->MinFreeKB = Parameters->MinFreeKB;

    result = QVD_RESULT_FREEZE_FAILED;
    if (!NT_SUCCESS(MakeNtVolumePath(Parameters->VolumeName, &objectName))) {
        goto Unwind;
    }
    {
        BOOLEAN there = AttachToSystemProcess();
        NTSTATUS status = QueryPartitionLength(objectName.Buffer, &snapshot->PartitionLength);
        if (!there) {
            DetachFromSystemProcess();
        }
        if (!NT_SUCCESS(status)) {
            goto Unwind;
        }
    }

    result = QVD_RESULT_FILE_SETUP_FAILED;
    snapshot->PartialDataFileName = JoinPath(u"\\DosDevices", Parameters->PartialDataFilePath, NULL);
    if (snapshot->PartialDataFileName == NULL) {
        goto Unwind;
    }

    // The agent's mutex is named by a handle of its own process.
    result = ReferenceSnapshotMutex(Volume, Parameters->SnapshotMutex);
    if (result != 0) {
        goto Unwind;
    }

    {
        BOOLEAN there = AttachToSystemProcess();
        result = CreatePartialDataFile(snapshot);
        if (result == 0) {
            result = OpenSpaceVolume(snapshot);
        }
        if (result == 0) {
            result = QVD_RESULT_NO_MEMORY;
            if (NT_SUCCESS(HashTableCreate(ExtentBucketCount(), PagedPool, HashU64,
                                           HASH_LOCK_RESOURCE, 0, &snapshot->ExtentTable))) {
                result = 0;
            }
        }
        if (!there) {
            DetachFromSystemProcess();
        }
    }
    if (result == 0 && Parameters->ChangeStorePath != NULL) {
        snapshot->ChangeStore = ChooseChangeStoreSlot(Volume);
        result = ChangeStoreCreate(snapshot->ChangeStore, Parameters->ChangeStorePath,
                                   snapshot->PartitionLength);
        if (result != 0) {
            snapshot->ChangeStore = NULL;
        }
    }
    if (result == 0) {
        ExFreePool(objectName.Buffer);
        return 0;
    }

Unwind:
    if (objectName.Buffer != NULL) {
        ExFreePool(objectName.Buffer);
    }
    ReleaseSnapshotParts(Volume, snapshot);
    // The mutex reference stays until the next freeze or teardown drops it.
    return result;
}

VOID TearDownSnapshot(FilterExtension* Volume) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    if (Volume->SnapshotContext != NULL) {
        ReleaseSnapshotParts(Volume, Volume->SnapshotContext);
    }
    DropSnapshotMutex(Volume);
}
