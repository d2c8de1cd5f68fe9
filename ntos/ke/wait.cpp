// ke/wait.cpp - waits on dispatcher objects.
//
// A wait links one wait block per object into the objects' wait lists and
// sleeps. Whoever makes an object signalled runs KiWaitTest under the
// dispatcher lock, which satisfies the waits that can now be satisfied (a
// WaitAll only when every object is signalled for that thread, so it takes all
// or nothing) and wakes their threads. Normal kernel APCs interrupt a wait at
// PASSIVE_LEVEL outside critical regions; they run and the wait goes on.
//
// While the machine powers off, a thread's current or next wait (or delay)
// unwinds its stack instead, as PsTerminateSystemThread does, once per
// thread: waits made by its termination handlers on the way out proceed as
// usual. Polls at DISPATCH_LEVEL are left alone, since a thread holding a
// spin lock cannot be unwound.
#include "ntos/ke/ki.h"
#include "ntos/ps/psp.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/lock_order.h"
#include "nt/seh.h"

LIST_ENTRY KiWaitingThreads = {&KiWaitingThreads, &KiWaitingThreads};
BOOLEAN KiPowerOffUnderway = FALSE;

BOOLEAN KiIsSignaledFor(PDISPATCHER_HEADER Object, PKTHREAD Thread) {
    if (Object->Type == MutantObject) {
        PKMUTANT mutant = reinterpret_cast<PKMUTANT>(Object);
        return Object->SignalState > 0 || mutant->OwnerThread == Thread;
    }
    return Object->SignalState > 0;
}

namespace {

// Consumes Object for Thread; returns TRUE when it hands over an abandoned mutant.
BOOLEAN KipSatisfy(PDISPATCHER_HEADER Object, PKTHREAD Thread) {
    switch (Object->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        Object->SignalState = 0;
        return FALSE;
    case SemaphoreObject:
        Object->SignalState -= 1;
        return FALSE;
    case MutantObject: {
        PKMUTANT mutant = reinterpret_cast<PKMUTANT>(Object);
        Object->SignalState -= 1;
        if (Object->SignalState != 0) {
            return FALSE; // a recursive acquisition by the owner
        }
        mutant->OwnerThread = Thread;
        KiInsertTailList(&Thread->MutantListHead, &mutant->MutantListEntry);
        Thread->KernelApcDisable += mutant->ApcDisable;
        BOOLEAN abandoned = mutant->Abandoned;
        mutant->Abandoned = FALSE;
        return abandoned;
    }
    default:
        return FALSE; // notification objects stay signalled
    }
}

// Unlinks every wait block of Thread's wait from the object wait lists.
void KipUnlinkWaitBlocks(PKTHREAD Thread) {
    PKWAIT_BLOCK block = Thread->WaitBlockList;
    for (ULONG i = 0; i < Thread->WaitCount; ++i) {
        KiRemoveEntryList(&block->WaitListEntry);
        block = block->NextWaitBlock;
    }
    Thread->WaitCount = 0;
}

// An owner acquires its mutant again by counting SignalState further below
// zero; past MINLONG the count would wrap to signalled, so the acquisition
// raises instead. Raised before anything is consumed, with the dispatcher
// lock given back by the caller's unwinding.
void KipCheckMutantLimit(PDISPATCHER_HEADER Object, PKTHREAD Thread) {
    if (Object->Type == MutantObject &&
        reinterpret_cast<PKMUTANT>(Object)->OwnerThread == Thread &&
        Object->SignalState == MINLONG) {
        ExRaiseStatus(STATUS_MUTANT_LIMIT_EXCEEDED);
    }
}

// Tries to satisfy Thread's wait on Object[0..Count) now.
NTSTATUS KipTrySatisfy(PKTHREAD Thread, ULONG Count, PDISPATCHER_HEADER* Object,
                       WAIT_TYPE WaitType) {
    if (WaitType == WaitAny) {
        for (ULONG i = 0; i < Count; ++i) {
            if (KiIsSignaledFor(Object[i], Thread)) {
                KipCheckMutantLimit(Object[i], Thread);
                BOOLEAN abandoned = KipSatisfy(Object[i], Thread);
                return (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) +
                       static_cast<NTSTATUS>(i);
            }
        }
        return KI_WAIT_PENDING;
    }
    for (ULONG i = 0; i < Count; ++i) {
        if (!KiIsSignaledFor(Object[i], Thread)) {
            return KI_WAIT_PENDING;
        }
    }
    for (ULONG i = 0; i < Count; ++i) {
        KipCheckMutantLimit(Object[i], Thread);
    }
    BOOLEAN abandoned = FALSE;
    for (ULONG i = 0; i < Count; ++i) {
        abandoned |= KipSatisfy(Object[i], Thread);
    }
    return abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
}

// TRUE when the power-off must unwind Thread now; dispatcher lock.
bool KipMustUnwindForPowerOff(PKTHREAD Thread) {
    return KiPowerOffUnderway && !Thread->IsInitialThread && !Thread->KernelWorker &&
           !Thread->PowerOffUnwound && Thread->Irql <= APC_LEVEL;
}

// Unwinds the current thread when the power-off asks for it; takes the
// dispatcher lock from the caller (held) and gives it up before unwinding.
void KipUnwindIfPoweringOff(PKTHREAD Thread, std::unique_lock<std::mutex>& Lock) {
    if (KipMustUnwindForPowerOff(Thread)) {
        Thread->PowerOffUnwound = TRUE;
        Lock.unlock();
        PspUnwindThreadForPowerOff();
    }
}

} // namespace

void KiBeginPowerOff() {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    KiPowerOffUnderway = TRUE;
    for (PLIST_ENTRY e = KiWaitingThreads.Flink; e != &KiWaitingThreads; e = e->Flink) {
        CONTAINING_RECORD(e, KTHREAD, WaitingListEntry)->WaitCv.notify_one();
    }
}

void KiEndWait(PKTHREAD Thread, NTSTATUS Status) {
    KipUnlinkWaitBlocks(Thread);
    KiRemoveTimeout(Thread);
    Thread->WaitStatus = Status;
    Thread->WaitCv.notify_one();
}

void KiWaitTest(PDISPATCHER_HEADER Object) {
    bool progress = true;
    while (progress && Object->SignalState > 0) {
        progress = false;
        for (PLIST_ENTRY e = Object->WaitListHead.Flink; e != &Object->WaitListHead; e = e->Flink) {
            PKWAIT_BLOCK block = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
            PKTHREAD thread = block->Thread;
            NTSTATUS status;
            if (block->WaitType == WaitAny) {
                BOOLEAN abandoned = KipSatisfy(Object, thread);
                status = (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + block->WaitKey;
            } else {
                bool all = true;
                PKWAIT_BLOCK b = block;
                do {
                    all =
                        all && KiIsSignaledFor(static_cast<PDISPATCHER_HEADER>(b->Object), thread);
                    b = b->NextWaitBlock;
                } while (b != block);
                if (!all) {
                    continue;
                }
                BOOLEAN abandoned = FALSE;
                do {
                    abandoned |= KipSatisfy(static_cast<PDISPATCHER_HEADER>(b->Object), thread);
                    b = b->NextWaitBlock;
                } while (b != block);
                status = abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
            }
            KiEndWait(thread, status);
            progress = true;
            break; // the list changed; start over
        }
    }
}

namespace {

// A wait that follows a Wait TRUE call gives back the IRQL that call raised.
void KipEndWaitNext(PKTHREAD Thread) {
    if (Thread->WaitNext) {
        Thread->WaitNext = FALSE;
        KiSetIrql(Thread, Thread->WaitNextIrql);
        KiRunHeldDpcs(Thread);
    }
}

NTSTATUS KipWait(ULONG Count, PDISPATCHER_HEADER* Object, WAIT_TYPE WaitType, BOOLEAN Alertable,
                 PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray, NTSTATUS TimeoutStatus,
                 const void* Caller) {
    PKTHREAD thread = KiCurrentThread(Caller);
    KipEndWaitNext(thread);
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (thread->Irql > DISPATCH_LEVEL || (thread->Irql == DISPATCH_LEVEL && !poll)) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL,
                   "wait with a non-zero time-out at DISPATCH_LEVEL or above", Caller,
                   thread->Irql);
    }
    const bool timed = Timeout != nullptr && !poll;
    const LONGLONG due = timed ? KiAbsoluteDueTime(Timeout->QuadPart) : 0;

    for (;;) {
        std::unique_lock<std::mutex> lock(KiDispatcherLock);
        // Special APCs may run even inside a critical region; KiDeliverApcs
        // decides which of the pending ones run.
        const bool apcEligible = thread->Irql == PASSIVE_LEVEL;
        if (thread->Irql == PASSIVE_LEVEL &&
            thread->ApcPendingHint.load(std::memory_order_acquire)) {
            lock.unlock();
            KiDeliverApcs(thread);
            lock.lock();
        }
        KipUnwindIfPoweringOff(thread, lock);
        // An object already signalled satisfies the wait and leaves a pending
        // alert for a later alertable wait.
        NTSTATUS status = KipTrySatisfy(thread, Count, Object, WaitType);
        if (status != KI_WAIT_PENDING) {
            return status;
        }
        if (Alertable && thread->Alerted) {
            thread->Alerted = FALSE;
            return STATUS_ALERTED;
        }
        if (poll || (timed && due <= KiQuerySystemTime())) {
            return TimeoutStatus;
        }

        PKWAIT_BLOCK blocks = WaitBlockArray != nullptr ? WaitBlockArray : thread->WaitBlock;
        for (ULONG i = 0; i < Count; ++i) {
            PKWAIT_BLOCK block = &blocks[i];
            block->Thread = thread;
            block->Object = Object[i];
            block->WaitKey = static_cast<USHORT>(i);
            block->WaitType = static_cast<USHORT>(WaitType);
            block->NextWaitBlock = &blocks[(i + 1) % (Count == 0 ? 1 : Count)];
            KiInsertTailList(&Object[i]->WaitListHead, &block->WaitListEntry);
        }
        thread->WaitBlockList = blocks;
        thread->WaitCount = Count;
        thread->WaitStatus = KI_WAIT_PENDING;
        thread->WaitTimeoutStatus = TimeoutStatus;
        thread->WaitAlertable = Alertable;
        thread->WaitApcEligible = apcEligible;
        thread->ApcWake = FALSE;
        thread->Waiting = TRUE;
        KiInsertTailList(&KiWaitingThreads, &thread->WaitingListEntry);
        if (timed) {
            KiInsertTimeout(thread, due);
        }
        thread->WaitCv.wait(lock, [thread] {
            return thread->WaitStatus != KI_WAIT_PENDING || thread->ApcWake ||
                   (thread->WaitAlertable && thread->Alerted) || KipMustUnwindForPowerOff(thread);
        });
        thread->Waiting = FALSE;
        KiRemoveEntryList(&thread->WaitingListEntry);
        status = thread->WaitStatus;
        if (status != KI_WAIT_PENDING) {
            return status;
        }
        KipUnlinkWaitBlocks(thread);
        KiRemoveTimeout(thread);
        thread->ApcWake = FALSE;
        // Woken for an alert, an APC or the power-off: the loop handles each,
        // then waits again.
    }
}

// A kernel mutex: owned, so its acquisitions are ordered. Mutants of user
// mode are not the kernel's locks.
bool KipIsKernelMutex(PDISPATCHER_HEADER Object) {
    return Object->Type == MutantObject && reinterpret_cast<PKMUTANT>(Object)->ApcDisable != 0;
}

// Checks the order of the kernel mutexes a wait is sure to take, before it
// may block: every object of a WaitAll, the one object of a single wait. A
// poll never blocks.
void KipCheckMutexOrder(PKTHREAD Thread, ULONG Count, PDISPATCHER_HEADER* Object,
                        WAIT_TYPE WaitType, PLARGE_INTEGER Timeout, const void* Caller) {
    if ((Timeout != nullptr && Timeout->QuadPart == 0) || (Count > 1 && WaitType != WaitAll)) {
        return;
    }
    for (ULONG i = 0; i < Count; ++i) {
        if (KipIsKernelMutex(Object[i])) {
            VfLockOrderCheck(Thread, Object[i], VfLockKind::Mutex, Caller);
        }
    }
}

// Records the kernel mutexes a wait that ended with Status acquired.
void KipRecordMutexHolds(PKTHREAD Thread, ULONG Count, PDISPATCHER_HEADER* Object,
                         WAIT_TYPE WaitType, NTSTATUS Status, const void* Caller) {
    ULONG first = 0;
    ULONG end = Count;
    if (Status >= STATUS_WAIT_0 && Status < STATUS_WAIT_0 + static_cast<NTSTATUS>(Count)) {
        first = static_cast<ULONG>(Status - STATUS_WAIT_0);
    } else if (Status >= STATUS_ABANDONED_WAIT_0 &&
               Status < STATUS_ABANDONED_WAIT_0 + static_cast<NTSTATUS>(Count)) {
        first = static_cast<ULONG>(Status - STATUS_ABANDONED_WAIT_0);
    } else {
        return; // a time-out, an alert or an APC: nothing acquired
    }
    if (WaitType == WaitAny) {
        end = first + 1;
    }
    for (ULONG i = first; i < end; ++i) {
        if (KipIsKernelMutex(Object[i])) {
            VfLockHeld(Thread, Object[i], VfLockKind::Mutex, Caller);
        }
    }
}

// A wait whose kernel mutexes are ordered and recorded.
NTSTATUS KipWaitRecorded(ULONG Count, PDISPATCHER_HEADER* Object, WAIT_TYPE WaitType,
                         BOOLEAN Alertable, PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray,
                         const void* Caller) {
    KiJitter();
    PKTHREAD thread = KiCurrentThread(Caller);
    KipCheckMutexOrder(thread, Count, Object, WaitType, Timeout, Caller);
    NTSTATUS status =
        KipWait(Count, Object, WaitType, Alertable, Timeout, WaitBlockArray, STATUS_TIMEOUT, Caller);
    KipRecordMutexHolds(thread, Count, Object, WaitType, status, Caller);
    return status;
}

} // namespace

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    PDISPATCHER_HEADER object = static_cast<PDISPATCHER_HEADER>(Object);
    return KipWaitRecorded(1, &object, WaitAny, Alertable, Timeout, nullptr, VF_CALLER());
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "wait for more than MAXIMUM_WAIT_OBJECTS objects or none", VF_CALLER(), Count);
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "wait for more than THREAD_WAIT_OBJECTS objects without a wait block array",
                   VF_CALLER(), Count);
    }
    if (WaitType != WaitAll && WaitType != WaitAny) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "wait with an unknown wait type",
                   VF_CALLER(), WaitType);
    }
    PDISPATCHER_HEADER objects[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) {
        objects[i] = static_cast<PDISPATCHER_HEADER>(Object[i]);
    }
    return KipWaitRecorded(Count, objects, WaitType, Alertable, Timeout, WaitBlockArray,
                           VF_CALLER());
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    if (Interval == nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "delay without an interval", VF_CALLER());
    }
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    KipEndWaitNext(thread);
    if (thread->Irql > APC_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "delay above APC_LEVEL", VF_CALLER(), thread->Irql);
    }
    if (Interval->QuadPart == 0) {
        std::unique_lock<std::mutex> lock(KiDispatcherLock);
        KipUnwindIfPoweringOff(thread, lock);
        return STATUS_SUCCESS;
    }
    return KipWait(0, nullptr, WaitAny, Alertable, Interval, nullptr, STATUS_SUCCESS, VF_CALLER());
}

BOOLEAN KeAlertThread(PKTHREAD Thread, KPROCESSOR_MODE AlertMode) {
    if (AlertMode != KernelMode) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "user-mode alerts are not emulated",
                   VF_CALLER());
    }
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    BOOLEAN was = Thread->Alerted;
    Thread->Alerted = TRUE;
    if (Thread->Waiting && Thread->WaitAlertable) {
        Thread->WaitCv.notify_one();
    }
    return was;
}

void KiHoldDispatcherForWait(PKTHREAD Thread, const void* Caller) {
    if (Thread->WaitNext) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL,
                   "Wait TRUE call while an earlier one still holds the dispatcher for a wait",
                   Caller, Thread->Irql);
    }
    if (Thread->Irql > APC_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "Wait TRUE call above APC_LEVEL (it must wait next)",
                   Caller, Thread->Irql);
    }
    Thread->WaitNext = TRUE;
    Thread->WaitNextIrql = Thread->Irql;
    KiSetIrql(Thread, DISPATCH_LEVEL);
}

void KiCheckNoWaitNext(PKTHREAD Thread, const void* Caller) {
    if (Thread->WaitNext) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL,
                   "IRQL changed between a Wait TRUE call and the wait that must follow it",
                   Caller, Thread->Irql);
    }
}
