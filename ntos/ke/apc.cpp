// ke/apc.cpp - kernel APCs and critical regions.
//
// An APC runs in its target thread. The emulation cannot interrupt a host
// thread, so pending APCs are delivered at the points where the platform would
// deliver them to a thread that is not running driver code at raised IRQL: in
// a wait at PASSIVE_LEVEL, when the thread leaves its last critical region,
// when it lowers its IRQL to PASSIVE_LEVEL and when it detaches or ends.
// Special kernel APCs (no normal routine) run even inside critical regions;
// normal kernel APCs only outside them, one at a time.
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"

namespace {

// The first APC of Thread that may run now, removed from its queue; or NULL.
PKAPC KipNextDeliverable(PKTHREAD Thread) {
    for (PLIST_ENTRY e = Thread->ApcListHead.Flink; e != &Thread->ApcListHead; e = e->Flink) {
        PKAPC apc = CONTAINING_RECORD(e, KAPC, ApcListEntry);
        if (apc->Process != Thread->ApcStateProcess) {
            continue;
        }
        if (apc->NormalRoutine != nullptr &&
            (Thread->KernelApcDisable != 0 || Thread->KernelApcInProgress)) {
            continue;
        }
        KiRemoveEntryList(&apc->ApcListEntry);
        apc->Inserted = FALSE;
        return apc;
    }
    return nullptr;
}

} // namespace

void KiDeliverApcs(PKTHREAD Thread) {
    for (;;) {
        PKAPC apc;
        {
            std::lock_guard<std::mutex> guard(KiDispatcherLock);
            apc = KipNextDeliverable(Thread);
            if (apc == nullptr) {
                Thread->ApcPendingHint.store(!KiIsListEmpty(&Thread->ApcListHead),
                                             std::memory_order_release);
                return;
            }
        }
        PKNORMAL_ROUTINE normalRoutine = apc->NormalRoutine;
        PVOID normalContext = apc->NormalContext;
        PVOID argument1 = apc->SystemArgument1;
        PVOID argument2 = apc->SystemArgument2;
        // The kernel routine usually frees the APC: nothing reads it afterwards.
        KiSetIrql(Thread, APC_LEVEL);
        apc->KernelRoutine(apc, &normalRoutine, &normalContext, &argument1, &argument2);
        if (Thread->Irql != APC_LEVEL) {
            VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "APC kernel routine returned at a different IRQL",
                       nullptr, Thread->Irql);
        }
        KiSetIrql(Thread, PASSIVE_LEVEL);
        if (normalRoutine != nullptr) {
            Thread->KernelApcInProgress = TRUE;
            normalRoutine(normalContext, argument1, argument2);
            Thread->KernelApcInProgress = FALSE;
            if (Thread->Irql != PASSIVE_LEVEL || Thread->KernelApcDisable != 0) {
                VfBugCheck(APC_INDEX_MISMATCH,
                           "APC normal routine returned at a raised IRQL or in a critical region",
                           reinterpret_cast<const void*>(normalRoutine), Thread->Irql,
                           static_cast<ULONG_PTR>(Thread->KernelApcDisable));
            }
        }
    }
}

void KiCheckApcs(PKTHREAD Thread) {
    if (Thread->Irql == PASSIVE_LEVEL && Thread->ApcPendingHint.load(std::memory_order_acquire)) {
        KiDeliverApcs(Thread);
    }
}

VOID KeEnterCriticalRegion(VOID) { KiCurrentThread(VF_CALLER())->KernelApcDisable += 1; }

VOID KeLeaveCriticalRegion(VOID) {
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    if (thread->KernelApcDisable <= 0) {
        VfBugCheck(APC_INDEX_MISMATCH, "critical region left more often than entered",
                   VF_CALLER(), static_cast<ULONG_PTR>(thread->KernelApcDisable));
    }
    thread->KernelApcDisable -= 1;
    if (thread->KernelApcDisable == 0) {
        KiCheckApcs(thread);
    }
}

BOOLEAN KeAreApcsDisabled(VOID) {
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    // Critical regions (and owned kernel mutexes) only: a raised IRQL also
    // keeps APCs out, but this routine does not say so.
    return thread->KernelApcDisable != 0;
}

VOID KeInitializeApc(PRKAPC Apc, PRKTHREAD Thread, KAPC_ENVIRONMENT Environment,
                     PKKERNEL_ROUTINE KernelRoutine, PKRUNDOWN_ROUTINE RundownRoutine,
                     PKNORMAL_ROUTINE NormalRoutine, KPROCESSOR_MODE ApcMode,
                     PVOID NormalContext) {
    if (ApcMode != KernelMode && NormalRoutine != nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "user-mode APCs are not emulated",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Apc));
    }
    if (KernelRoutine == nullptr || Environment > InsertApcEnvironment) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "APC initialised without a kernel routine or with an unknown environment",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Apc));
    }
    Apc->Type = 0x12;  // ApcObject
    Apc->Size = sizeof(KAPC);
    Apc->Spare0 = 0;
    Apc->Thread = Thread;
    KiInitializeListHead(&Apc->ApcListEntry);
    Apc->KernelRoutine = KernelRoutine;
    Apc->RundownRoutine = RundownRoutine;
    Apc->NormalRoutine = NormalRoutine;
    Apc->NormalContext = NormalRoutine != nullptr ? NormalContext : nullptr;
    Apc->SystemArgument1 = nullptr;
    Apc->SystemArgument2 = nullptr;
    Apc->ApcMode = KernelMode;
    Apc->Inserted = FALSE;
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    switch (Environment) {
    case OriginalApcEnvironment:
        Apc->Process = Thread->Process;
        break;
    case AttachedApcEnvironment:
    case CurrentApcEnvironment:
        Apc->Process = Thread->ApcStateProcess;
        break;
    case InsertApcEnvironment:
        Apc->Process = nullptr;  // decided when queued
        break;
    }
    Apc->ApcStateIndex = static_cast<CCHAR>(Environment);
}

BOOLEAN KeInsertQueueApc(PRKAPC Apc, PVOID SystemArgument1, PVOID SystemArgument2,
                         KPRIORITY Increment) {
    UNREFERENCED_PARAMETER(Increment);
    KiCurrentThread(VF_CALLER());
    PKTHREAD thread = Apc->Thread;
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    if (Apc->Inserted || !thread->ApcQueueable) {
        return FALSE;
    }
    if (Apc->ApcStateIndex == InsertApcEnvironment) {
        Apc->Process = thread->ApcStateProcess;
    }
    Apc->SystemArgument1 = SystemArgument1;
    Apc->SystemArgument2 = SystemArgument2;
    Apc->Inserted = TRUE;
    if (Apc->NormalRoutine == nullptr) {
        // Special APCs go ahead of normal ones, in order among themselves.
        PLIST_ENTRY e = thread->ApcListHead.Flink;
        while (e != &thread->ApcListHead &&
               CONTAINING_RECORD(e, KAPC, ApcListEntry)->NormalRoutine == nullptr) {
            e = e->Flink;
        }
        KiInsertTailList(e, &Apc->ApcListEntry);
    } else {
        KiInsertTailList(&thread->ApcListHead, &Apc->ApcListEntry);
    }
    thread->ApcPendingHint.store(true, std::memory_order_release);
    if (thread->Waiting && thread->WaitApcEligible) {
        thread->ApcWake = TRUE;
        thread->WaitCv.notify_one();
    }
    return TRUE;
}
