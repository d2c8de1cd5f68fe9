// reclaim_thread.cpp - the driver's one system thread that drops the
// preserved blocks the agent has read past, and gives their space in the
// partial data file back for reuse.
//
// Kernel mode, PASSIVE_LEVEL, in the System process. Woken by every accepted
// progress report; a wake-up during a pass causes one more pass. Per block it
// takes FlushLock exclusively (no flush is writing), then the block's bucket
// exclusively, then MapLock inside ReleaseFileSpace. It yields a volume as
// soon as a snapshot change waits for VolumeResource exclusively.
#include "io/copy_on_write.h"

ReclaimState ReclaimGlobals;

// Desired access of the thread handle: THREAD_ALL_ACCESS.
#define RECLAIM_THREAD_ACCESS 0x1F03FFu
// How long StopReclaimThread waits for the thread, and how often it looks.
#define RECLAIM_STOP_POLLS 3000
#define RECLAIM_STOP_POLL_100NS (-100000LL)

static BOOLEAN StopRequested(VOID) {
    return ReadAcquire(&ReclaimGlobals.Stop) != 0;
}

static BOOLEAN ThreadRunning(VOID) {
    return ReadAcquire(&ReclaimGlobals.Running) != 0;
}

VOID ReclaimBlocks(FilterExtension* Volume, ULONGLONG Limit) {
    SnapshotContext* snapshot = Volume->SnapshotContext;
    KeWaitForSingleObject(snapshot->MapLock, Executive, KernelMode, FALSE, NULL);
    ULONGLONG start = snapshot->LowestBlock;
    KeSetEvent(snapshot->MapLock, IO_NO_INCREMENT, FALSE);

    ERESOURCE_THREAD self = ExGetCurrentResourceThread();
    ULONGLONG block = start;
    for (; block < Limit; block++) {
        if (ExGetExclusiveWaiterCount(&Volume->VolumeResource) != 0 || StopRequested()) {
            break;
        }
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(snapshot->FlushLock, TRUE);
        KeLeaveCriticalRegion();

        ULONG_PTR lockHandle = 0;
        HashBucket* bucket =
            HashTableLookupAndLock(snapshot->ExtentTable, &block, TRUE, NULL, &lockHandle);
        ExtentEntry** link = (ExtentEntry**)&bucket->Chain;
        while (*link != NULL && (*link)->FirstSector != block << EXTENT_BLOCK_SHIFT) {
            link = &(*link)->Next;
        }
        ExtentEntry* entry = *link;
        if (entry != NULL) {
            while (entry->Pieces != NULL) {
                ExtentPiece* piece = entry->Pieces;
                entry->Pieces = piece->Next;
                if (piece->Data != NULL) {
                    // Its flush is still queued: it frees the piece unwritten.
                    piece->Next = EXTENT_PIECE_ORPHAN;
                    InterlockedDecrement(&snapshot->UnflushedPieces);
                } else {
                    ReleaseFileSpace(Volume, snapshot, piece);
                }
            }
            *link = entry->Next;
            FreeExtentEntry(entry);
        }
        HashTableUnlockBucket(snapshot->ExtentTable, bucket, lockHandle);
        ExReleaseResourceForThreadLite(snapshot->FlushLock, self);
    }

    // A preserving write that lowered LowestBlock meanwhile keeps its value.
    KeWaitForSingleObject(snapshot->MapLock, Executive, KernelMode, FALSE, NULL);
    if (snapshot->LowestBlock == start) {
        snapshot->LowestBlock = block;
    }
    KeSetEvent(snapshot->MapLock, IO_NO_INCREMENT, FALSE);
}

//
// ReclaimVolume - one volume's share of a pass. Caller holds the volume's
// RemoveLock. IRQL: PASSIVE_LEVEL.
//
static VOID ReclaimVolume(FilterExtension* Volume) {
    AcquireVolumeLock(Volume, FALSE);
    if ((ReadVolumeFlags(Volume) & (VOLUME_OWNER_RECORDED | VOLUME_FROZEN)) ==
        (VOLUME_OWNER_RECORDED | VOLUME_FROZEN)) {
        SnapshotContext* snapshot = Volume->SnapshotContext;
        LockSnapshot(snapshot);
        ULONGLONG limit = snapshot->ProgressMark >> EXTENT_BLOCK_SHIFT;
        UnlockSnapshot(snapshot);
        ReclaimBlocks(Volume, limit);
    }
    ReleaseVolumeLock(Volume, PsGetCurrentThread());
}

VOID ReclaimPass(VOID) {
    FilterDeviceList* list =
        (FilterDeviceList*)IoGetDriverObjectExtension(DriverGlobals.DriverObject, (PVOID)AddDevice);
    if (list == NULL) {
        return;
    }
    // Each volume is visited holding its RemoveLock, so removal waits for the
    // visit; a volume so held stays on the list, whose link leads on.
    FilterExtension* current = NULL;
    while (!StopRequested()) {
        KeWaitForSingleObject(&list->ListLock, Executive, KernelMode, FALSE, NULL);
        PLIST_ENTRY link = current != NULL ? current->ListLink.Flink : list->FilterDevices.Flink;
        FilterExtension* next = NULL;
        for (; link != &list->FilterDevices && next == NULL; link = link->Flink) {
            FilterExtension* candidate = CONTAINING_RECORD(link, FilterExtension, ListLink);
            if (candidate->Tag == FILTER_TAG_VOLUME &&
                NT_SUCCESS(IoAcquireRemoveLock(&candidate->RemoveLock, &ReclaimGlobals))) {
                next = candidate;
            }
        }
        KeReleaseSemaphore(&list->ListLock, IO_NO_INCREMENT, 1, FALSE);
        if (current != NULL) {
            IoReleaseRemoveLock(&current->RemoveLock, &ReclaimGlobals);
        }
        current = next;
        if (current == NULL) {
            return;
        }
        ReclaimVolume(current);
    }
    if (current != NULL) {
        IoReleaseRemoveLock(&current->RemoveLock, &ReclaimGlobals);
    }
}

//
// ReclaimThread - waits for work or a stop; runs a pass per wake-up.
// IRQL: PASSIVE_LEVEL.
//
static VOID NTAPI ReclaimThread(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PVOID objects[2] = {&ReclaimGlobals.Work, &ReclaimGlobals.StopEvent};
    for (;;) {
        NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode,
                                                   FALSE, NULL, NULL);
        if (status == STATUS_WAIT_1) {
            InterlockedExchange(&ReclaimGlobals.Running, 0);
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
        KeClearEvent(&ReclaimGlobals.Work);
        ReclaimPass();
    }
}

BOOLEAN StartReclaimThread(VOID) {
    if (ThreadRunning()) {
        return TRUE;
    }
    InterlockedExchange(&ReclaimGlobals.Stop, 0);
    KeInitializeEvent(&ReclaimGlobals.Work, NotificationEvent, FALSE);
    KeInitializeEvent(&ReclaimGlobals.StopEvent, NotificationEvent, FALSE);
    // Running is set before the thread can end and clear it.
    InterlockedExchange(&ReclaimGlobals.Running, 1);
    HANDLE thread = NULL;
    NTSTATUS status =
        PsCreateSystemThread(&thread, RECLAIM_THREAD_ACCESS, NULL, NULL, NULL, ReclaimThread, NULL);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&ReclaimGlobals.Running, 0);
        return FALSE;
    }
    // Nothing uses the handle later.
    ZwClose(thread);
    return TRUE;
}

VOID StopReclaimThread(VOID) {
    if (!ThreadRunning()) {
        return;
    }
    InterlockedExchange(&ReclaimGlobals.Stop, 1);
    KeSetEvent(&ReclaimGlobals.StopEvent, IO_NO_INCREMENT, FALSE);
    for (ULONG poll = 0; poll < RECLAIM_STOP_POLLS && ThreadRunning(); poll++) {
        LARGE_INTEGER delay;
        delay.QuadPart = RECLAIM_STOP_POLL_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
}

VOID WakeReclaimThread(VOID) {
    KeSetEvent(&ReclaimGlobals.Work, IO_NO_INCREMENT, FALSE);
}
