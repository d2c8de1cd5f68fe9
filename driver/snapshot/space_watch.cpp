// space_watch.cpp - the watch on the free space of the volume that holds
// the partial data file: a frozen image whose preserved data could not be
// stored any more is reported broken before the agent reads changed data.
//
// Kernel mode. SpaceWatch runs in the I/O path (up to APC_LEVEL) and only
// compares figures and queues a query; the query itself (SpaceQueryWork)
// runs at PASSIVE_LEVEL on work queue 0. The snapshot lock guards the
// figures, the pending mark and SnapshotStatus.
#include "snapshot/snapshot.h"

// Queues the volume's free-space query unless it is already queued; the
// queued item holds the remove lock (tag: the item) until it has run.
static VOID QueueSpaceQuery(FilterExtension* Volume) {
    KIRQL irql = KfAcquireSpinLock(&Volume->StateLock);
    BOOLEAN queue = !Volume->SpaceQueryQueued;
    Volume->SpaceQueryQueued = TRUE;
    KfReleaseSpinLock(&Volume->StateLock, irql);
    if (!queue) {
        return;
    }
    if (!NT_SUCCESS(IoAcquireRemoveLock(&Volume->RemoveLock, &Volume->SpaceQueryItem))) {
        irql = KfAcquireSpinLock(&Volume->StateLock);
        Volume->SpaceQueryQueued = FALSE;
        KfReleaseSpinLock(&Volume->StateLock, irql);
        return;
    }
    QueueWorkItem(&Volume->SpaceQueryItem, WORK_KIND_GENERAL);
}

BOOLEAN SpaceWatch(FilterExtension* Volume) {
    SnapshotContext* snapshot = Volume->SnapshotContext;
    LockSnapshot(snapshot);
    if (!snapshot->SpaceQueryPending) {
        snapshot->SpaceQueryPending = TRUE;
        QueueSpaceQuery(Volume);
    }
    if (snapshot->SpaceFiguresValid && snapshot->SpaceFigures.BytesPerAllocationUnit != 0) {
        ULONGLONG available = (ULONGLONG)snapshot->SpaceFigures.AvailableAllocationUnits;
        ULONGLONG unit = snapshot->SpaceFigures.BytesPerAllocationUnit;
        ULONGLONG minimum = snapshot->MinFreeKB * 1024 / unit;
        ULONGLONG warning = snapshot->WarnFreeKB * 1024 / unit;
        if (available < minimum) {
            // Out of space: preserved data could not be stored. Every drop
            // below the limit breaks the state, also after a recovery.
            snapshot->SnapshotStatus |= QVD_STATUS_OUT_OF_SPACE;
            BreakForLackOfSpace(Volume);
        } else {
            MendSpaceBreak(Volume);
        }
        if (available < warning) {
            snapshot->SnapshotStatus |= QVD_STATUS_LOW_SPACE;
        } else {
            snapshot->SnapshotStatus &= ~QVD_STATUS_LOW_SPACE;
        }
    }
    BOOLEAN intact = !IsFrozenStateBroken(Volume);
    UnlockSnapshot(snapshot);
    return intact;
}

// The free space of the partial data file's volume, asked in the System
// process (the handle is the System process's). Returns 0 or -1.
static LONG QuerySpaceFigures(SnapshotContext* Snapshot, VolumeSizeInfo* Figures) {
    if (Figures == NULL) {
        return -1;
    }
    BOOLEAN there = AttachToSystemProcess();
    LONG result = QueryVolumeSize(Snapshot->SpaceVolumeHandle, Figures);
    if (!there) {
        DetachFromSystemProcess();
    }
    return result;
}

VOID NTAPI SpaceQueryWork(PVOID Context) {
    PAGED_CODE();
    FilterExtension* volume = (FilterExtension*)Context;
    // From here on the item may be queued again.
    KIRQL irql = KfAcquireSpinLock(&volume->StateLock);
    volume->SpaceQueryQueued = FALSE;
    KfReleaseSpinLock(&volume->StateLock, irql);

    AcquireVolumeLock(volume, FALSE);
    SnapshotContext* snapshot = volume->SnapshotContext;
    if (snapshot != NULL && (ReadVolumeFlags(volume) & (VOLUME_QUIESCING | VOLUME_FROZEN)) != 0) {
        VolumeSizeInfo figures = {};
        LONG result = QuerySpaceFigures(snapshot, &figures);
        LockSnapshot(snapshot);
        if (result == 0) {
            snapshot->SpaceFigures = figures;
            snapshot->SpaceFiguresValid = TRUE;
        } else {
            snapshot->SpaceFiguresValid = FALSE;
            SetFrozenStateBroken(volume, TRUE);
        }
        snapshot->SpaceQueryPending = FALSE;
        UnlockSnapshot(snapshot);
    }
    ReleaseVolumeLock(volume, PsGetCurrentThread());
    IoReleaseRemoveLock(&volume->RemoveLock, &volume->SpaceQueryItem);
}
