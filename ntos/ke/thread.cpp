// ke/thread.cpp - the kernel side of threads: the current thread, thread
// initialisation and rundown, process attachment, priorities and the
// previous mode.
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/lock_order.h"

std::mutex KiDispatcherLock;

namespace {
thread_local PKTHREAD KipCurrentThread = nullptr;
}

PKTHREAD KiCurrentThread(const void* Caller) {
    PKTHREAD thread = KipCurrentThread;
    if (thread == nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "kernel routine called from a thread the kernel does not know", Caller);
    }
    return thread;
}

PKTHREAD KiCurrentThreadOrNull() {
    return KipCurrentThread;
}

void KiSetCurrentThread(PKTHREAD Thread) {
    KipCurrentThread = Thread;
}

PKTHREAD KeGetCurrentThread(VOID) {
    return KiCurrentThread(VF_CALLER());
}

void KiInitializeDispatcherHeader(PDISPATCHER_HEADER Header, UCHAR Type, ULONG Size,
                                  LONG SignalState) {
    Header->Type = Type;
    Header->Absolute = 0;
    Header->Size = static_cast<UCHAR>(Size / sizeof(LONG));
    Header->Inserted = 0;
    Header->SignalState = SignalState;
    KiInitializeListHead(&Header->WaitListHead);
}

void KiInitializeProcess(PKPROCESS Process) {
    KiInitializeDispatcherHeader(&Process->Header, ProcessObject, sizeof(KPROCESS), 0);
}

void KiInitializeThread(PKTHREAD Thread, PKPROCESS Process) {
    KiInitializeDispatcherHeader(&Thread->Header, ThreadObject, sizeof(DISPATCHER_HEADER), 0);
    Thread->Process = Process;
    Thread->ApcStateProcess = Process;
    Thread->AttachState = KI_NOT_ATTACHED;
    Thread->Irql = PASSIVE_LEVEL;
    Thread->KernelApcDisable = 0;
    Thread->Processor = KiAssignProcessor();
    Thread->AssignedProcessor = Thread->Processor;
    KiInitializeListHead(&Thread->HeldDpcs);
    Thread->Priority = 8;
    KiInitializeListHead(&Thread->ApcListHead);
    Thread->ApcQueueable = TRUE;
    KiInitializeListHead(&Thread->MutantListHead);
    KiInitializeListHead(&Thread->TimeoutListEntry);
    KiInitializeListHead(&Thread->WaitingListEntry);
    Thread->WaitStatus = STATUS_SUCCESS;
    Thread->PreviousMode = KernelMode;
}

void KiSignalProcess(PKPROCESS Process) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    Process->Header.SignalState = 1;
    KiWaitTest(&Process->Header);
}

namespace {

// A thread unwound for power-off may have been stopped anywhere a wait is
// allowed: inside a critical region, attached, or holding a fast mutex at
// APC_LEVEL. Its termination handlers have released what they could; the
// rest is put back to a thread's resting state.
void KipResetForPowerOff(PKTHREAD Thread) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    Thread->Irql = PASSIVE_LEVEL;
    Thread->WaitNext = FALSE;
    Thread->AttachState = KI_NOT_ATTACHED;
    Thread->ApcStateProcess = Thread->Process;
    Thread->KernelApcDisable = 0;
    Thread->KernelApcInProgress = FALSE;
}

} // namespace

namespace {

// The rules a thread's own end must keep.
void KipCheckThreadEnd(PKTHREAD Thread) {
    if (Thread->Irql != PASSIVE_LEVEL) {
        VfBugCheck(IRQL_GT_ZERO_AT_SYSTEM_SERVICE, "thread ended at a raised IRQL", nullptr,
                   Thread->Irql, reinterpret_cast<ULONG_PTR>(Thread));
    }
    if (Thread->AttachState != KI_NOT_ATTACHED) {
        VfBugCheck(INVALID_PROCESS_ATTACH_ATTEMPT, "thread ended while attached to a process",
                   nullptr, reinterpret_cast<ULONG_PTR>(Thread->ApcStateProcess),
                   reinterpret_cast<ULONG_PTR>(Thread));
    }
    {
        std::lock_guard<std::mutex> guard(KiDispatcherLock);
        for (PLIST_ENTRY e = Thread->MutantListHead.Flink; e != &Thread->MutantListHead;
             e = e->Flink) {
            PKMUTANT mutant = CONTAINING_RECORD(e, KMUTANT, MutantListEntry);
            if (mutant->ApcDisable != 0) {
                VfBugCheck(THREAD_TERMINATE_HELD_MUTEX, "thread ended holding a kernel mutex",
                           nullptr, reinterpret_cast<ULONG_PTR>(Thread),
                           reinterpret_cast<ULONG_PTR>(mutant));
            }
        }
    }
    if (Thread->KernelApcDisable != 0) {
        VfBugCheck(APC_INDEX_MISMATCH, "thread ended inside a critical region", nullptr,
                   static_cast<ULONG_PTR>(Thread->KernelApcDisable),
                   reinterpret_cast<ULONG_PTR>(Thread));
    }
}

} // namespace

void KiRundownThread(PKTHREAD Thread, BOOLEAN PowerOff) {
    if (PowerOff) {
        KipResetForPowerOff(Thread);
    } else {
        KipCheckThreadEnd(Thread);
    }
    KiDeliverApcs(Thread);

    // APCs of another process context can no longer run; their rundown
    // routines get them back, outside the dispatcher lock.
    LIST_ENTRY orphans;
    KiInitializeListHead(&orphans);
    {
        std::lock_guard<std::mutex> guard(KiDispatcherLock);
        Thread->ApcQueueable = FALSE;
        while (!KiIsListEmpty(&Thread->ApcListHead)) {
            PKAPC apc = CONTAINING_RECORD(Thread->ApcListHead.Flink, KAPC, ApcListEntry);
            KiRemoveEntryList(&apc->ApcListEntry);
            apc->Inserted = FALSE;
            KiInsertTailList(&orphans, &apc->ApcListEntry);
        }
    }
    while (!KiIsListEmpty(&orphans)) {
        PKAPC apc = CONTAINING_RECORD(orphans.Flink, KAPC, ApcListEntry);
        KiRemoveEntryList(&apc->ApcListEntry);
        if (apc->RundownRoutine != nullptr) {
            apc->RundownRoutine(apc);
        }
    }

    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    while (!KiIsListEmpty(&Thread->MutantListHead)) {
        PKMUTANT mutant = CONTAINING_RECORD(Thread->MutantListHead.Flink, KMUTANT, MutantListEntry);
        KiRemoveEntryList(&mutant->MutantListEntry);
        mutant->Header.SignalState = 1;
        mutant->OwnerThread = nullptr;
        mutant->Abandoned = TRUE;
        KiWaitTest(&mutant->Header);
    }
    VfLockThreadEnded(Thread);
}

void KiSignalThread(PKTHREAD Thread) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    Thread->Header.SignalState = 1;
    KiWaitTest(&Thread->Header);
}

VOID KeAttachProcess(PRKPROCESS Process) {
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    if (thread->Irql > APC_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "process attached above APC_LEVEL", VF_CALLER(),
                   thread->Irql);
    }
    if (thread->AttachState != KI_NOT_ATTACHED) {
        VfBugCheck(INVALID_PROCESS_ATTACH_ATTEMPT, "process attached by a thread already attached",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Process),
                   reinterpret_cast<ULONG_PTR>(thread->ApcStateProcess));
    }
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    // Attaching to the process the thread already runs in changes nothing but
    // still pairs with one KeDetachProcess.
    if (Process == thread->ApcStateProcess) {
        thread->AttachState = KI_SELF_ATTACHED;
    } else {
        thread->AttachState = KI_ATTACHED;
        thread->ApcStateProcess = Process;
    }
}

VOID KeDetachProcess(VOID) {
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    if (thread->AttachState == KI_NOT_ATTACHED) {
        VfBugCheck(INVALID_PROCESS_DETACH_ATTEMPT, "process detached by a thread not attached",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(thread));
    }
    {
        std::lock_guard<std::mutex> guard(KiDispatcherLock);
        thread->AttachState = KI_NOT_ATTACHED;
        thread->ApcStateProcess = thread->Process;
    }
    // APCs queued for the original process context may run now.
    KiCheckApcs(thread);
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    if (Priority < 0 || Priority > 31) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "thread priority out of range 0..31",
                   VF_CALLER(), static_cast<ULONG_PTR>(Priority));
    }
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    KPRIORITY old = Thread->Priority;
    Thread->Priority = Priority;
    return old;
}

KPROCESSOR_MODE KeGetPreviousMode(VOID) {
    return KiCurrentThread(VF_CALLER())->PreviousMode;
}

KPROCESSOR_MODE ExGetPreviousMode(VOID) {
    return KiCurrentThread(VF_CALLER())->PreviousMode;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    return Thread->Priority;
}
