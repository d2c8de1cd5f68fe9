// io/remlock.cpp - remove locks: a count of the acquisitions that keep a
// device in service, which removal drains before it deletes the device.
//
// Kernel mode. Acquire and release at IRQL <= DISPATCH_LEVEL; initialise and
// release-and-wait at PASSIVE_LEVEL. The emulation behaves as the platform's
// checking build: acquisitions are tracked by tag, and a release that no
// acquisition accounts for bug-checks instead of corrupting the count.
#include "ntos/io/iop.h"
#include "ntos/verifier/bugcheck.h"

namespace {

// DRIVER_VERIFIER_DETECTED_VIOLATION first parameters of remove lock rules.
constexpr ULONG_PTR kRemoveLockNotInitialised = 0xD0;
constexpr ULONG_PTR kRemoveLockTagNotHeld = 0xD1;
constexpr ULONG_PTR kRemoveLockOverWatermark = 0xD2;
constexpr ULONG_PTR kRemoveLockRemovedTwice = 0xD3;

void IopCheckRemoveLock(PIO_REMOVE_LOCK Lock, KIRQL MaxIrql, const char* Rule,
                        const void* Caller) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > MaxIrql) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, Rule, Caller, reinterpret_cast<ULONG_PTR>(Lock), irql);
    }
    if (Lock->Dbg.Signature != IO_REMOVE_LOCK_SIGNATURE) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "remove lock used without IoInitializeRemoveLock", Caller,
                   kRemoveLockNotInitialised, reinterpret_cast<ULONG_PTR>(Lock));
    }
}

// Records one acquisition under Tag. Caller holds Lock->Dbg.Spin.
void IopTrackTag(PIO_REMOVE_LOCK Lock, PVOID Tag) {
    ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    IO_REMOVE_LOCK_TAG_BLOCK* free = nullptr;
    for (IO_REMOVE_LOCK_TAG_BLOCK& block : Lock->Dbg.Tags) {
        if (block.Count > 0 && block.Tag == Tag) {
            block.Count++;
            return;
        }
        if (block.Count == 0 && free == nullptr) {
            free = &block;
        }
    }
    if (free == nullptr) {
        Lock->Dbg.UntrackedCount++;
        return;
    }
    free->Tag = Tag;
    free->Count = 1;
}

// Takes back one acquisition recorded under Tag, or else one that went
// untracked; FALSE when neither accounts for it. Caller holds Lock->Dbg.Spin.
BOOLEAN IopUntrackTag(PIO_REMOVE_LOCK Lock, PVOID Tag) {
    ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    for (IO_REMOVE_LOCK_TAG_BLOCK& block : Lock->Dbg.Tags) {
        if (block.Count > 0 && block.Tag == Tag) {
            block.Count--;
            return TRUE;
        }
    }
    if (Lock->Dbg.UntrackedCount > 0) {
        Lock->Dbg.UntrackedCount--;
        return TRUE;
    }
    return FALSE;
}

// Gives back the acquisition of Tag; returns the count left. Caller holds
// Lock->Dbg.Spin.
LONG IopDropAcquisition(PIO_REMOVE_LOCK Lock, PVOID Tag, const void* Caller) {
    ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    if (!IopUntrackTag(Lock, Tag)) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "remove lock released with a tag that holds no acquisition", Caller,
                   kRemoveLockTagNotHeld, reinterpret_cast<ULONG_PTR>(Lock),
                   reinterpret_cast<ULONG_PTR>(Tag));
    }
    return --Lock->Common.IoCount;
}

} // namespace

VOID NTAPI IoInitializeRemoveLock(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                  ULONG HighWatermark) {
    (void)MaxLockedMinutes;
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoInitializeRemoveLock above PASSIVE_LEVEL",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Lock), irql);
    }
    RtlZeroMemory(Lock, sizeof(*Lock));
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    Lock->Dbg.Signature = IO_REMOVE_LOCK_SIGNATURE;
    Lock->Dbg.HighWatermark = HighWatermark;
    Lock->Dbg.AllocateTag = AllocateTag;
    KeInitializeSpinLock(&Lock->Dbg.Spin);
}

NTSTATUS NTAPI IoAcquireRemoveLock(PIO_REMOVE_LOCK RemoveLock, PVOID Tag) {
    IopCheckRemoveLock(RemoveLock, DISPATCH_LEVEL, "IoAcquireRemoveLock above DISPATCH_LEVEL",
                       VF_CALLER());
    KIRQL irql = KfAcquireSpinLock(&RemoveLock->Dbg.Spin);
    if (RemoveLock->Common.Removed) {
        KfReleaseSpinLock(&RemoveLock->Dbg.Spin, irql);
        return STATUS_DELETE_PENDING;
    }
    LONG held = ++RemoveLock->Common.IoCount - 1; // not counting the lock's own
    if (RemoveLock->Dbg.HighWatermark != 0 && ULONG(held) > RemoveLock->Dbg.HighWatermark) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "remove lock acquired more often at once than its high watermark allows",
                   VF_CALLER(), kRemoveLockOverWatermark, reinterpret_cast<ULONG_PTR>(RemoveLock),
                   ULONG_PTR(held));
    }
    IopTrackTag(RemoveLock, Tag);
    KfReleaseSpinLock(&RemoveLock->Dbg.Spin, irql);
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLock(PIO_REMOVE_LOCK RemoveLock, PVOID Tag) {
    IopCheckRemoveLock(RemoveLock, DISPATCH_LEVEL, "IoReleaseRemoveLock above DISPATCH_LEVEL",
                       VF_CALLER());
    KIRQL irql = KfAcquireSpinLock(&RemoveLock->Dbg.Spin);
    LONG left = IopDropAcquisition(RemoveLock, Tag, VF_CALLER());
    KfReleaseSpinLock(&RemoveLock->Dbg.Spin, irql);
    // Only removal gives back the lock's own acquisition, so the count
    // reaches 0 only once removal waits for it.
    if (left == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID NTAPI IoReleaseRemoveLockAndWait(PIO_REMOVE_LOCK RemoveLock, PVOID Tag) {
    IopCheckRemoveLock(RemoveLock, PASSIVE_LEVEL,
                       "IoReleaseRemoveLockAndWait above PASSIVE_LEVEL", VF_CALLER());
    KIRQL irql = KfAcquireSpinLock(&RemoveLock->Dbg.Spin);
    if (RemoveLock->Common.Removed) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "IoReleaseRemoveLockAndWait called twice on one remove lock", VF_CALLER(),
                   kRemoveLockRemovedTwice, reinterpret_cast<ULONG_PTR>(RemoveLock));
    }
    RemoveLock->Common.Removed = TRUE;
    IopDropAcquisition(RemoveLock, Tag, VF_CALLER());
    LONG left = --RemoveLock->Common.IoCount; // the lock's own acquisition
    KfReleaseSpinLock(&RemoveLock->Dbg.Spin, irql);
    if (left > 0) {
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE,
                              nullptr);
    }
}
