// freeze_lifecycle.cpp - the volume's way from idle through quiescing into
// the frozen state and back: the quiescing wait, the end of a snapshot, and
// the check that the state's parts agree.
//
// Kernel mode, PASSIVE_LEVEL. State changes happen with VolumeResource held
// exclusively; the I/O path reads the flags under StateLock. The states and
// their transitions are written down in docs/freeze-states.md.
#include "snapshot/snapshot.h"

#include "support/block_cache.h"
#include "support/change_store.h"
#include "support/pool_tags.h"

// How long a thread that waits for a quiescing freeze to finish sleeps
// between looks (100 ns units, relative).
#define QUIESCE_END_POLL (-500000LL)

VOID CheckFreezeState(FilterExtension* Volume) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    UCHAR flags = ReadVolumeFlags(Volume);
    SnapshotContext* snapshot = Volume->SnapshotContext;
    BOOLEAN quiescing = (flags & VOLUME_QUIESCING) != 0;
    BOOLEAN frozen = (flags & VOLUME_FROZEN) != 0;

    ASSERT(!(quiescing && frozen));
    if (quiescing || frozen) {
        ASSERT((flags & VOLUME_OWNER_RECORDED) != 0);
        ASSERT(snapshot != NULL);
        ASSERT(Volume->SnapshotOwner != NULL);
        ASSERT(Volume->FreezeTimer != NULL);
        ASSERT(Volume->SnapshotMutex != NULL);
        ASSERT(quiescing == (snapshot->ActivityTable != NULL));
        ASSERT(snapshot->ChangeStore == NULL || snapshot->ChangeStore != Volume->PreviousChangeStore);
    } else {
        ASSERT((flags & (VOLUME_OWNER_RECORDED | VOLUME_EXTENT_LIST)) == 0);
        ASSERT(Volume->SnapshotOwner == NULL);
    }
    if ((flags & VOLUME_EXTENT_LIST) != 0) {
        ASSERT(frozen);
    }
}

BOOLEAN AllQuiet(FilterExtension* Volume, SnapshotContext* Snapshot, LONGLONG Now) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    HashTable* table = Snapshot->ActivityTable;
    LONGLONG quietPeriod = (LONGLONG)Snapshot->QuietPeriodMs * 10000;
    ULONG buckets = HashTableBucketCount(table);
    for (ULONG i = 0; i < buckets; i++) {
        HashBucket* bucket = HashTableBucketAt(table, i);
        ULONG_PTR lockHandle = 0;
        HashTableLockBucket(table, bucket, TRUE, NULL, &lockHandle);
        BOOLEAN quiet = TRUE;
        if ((bucket->BucketWord & ACTIVITY_BUCKET_QUIET) == 0) {
            for (ActivityEntry* entry = (ActivityEntry*)bucket->Chain; entry != NULL;
                 entry = entry->Next) {
                if ((entry->Flags & ACTIVITY_QUIET) != 0) {
                    continue;
                }
                if (Now - entry->LastWrite < quietPeriod) {
                    quiet = FALSE;
                    break;
                }
                entry->Flags |= ACTIVITY_QUIET;
            }
            if (quiet) {
                bucket->BucketWord |= ACTIVITY_BUCKET_QUIET;
            }
        }
        HashTableUnlockBucket(table, bucket, lockHandle);
        if (!quiet) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOLEAN QuiesceLoop(FilterExtension* Volume) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    SnapshotContext* snapshot = Volume->SnapshotContext;
    PKTIMER deadline =
        (PKTIMER)ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), QVD_TAG_TIMER);
    if (deadline == NULL) {
        return FALSE;
    }
    KeInitializeTimer(deadline);

    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    ChangeVolumeFlags(Volume, VOLUME_QUIESCING, VOLUME_FROZEN | VOLUME_QUIESCE_ABORTED);
    CheckFreezeState(Volume);
    ReleaseVolumeLock(Volume, PsGetCurrentThread());

    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)snapshot->MaxQuiesceMs * 10000;
    KeSetTimer(deadline, due, NULL);
    LONGLONG quietPeriod = (LONGLONG)snapshot->QuietPeriodMs * 10000;
    BOOLEAN frozen = FALSE;
    for (;;) {
        AcquireVolumeLock(Volume, TRUE);
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        if (IsFrozenStateBroken(Volume)) {
            ChangeVolumeFlags(Volume, VOLUME_QUIESCE_ABORTED, 0);
        }
        if ((ReadVolumeFlags(Volume) & VOLUME_QUIESCE_ABORTED) != 0) {
            break;
        }
        if (now.QuadPart - start.QuadPart >= quietPeriod &&
            AllQuiet(Volume, snapshot, now.QuadPart)) {
            frozen = TRUE;
            break;
        }
        if (KeReadStateTimer(deadline)) {
            break;
        }
        ReleaseVolumeLock(Volume, PsGetCurrentThread());
        LARGE_INTEGER poll;
        poll.QuadPart = QUIESCE_POLL_INTERVAL;
        KeDelayExecutionThread(KernelMode, TRUE, &poll);
    }

    // The decision and the end of quiescing happen under the one exclusive
    // hold: no request sees the volume between the two states.
    DestroyActivityTable(snapshot);
    ChangeVolumeFlags(Volume, frozen ? VOLUME_FROZEN : 0, VOLUME_QUIESCING);
    KeCancelTimer(deadline);
    ExFreePool(deadline);
    return frozen;
}

ULONG ThawCore(FilterExtension* Volume) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    UCHAR flags = ReadVolumeFlags(Volume);
    if ((flags & (VOLUME_QUIESCING | VOLUME_FROZEN)) == 0) {
        return QVD_RESULT_INVALID;
    }
    ChangeVolumeFlags(Volume, 0,
                      VOLUME_QUIESCING | VOLUME_FROZEN | VOLUME_OWNER_RECORDED |
                          VOLUME_EXTENT_LIST);
    SetSnapshotOwner(Volume, NULL);
    SetFrozenStateBroken(Volume, FALSE);

    SnapshotContext* snapshot = Volume->SnapshotContext;
    if (snapshot != NULL) {
        // The snapshot's store goes on logging writes until the next freeze
        // reports it to the agent.
        SetPreviousChangeStore(Volume, snapshot->ChangeStore);
        snapshot->ChangeStore = NULL;
    }
    TearDownSnapshot(Volume);
    ExemptFileClear(PASS_THROUGH_FILE_LIST);
    CheckFreezeState(Volume);
    return 0;
}

VOID AbortQuiescing(FilterExtension* Volume) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    while ((ReadVolumeFlags(Volume) & VOLUME_QUIESCING) != 0) {
        // The freeze that runs the quiescing sees this at its next poll,
        // fails and takes its snapshot down itself.
        ChangeVolumeFlags(Volume, VOLUME_QUIESCE_ABORTED, 0);
        ReleaseVolumeLock(Volume, PsGetCurrentThread());
        LARGE_INTEGER poll;
        poll.QuadPart = QUIESCE_END_POLL;
        KeDelayExecutionThread(KernelMode, FALSE, &poll);
        AcquireVolumeLock(Volume, TRUE);
    }
}

// Slot index of Store in the FilterExtension.
static ULONG ChangeStoreSlotBit(FilterExtension* Volume, struct _ChangeStore* Store) {
    return Store == &Volume->ChangeStores[0] ? 0x1u : 0x2u;
}

VOID MarkChangeStoreSlotBusy(FilterExtension* Volume, struct _ChangeStore* Store) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    Volume->ChangeStoreBusy |= (UCHAR)ChangeStoreSlotBit(Volume, Store);
    KeClearEvent(&Volume->ChangeStoresIdle);
}

VOID MarkChangeStoreSlotIdle(FilterExtension* Volume, struct _ChangeStore* Store) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    Volume->ChangeStoreBusy &= (UCHAR)~ChangeStoreSlotBit(Volume, Store);
    if (Volume->ChangeStoreBusy == 0) {
        KeSetEvent(&Volume->ChangeStoresIdle, IO_NO_INCREMENT, FALSE);
    }
}

VOID WaitForChangeStoreSlots(FilterExtension* Volume) {
    PAGED_CODE();
    ASSERT(ExIsResourceAcquiredExclusiveLite(&Volume->VolumeResource));
    while (Volume->ChangeStoreBusy != 0) {
        ReleaseVolumeLock(Volume, PsGetCurrentThread());
        KeWaitForSingleObject(&Volume->ChangeStoresIdle, Executive, KernelMode, FALSE, NULL);
        AcquireVolumeLock(Volume, TRUE);
    }
}

ULONG EndSnapshot(FilterExtension* Volume, BOOLEAN CloseStores) {
    PAGED_CODE();
    AcquireVolumeLock(Volume, TRUE);
    if (CloseStores) {
        // The volume is going away: no new snapshot may start on it.
        Volume->Departed = TRUE;
    }
    // A quiescing freeze ends itself; once it has, the volume is idle or
    // (a freeze that won the race) frozen.
    ULONG result = QVD_RESULT_INVALID;
    if ((ReadVolumeFlags(Volume) & VOLUME_QUIESCING) != 0) {
        AbortQuiescing(Volume);
        result = 0;
    }
    if (Volume->FreezeTimer != NULL) {
        StopFreezeWatchdog(Volume);
    }
    if ((ReadVolumeFlags(Volume) & (VOLUME_QUIESCING | VOLUME_FROZEN)) != 0) {
        result = ThawCore(Volume);
    } else if (Volume->FreezeTimer != NULL) {
        // The watchdog already ended the snapshot (its agent died).
        result = 0;
    }
    FreeFreezeTimer(Volume);

    if (CloseStores) {
        WaitForChangeStoreSlots(Volume);
        SetPreviousChangeStore(Volume, NULL);
        for (ULONG slot = 0; slot < 2; slot++) {
            struct _ChangeStore* store = &Volume->ChangeStores[slot];
            if (!ChangeStoreIsOpen(store)) {
                continue;
            }
            MarkChangeStoreSlotBusy(Volume, store);
            ReleaseVolumeLock(Volume, PsGetCurrentThread());
            ChangeStoreDrain(store);
            ChangeStoreClose(store);
            AcquireVolumeLock(Volume, TRUE);
            MarkChangeStoreSlotIdle(Volume, store);
        }
    }
    ReleaseVolumeLock(Volume, PsGetCurrentThread());
    return result;
}

BOOLEAN ChangeStoreIsOpen(struct _ChangeStore* Store) {
    // Created and closed only with VolumeResource held exclusively (or the
    // slot marked busy), so the file handle tells.
    return Store->File != NULL;
}

BOOLEAN ChangeStoreHasFailed(struct _ChangeStore* Store) {
    KIRQL irql = KfAcquireSpinLock(&Store->SpinLock);
    BOOLEAN failed = (Store->Flags & CHANGE_STORE_FAILED) != 0;
    KfReleaseSpinLock(&Store->SpinLock, irql);
    return failed;
}
