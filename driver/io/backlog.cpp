// backlog.cpp - the budget of preserved data that waits in memory for its
// flush to the partial data file, shared by every frozen volume.
//
// Kernel mode. Writers reserve and wait at PASSIVE_LEVEL or APC_LEVEL (paging
// writes), holding VolumeResource shared and no bucket; flushes give room
// back from queue 1. No flush ever waits for a writer: flushes take
// VolumeResource without queueing behind exclusive waiters, FlushLock is
// held exclusively only by reclaim and teardown, which wait for no writer,
// and a writer holds no bucket while it waits. So every wait here ends.
#include "io/copy_on_write.h"
#include "support/pool_tags.h"

BacklogState BacklogGlobals;

VOID InitBacklog(VOID) {
    RtlZeroMemory(&BacklogGlobals, sizeof(BacklogGlobals));
    KeInitializeSpinLock(&BacklogGlobals.Lock);
    KeInitializeEvent(&BacklogGlobals.Room, NotificationEvent, TRUE);
    switch (MmQuerySystemSize()) {
    case MmSmallSystem:
        BacklogGlobals.Budget = BACKLOG_BUDGET_SMALL;
        break;
    case MmMediumSystem:
        BacklogGlobals.Budget = BACKLOG_BUDGET_MEDIUM;
        break;
    default:
        BacklogGlobals.Budget = BACKLOG_BUDGET_LARGE;
        break;
    }
}

BOOLEAN ReserveBacklog(FilterExtension* Volume, ULONG Bytes, BOOLEAN Bounded) {
    LARGE_INTEGER deadline;
    KeQuerySystemTime(&deadline);
    deadline.QuadPart -= BACKLOG_PAGING_WAIT;
    for (;;) {
        KIRQL irql = KfAcquireSpinLock(&BacklogGlobals.Lock);
        LONGLONG committed = BacklogGlobals.Committed;
        if (committed == 0 || committed + Bytes <= BacklogGlobals.Budget) {
            BacklogGlobals.Committed = committed + Bytes;
            KfReleaseSpinLock(&BacklogGlobals.Lock, irql);
            return TRUE;
        }
        // Cleared under the lock that every change of Committed takes, and
        // before the broken bit is read: a return or a break after this
        // point sets Room again, so the wait below cannot miss it.
        KeClearEvent(&BacklogGlobals.Room);
        KfReleaseSpinLock(&BacklogGlobals.Lock, irql);
        if (IsFrozenStateBroken(Volume)) {
            return FALSE;
        }
        NTSTATUS wait = KeWaitForSingleObject(&BacklogGlobals.Room, Executive, KernelMode, FALSE,
                                              Bounded ? &deadline : NULL);
        if (wait == STATUS_TIMEOUT) {
            ChargeBacklog(Bytes);
            return TRUE;
        }
    }
}

VOID ChargeBacklog(ULONG Bytes) {
    KIRQL irql = KfAcquireSpinLock(&BacklogGlobals.Lock);
    BacklogGlobals.Committed += Bytes;
    KfReleaseSpinLock(&BacklogGlobals.Lock, irql);
}

VOID ReturnBacklog(ULONG Bytes) {
    KIRQL irql = KfAcquireSpinLock(&BacklogGlobals.Lock);
    BacklogGlobals.Committed -= Bytes;
    KeSetEvent(&BacklogGlobals.Room, IO_NO_INCREMENT, FALSE);
    KfReleaseSpinLock(&BacklogGlobals.Lock, irql);
}

VOID WakeBacklogWaiters(VOID) {
    KIRQL irql = KfAcquireSpinLock(&BacklogGlobals.Lock);
    KeSetEvent(&BacklogGlobals.Room, IO_NO_INCREMENT, FALSE);
    KfReleaseSpinLock(&BacklogGlobals.Lock, irql);
}

VOID FreePreservedData(FilterExtension* Volume, ExtentPiece* Piece) {
    ExFreePoolWithTag(Piece->Data, QVD_TAG_PRESERVED_DATA);
    Piece->Data = NULL;
    ReturnBacklog((ULONG)Piece->SectorCount * Volume->SectorSize);
}
