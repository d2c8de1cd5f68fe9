// volume_state.cpp - the volume's flags, its broken state and snapshot
// owner, and the two locks every part of the I/O path takes.
//
// Kernel mode. StateLock is innermost: it is held only for the few
// instructions that read or change VolumeFlags, SnapshotOwner or StayBroken,
// and nothing is called under it.
#include "io/copy_on_write.h"
#include "io/io.h"
#include "resources/messages.h"
#include "snapshot/snapshot.h"

UCHAR ReadVolumeFlags(FilterExtension* Volume) {
    KIRQL irql = KfAcquireSpinLock(&Volume->StateLock);
    UCHAR flags = Volume->VolumeFlags;
    KfReleaseSpinLock(&Volume->StateLock, irql);
    return flags;
}

UCHAR ChangeVolumeFlags(FilterExtension* Volume, UCHAR Set, UCHAR Clear) {
    KIRQL irql = KfAcquireSpinLock(&Volume->StateLock);
    UCHAR flags = Volume->VolumeFlags;
    Volume->VolumeFlags = (UCHAR)((flags & ~Clear) | Set);
    KfReleaseSpinLock(&Volume->StateLock, irql);
    return flags;
}

// Sets or clears the broken bit under StateLock. SpaceOnly: the break's
// cause is low free space alone (a break for any other cause, now or
// earlier in the same break, is not). Logs the change from clear to set.
static BOOLEAN ChangeBrokenState(FilterExtension* Volume, BOOLEAN Broken, BOOLEAN SpaceOnly) {
    KIRQL irql = KfAcquireSpinLock(&Volume->StateLock);
    BOOLEAN wasBroken = (Volume->VolumeFlags & VOLUME_FROZEN_STATE_BROKEN) != 0;
    if (Broken) {
        Volume->VolumeFlags |= VOLUME_FROZEN_STATE_BROKEN;
        Volume->BrokenForSpaceOnly = SpaceOnly && (!wasBroken || Volume->BrokenForSpaceOnly);
    } else {
        Volume->VolumeFlags &= (UCHAR)~VOLUME_FROZEN_STATE_BROKEN;
        Volume->BrokenForSpaceOnly = FALSE;
    }
    KfReleaseSpinLock(&Volume->StateLock, irql);
    if (Broken && !wasBroken) {
        LogEvent(QVD_MSG_FROZEN_STATE_LOST, "");
    }
    if (Broken) {
        // Writers waiting for backlog room on this volume give up.
        WakeBacklogWaiters();
    }
    return wasBroken;
}

BOOLEAN SetFrozenStateBroken(FilterExtension* Volume, BOOLEAN Broken) {
    return ChangeBrokenState(Volume, Broken, FALSE);
}

VOID BreakForLackOfSpace(FilterExtension* Volume) {
    ChangeBrokenState(Volume, TRUE, TRUE);
}

BOOLEAN MendSpaceBreak(FilterExtension* Volume) {
    KIRQL irql = KfAcquireSpinLock(&Volume->StateLock);
    BOOLEAN mend = (Volume->VolumeFlags & VOLUME_FROZEN_STATE_BROKEN) != 0 &&
                   Volume->BrokenForSpaceOnly && !Volume->StayBroken;
    if (mend) {
        Volume->VolumeFlags &= (UCHAR)~VOLUME_FROZEN_STATE_BROKEN;
        Volume->BrokenForSpaceOnly = FALSE;
    }
    KfReleaseSpinLock(&Volume->StateLock, irql);
    return mend;
}

BOOLEAN IsFrozenStateBroken(FilterExtension* Volume) {
    return (ReadVolumeFlags(Volume) & VOLUME_FROZEN_STATE_BROKEN) != 0;
}

VOID SetSnapshotOwner(FilterExtension* Volume, PETHREAD Owner) {
    if (Owner != NULL) {
        ObfReferenceObject(Owner);
    }
    KIRQL irql = KfAcquireSpinLock(&Volume->StateLock);
    PETHREAD old = Volume->SnapshotOwner;
    Volume->SnapshotOwner = Owner;
    KfReleaseSpinLock(&Volume->StateLock, irql);
    if (old != NULL) {
        ObfDereferenceObject(old);
    }
}

VOID AcquireVolumeLock(FilterExtension* Volume, BOOLEAN Exclusive) {
    // The platform wants normal kernel APCs off while a resource is taken;
    // the hold itself may outlive the region (a write that keeps it until
    // its completion gives it back from another thread).
    KeEnterCriticalRegion();
    if (Exclusive) {
        ExAcquireResourceExclusiveLite(&Volume->VolumeResource, TRUE);
    } else {
        ExAcquireResourceSharedLite(&Volume->VolumeResource, TRUE);
    }
    KeLeaveCriticalRegion();
}

VOID ReleaseVolumeLock(FilterExtension* Volume, PETHREAD Owner) {
    ExReleaseResourceForThreadLite(&Volume->VolumeResource, (ERESOURCE_THREAD)Owner);
}

VOID LockSnapshot(SnapshotContext* Snapshot) {
    KeWaitForSingleObject(Snapshot->SnapshotLock, Executive, KernelMode, FALSE, NULL);
}

VOID UnlockSnapshot(SnapshotContext* Snapshot) {
    KeSetEvent(Snapshot->SnapshotLock, IO_NO_INCREMENT, FALSE);
}

struct _ChangeStore* PreviousChangeStoreOf(FilterExtension* Volume) {
    KIRQL irql = KfAcquireSpinLock(&Volume->StateLock);
    struct _ChangeStore* store = Volume->PreviousChangeStore;
    KfReleaseSpinLock(&Volume->StateLock, irql);
    return store;
}

VOID SetPreviousChangeStore(FilterExtension* Volume, struct _ChangeStore* Store) {
    KIRQL irql = KfAcquireSpinLock(&Volume->StateLock);
    Volume->PreviousChangeStore = Store;
    KfReleaseSpinLock(&Volume->StateLock, irql);
}
