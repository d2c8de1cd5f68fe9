// volume_state.cpp - the volume lock, the snapshot lock and the broken bit.
//
// Kernel mode; each routine names its IRQL in volume_state.h.
#include "io/volume_state.h"
#include "resources/messages.h"

VOID AcquireVolumeLock(FilterExtension* Volume, BOOLEAN Exclusive) {
    // A resource is taken with normal kernel APCs off; the hold itself
    // outlives the critical region.
    KeEnterCriticalRegion();
    if (Exclusive) {
        ExAcquireResourceExclusiveLite(&Volume->VolumeResource, TRUE);
    } else {
        ExAcquireResourceSharedLite(&Volume->VolumeResource, TRUE);
    }
    KeLeaveCriticalRegion();
}

VOID ReleaseVolumeLock(FilterExtension* Volume, ERESOURCE_THREAD Owner) {
    ExReleaseResourceForThreadLite(&Volume->VolumeResource, Owner);
}

VOID LockSnapshot(SnapshotContext* Snapshot) {
    KeWaitForSingleObject(Snapshot->SnapshotLock, Executive, KernelMode, FALSE, NULL);
}

VOID UnlockSnapshot(SnapshotContext* Snapshot) {
    KeSetEvent(Snapshot->SnapshotLock, IO_NO_INCREMENT, FALSE);
}

BOOLEAN SetFrozenStateBroken(FilterExtension* Volume, BOOLEAN Broken) {
    KIRQL irql;
    KeAcquireSpinLock(&Volume->StateLock, &irql);
    BOOLEAN previous = (Volume->VolumeFlags & VOLUME_FROZEN_STATE_BROKEN) != 0;
    if (Broken) {
        Volume->VolumeFlags |= VOLUME_FROZEN_STATE_BROKEN;
    } else {
        Volume->VolumeFlags &= (UCHAR)~VOLUME_FROZEN_STATE_BROKEN;
    }
    KeReleaseSpinLock(&Volume->StateLock, irql);
    if (Broken && !previous) {
        LogEvent(QVD_MSG_FROZEN_STATE_LOST, NULL);
    }
    return previous;
}

BOOLEAN IsFrozenStateBroken(FilterExtension* Volume) {
    KIRQL irql;
    KeAcquireSpinLock(&Volume->StateLock, &irql);
    BOOLEAN broken = (Volume->VolumeFlags & VOLUME_FROZEN_STATE_BROKEN) != 0;
    KeReleaseSpinLock(&Volume->StateLock, irql);
    return broken;
}
