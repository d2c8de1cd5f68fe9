// freeze_volume.cpp - the freeze operation: from the agent's request to a
// frozen volume (or a clean failure), reporting the previous snapshot's
// change store on the way.
//
// Kernel mode, PASSIVE_LEVEL, in the agent's thread (the snapshot owner).
// The volume's resource is held exclusively except while the quiescing
// sleeps, while a running snapshot ends, and while a change store is
// drained, merged or closed (its slot is marked busy meanwhile).
#include "snapshot/snapshot.h"

#include "resources/messages.h"
#include <ntdddisk.h>
#include "support/change_store.h"
#include "support/pool_tags.h"

#include <climits>
#include <cstring>

// Longest string the agent may name (characters, terminator excluded).
#define FREEZE_NAME_MAX_CHARS 32767u
// Characters of the stored change-store name before the agent's path:
// "\DosDevices\".
#define DOS_DEVICES_PREFIX_CHARS 12u

static VOID FreeParameters(FreezeParameters* Parameters) {
    PWSTR strings[] = {Parameters->VolumeName, Parameters->PartialDataFilePath,
                       Parameters->ChangeStorePath};
    for (PWSTR string : strings) {
        if (string != NULL) {
            ExFreePool(string);
        }
    }
}

//
// CaptureFreezeRequest - checks the request and copies what it names.
//
// Returns STATUS_SUCCESS with *Valid FALSE for a request the agent got
// wrong (missing fields, limits out of range or overflowing their units, a
// name too long), or the status of a bad address; the strings captured
// are freed on every failure.
//
static NTSTATUS CaptureFreezeRequest(const QvdFreezeRequest* Request, FreezeParameters* Parameters,
                                     PBOOLEAN Valid) {
    RtlZeroMemory(Parameters, sizeof(*Parameters));
    *Valid = FALSE;
    if (Request->VolumeName == 0 || Request->PartialDataFilePath == 0 ||
        Request->SnapshotMutex == 0 || Request->MaxQuiesceMs == 0 || Request->QuietPeriodMs == 0 ||
        Request->WarnFreeKB < Request->MinFreeKB ||
        Request->MaxQuiesceMs > (ULONGLONG)LLONG_MAX / 10000 ||
        Request->QuietPeriodMs > (ULONGLONG)LLONG_MAX / 10000 ||
        Request->WarnFreeKB > ULLONG_MAX / 1024) {
        return STATUS_SUCCESS;
    }
    Parameters->SnapshotMutex = (HANDLE)(ULONG_PTR)Request->SnapshotMutex;
    Parameters->FreezeFlags = Request->FreezeFlags;
    Parameters->MaxQuiesceMs = Request->MaxQuiesceMs;
    Parameters->QuietPeriodMs = Request->QuietPeriodMs;
    Parameters->WarnFreeKB = Request->WarnFreeKB;
    Parameters->MinFreeKB = Request->MinFreeKB;

    NTSTATUS status =
        CaptureUserString(Request->VolumeName, FREEZE_NAME_MAX_CHARS, &Parameters->VolumeName);
    if (NT_SUCCESS(status)) {
        status = CaptureUserString(Request->PartialDataFilePath, FREEZE_NAME_MAX_CHARS,
                                   &Parameters->PartialDataFilePath);
    }
    if (NT_SUCCESS(status) && Request->ChangeStorePath != 0) {
        status = CaptureUserString(Request->ChangeStorePath, FREEZE_NAME_MAX_CHARS,
                                   &Parameters->ChangeStorePath);
    }
    if (status == STATUS_NAME_TOO_LONG) {
        status = STATUS_SUCCESS;
    } else if (NT_SUCCESS(status)) {
        PCWSTR path = Parameters->PartialDataFilePath;
        *Valid = path[0] != 0 && path[1] == u':' && Parameters->VolumeName[0] != 0;
    }
    if (!*Valid) {
        FreeParameters(Parameters);
    }
    return status;
}

//
// EndRunningSnapshot - ends whatever snapshot the volume has before a new
// one replaces it: a quiescing freeze is aborted and waited for, a frozen
// volume thawed, a watchdog stopped and its block freed. Returns ThawCore's
// result, or 0. Resource held exclusively on entry and on return; on
// return no slot is busy and the volume is idle without a FreezeTimer.
//
static ULONG EndRunningSnapshot(FilterExtension* Volume) {
    ULONG result = 0;
    for (;;) {
        WaitForChangeStoreSlots(Volume);
        UCHAR flags = ReadVolumeFlags(Volume);
        if ((flags & VOLUME_QUIESCING) != 0) {
            AbortQuiescing(Volume);
            continue;
        }
        if (Volume->FreezeTimer != NULL) {
            StopFreezeWatchdog(Volume);
            if ((ReadVolumeFlags(Volume) & VOLUME_FROZEN) != 0) {
                result = ThawCore(Volume);
            }
            FreeFreezeTimer(Volume);
            continue;
        }
        if ((flags & VOLUME_FROZEN) != 0) {
            result = ThawCore(Volume);
            continue;
        }
        return result;
    }
}

static FreezeTimer* AllocateFreezeTimer(FilterExtension* Volume) {
    FreezeTimer* timer =
        (FreezeTimer*)ExAllocatePoolWithTag(NonPagedPool, sizeof(FreezeTimer), QVD_TAG_FREEZE_TIMER);
    if (timer == NULL) {
        return NULL;
    }
    RtlZeroMemory(timer, sizeof(*timer));
    timer->Work.Routine = FreezeWatchdog;
    timer->Work.Context = Volume;
    KeInitializeEvent(&timer->Idle, NotificationEvent, TRUE);
    KeInitializeTimer(&timer->Timer);
    KeInitializeDpc(&timer->Dpc, FreezeWatchdogDpc, Volume->Self);
    Volume->FreezeTimer = timer;
    return timer;
}

// Copies the store's name, without "\DosDevices\", into the reply:
// at most 255 characters and a terminator right after them.
static VOID CopyChangeStoreName(struct _ChangeStore* Store, QvdFreezeRequest* Request) {
    PCUNICODE_STRING name = Store->Name;
    ULONG chars = name != NULL ? name->Length / sizeof(WCHAR) : 0;
    chars = chars > DOS_DEVICES_PREFIX_CHARS ? chars - DOS_DEVICES_PREFIX_CHARS : 0;
    if (chars > QVD_CHANGE_STORE_NAME_CHARS - 1) {
        chars = QVD_CHANGE_STORE_NAME_CHARS - 1;
    }
    if (chars != 0) {
        memcpy(Request->PreviousChangeStoreName, name->Buffer + DOS_DEVICES_PREFIX_CHARS,
               chars * sizeof(WCHAR));
    }
    Request->PreviousChangeStoreName[chars] = 0;
}

//
// FinishFailedQuiescing - the volume did not become quiet: its snapshot
// goes, and the writes its store saw are merged into the previous store so
// that nothing logged is lost. Resource held exclusively on entry and on
// return.
//
static VOID FinishFailedQuiescing(FilterExtension* Volume) {
    SnapshotContext* snapshot = Volume->SnapshotContext;
    struct _ChangeStore* store = snapshot->ChangeStore;
    snapshot->ChangeStore = NULL;
    SetSnapshotOwner(Volume, NULL);
    ChangeVolumeFlags(Volume, 0, VOLUME_OWNER_RECORDED);
    TearDownSnapshot(Volume);
    FreeFreezeTimer(Volume);
    CheckFreezeState(Volume);
    if (store == NULL) {
        return;
    }
    struct _ChangeStore* previous = Volume->PreviousChangeStore;
    MarkChangeStoreSlotBusy(Volume, store);
    if (previous != NULL) {
        MarkChangeStoreSlotBusy(Volume, previous);
    }
    ReleaseVolumeLock(Volume, PsGetCurrentThread());
    ChangeStoreDrain(store);
    if (previous != NULL && !ChangeStoreMerge(store, previous)) {
        // The previous store no longer holds every write since its freeze.
        ChangeStoreFail(previous);
    }
    ChangeStoreClose(store);
    AcquireVolumeLock(Volume, TRUE);
    MarkChangeStoreSlotIdle(Volume, store);
    if (previous != NULL) {
        MarkChangeStoreSlotIdle(Volume, previous);
    }
}

//
// ReportPreviousChangeStore - after a successful freeze: the store kept
// since the last snapshot is drained, named to the agent (with
// ChangeStoreIncomplete when it missed writes) and closed. Resource held
// exclusively on entry and on return.
//
static VOID ReportPreviousChangeStore(FilterExtension* Volume, QvdFreezeRequest* Request) {
    struct _ChangeStore* previous = Volume->PreviousChangeStore;
    if (previous == NULL) {
        return;
    }
    // From now on writes go to the new snapshot's store only.
    Volume->PreviousChangeStore = NULL;
    MarkChangeStoreSlotBusy(Volume, previous);
    ReleaseVolumeLock(Volume, PsGetCurrentThread());
    ChangeStoreDrain(previous);
    CopyChangeStoreName(previous, Request);
    Request->FreezeFlags = ChangeStoreHasFailed(previous) ? QVD_FREEZE_CHANGE_STORE_INCOMPLETE : 0;
    ChangeStoreClose(previous);
    AcquireVolumeLock(Volume, TRUE);
    MarkChangeStoreSlotIdle(Volume, previous);
}

//
// FreezeLockedVolume - steps of the freeze that run with the volume's
// resource held exclusively (given up only as described above). Returns
// the Result; sets VolumeHandle.
//
static ULONG FreezeLockedVolume(FilterExtension* Volume, const FreezeParameters* Parameters,
                                QvdFreezeRequest* Request) {
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    WaitForChangeStoreSlots(Volume);
    if (Volume->Departed) {
        Request->VolumeHandle = 0;
        return QVD_RESULT_INVALID;
    }
    UCHAR flags = ReadVolumeFlags(Volume);
    BOOLEAN running = (flags & (VOLUME_QUIESCING | VOLUME_FROZEN)) != 0;
    if (running && (Parameters->FreezeFlags & QVD_FREEZE_REPLACE_FREEZE) == 0) {
        return QVD_RESULT_ALREADY_FROZEN;
    }
    EndRunningSnapshot(Volume);
    if (Volume->SnapshotMutex != NULL) {
        ObfDereferenceObject(Volume->SnapshotMutex);
        Volume->SnapshotMutex = NULL;
    }

    Request->VolumeHandle = 0;
    if (AllocateFreezeTimer(Volume) == NULL) {
        return QVD_RESULT_NO_MEMORY;
    }
    ULONG result = 0;
    if (Volume->SectorSize == 0) {
        DISK_GEOMETRY geometry = {};
        NTSTATUS status = QueryDiskGeometry(Volume->LowerDevice, &geometry);
        if (!NT_SUCCESS(status)) {
            LogEvent(QVD_MSG_GEOMETRY_FAILED, "Sx", Parameters->VolumeName, status);
            result = (ULONG)status;
        } else {
            Volume->SectorSize = geometry.BytesPerSector;
        }
    }
    if (result == 0) {
        result = SetUpSnapshot(Volume, Parameters);
    }
    if (result == 0) {
        PVOID stream = NULL;
        if (!NT_SUCCESS(CheckNtfsStream(Volume, &stream))) {
            result = QVD_RESULT_NTFS_CHECK_FAILED;
            SnapshotContext* snapshot = Volume->SnapshotContext;
            if (snapshot->ChangeStore != NULL) {
                ChangeStoreClose(snapshot->ChangeStore);
                snapshot->ChangeStore = NULL;
            }
            TearDownSnapshot(Volume);
        } else {
            Volume->SnapshotContext->NtfsStream = stream;
        }
    }
    if (result != 0) {
        FreeFreezeTimer(Volume);
        return result;
    }

    KIRQL irql = KfAcquireSpinLock(&Volume->StateLock);
    Volume->StayBroken = (Parameters->FreezeFlags & QVD_FREEZE_STAY_BROKEN) != 0;
    KfReleaseSpinLock(&Volume->StateLock, irql);
    SetSnapshotOwner(Volume, PsGetCurrentThread());
    ChangeVolumeFlags(Volume, VOLUME_OWNER_RECORDED, 0);
    SetFrozenStateBroken(Volume, FALSE);

    if (!QuiesceLoop(Volume)) {
        Request->PreviousChangeStoreName[0] = 0;
        FinishFailedQuiescing(Volume);
        return QVD_RESULT_FREEZE_FAILED;
    }
    ArmFreezeTimer(Volume);
    CheckFreezeState(Volume);
    Request->VolumeHandle = Volume->VolumeHandle;
    Request->PreviousChangeStoreName[0] = 0;
    ReportPreviousChangeStore(Volume, Request);
    return 0;
}

NTSTATUS FreezeVolume(PVOID Buffer, ULONG InputLength, ULONG OutputLength, PULONG_PTR Information) {
    PAGED_CODE();
    *Information = 0;
    if (Buffer == NULL || InputLength < sizeof(QvdFreezeRequest) ||
        OutputLength < sizeof(QvdFreezeRequest)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    // The partial data file and the change store are created with the
    // driver's rights at paths the caller names, and the frozen image shows
    // every file's data: only a caller who may read the whole volume freezes.
    if (!CallerMayReadVolumes()) {
        return STATUS_ACCESS_DENIED;
    }
    QvdFreezeRequest* request = (QvdFreezeRequest*)Buffer;
    FreezeParameters parameters;
    BOOLEAN valid = FALSE;
    NTSTATUS status = CaptureFreezeRequest(request, &parameters, &valid);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Information = sizeof(*request);
    if (!valid) {
        request->VolumeHandle = 0;
        request->Result = QVD_RESULT_INVALID;
        return STATUS_SUCCESS;
    }

    BOOLEAN readOnly = FALSE;
    PDEVICE_OBJECT device = FindFilterDeviceByName(parameters.VolumeName, &readOnly);
    if (device == NULL) {
        request->VolumeHandle = 0;
        request->Result = readOnly ? QVD_RESULT_READ_ONLY_VOLUME : QVD_RESULT_INVALID;
    } else {
        FilterExtension* volume = (FilterExtension*)device->DeviceExtension;
        AcquireVolumeLock(volume, TRUE);
        request->Result = FreezeLockedVolume(volume, &parameters, request);
        ReleaseVolumeLock(volume, PsGetCurrentThread());
        ReleaseFilterDevice(volume);
    }
    FreeParameters(&parameters);
    return STATUS_SUCCESS;
}
