// freeze_watchdog.cpp - the 60-second watchdog that ends a snapshot whose
// agent has died (its mutex was abandoned).
//
// Kernel mode. The timer's DPC runs at DISPATCH_LEVEL and only queues the
// watchdog's work item; the watchdog itself runs at PASSIVE_LEVEL on work
// queue 0 and never waits. A thread that must stop the watchdog waits for
// its Idle event only after giving the volume's resource up, since the
// watchdog needs the resource.
//
// Idle is set exactly while the watchdog is neither armed nor queued nor
// running: arming clears it; a successful cancel, and a watchdog run that
// does not arm again, set it.
#include "snapshot/snapshot.h"

VOID ArmFreezeTimer(FilterExtension* Volume) {
    FreezeTimer* timer = Volume->FreezeTimer;
    KeClearEvent(&timer->Idle);
    LARGE_INTEGER due;
    due.QuadPart = FREEZE_WATCHDOG_PERIOD;
    KeSetTimer(&timer->Timer, due, &timer->Dpc);
}

VOID RestartFreezeTimer(FilterExtension* Volume) {
    FreezeTimer* timer = Volume->FreezeTimer;
    if (timer != NULL && (ReadVolumeFlags(Volume) & VOLUME_FROZEN) != 0 &&
        KeCancelTimer(&timer->Timer)) {
        ArmFreezeTimer(Volume);
    }
}

VOID NTAPI FreezeWatchdogDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                             PVOID SystemArgument2) {
    FreezeTimer* timer = CONTAINING_RECORD(Dpc, FreezeTimer, Dpc);
    QueueWorkItem(&timer->Work, WORK_KIND_GENERAL);
}

// TRUE when the thread that owned the agent's mutex ended without
// releasing it.
static BOOLEAN SnapshotMutexAbandoned(FilterExtension* Volume) {
    PKMUTANT mutant = (PKMUTANT)Volume->SnapshotMutex;
    return mutant != NULL && mutant->Abandoned;
}

VOID NTAPI FreezeWatchdog(PVOID Context) {
    PAGED_CODE();
    FilterExtension* volume = (FilterExtension*)Context;
    AcquireVolumeLock(volume, FALSE);
    FreezeTimer* timer = volume->FreezeTimer;
    BOOLEAN frozen = (ReadVolumeFlags(volume) & VOLUME_FROZEN) != 0;
    if (frozen && SnapshotMutexAbandoned(volume)) {
        ReleaseVolumeLock(volume, PsGetCurrentThread());
        AcquireVolumeLock(volume, TRUE);
        // Whoever took the resource in between may have ended the snapshot
        // already; the timer stays until that party or the next end frees it.
        if ((ReadVolumeFlags(volume) & VOLUME_FROZEN) != 0) {
            ThawCore(volume);
        }
        KeSetEvent(&timer->Idle, IO_NO_INCREMENT, FALSE);
        ReleaseVolumeLock(volume, PsGetCurrentThread());
        return;
    }
    if (frozen && !timer->Stop) {
        ArmFreezeTimer(volume);
    } else {
        KeSetEvent(&timer->Idle, IO_NO_INCREMENT, FALSE);
    }
    ReleaseVolumeLock(volume, PsGetCurrentThread());
}

VOID StopFreezeWatchdog(FilterExtension* Volume) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    FreezeTimer* timer = Volume->FreezeTimer;
    if (KeCancelTimer(&timer->Timer)) {
        KeSetEvent(&timer->Idle, IO_NO_INCREMENT, FALSE);
        return;
    }
    // The period ran out: the watchdog is queued or running (or was never
    // armed, and Idle is set). Let it finish without arming again.
    timer->Stop = TRUE;
    timer->Waiters++;
    ReleaseVolumeLock(Volume, PsGetCurrentThread());
    KeWaitForSingleObject(&timer->Idle, Executive, KernelMode, FALSE, NULL);
    AcquireVolumeLock(Volume, TRUE);
    timer->Waiters--;
    if (Volume->FreezeTimer == timer) {
        timer->Stop = FALSE;
    } else if (timer->Waiters == 0) {
        // Another party ended the snapshot meanwhile and left the block to
        // the last thread that still waited on it.
        ExFreePool(timer);
    }
}

VOID FreeFreezeTimer(FilterExtension* Volume) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    FreezeTimer* timer = Volume->FreezeTimer;
    if (timer == NULL) {
        return;
    }
    Volume->FreezeTimer = NULL;
    if (timer->Waiters == 0) {
        ExFreePool(timer);
    }
}
