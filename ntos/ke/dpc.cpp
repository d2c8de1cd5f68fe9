// ke/dpc.cpp - deferred procedure calls, delivered as processors deliver them.
//
// Each emulated processor has a DPC queue and a DPC thread (a kernel thread of
// the System process) that runs the queue at DISPATCH_LEVEL, so DPCs of
// different processors run concurrently. Every thread runs on one processor
// (KTHREAD.Processor). A DPC queued for the queuing thread's own processor
// runs as a processor's DPC interrupt would run it: below DISPATCH_LEVEL before
// KeInsertQueueDpc returns; at DISPATCH_LEVEL or above it is held on the
// thread until the thread drops below DISPATCH_LEVEL, and runs then. A DPC
// targeted at another processor runs there at once. Timer DPCs go to
// processor 0, whose clock interrupt queues them.
#include "ntos/ke/ki.h"
#include "ntos/ke/kernel.h"
#include "ntos/ps/psp.h"
#include "ntos/verifier/bugcheck.h"

namespace {

constexpr ULONG KipMaximumProcessors = 32;

struct KI_PROCESSOR {
    LIST_ENTRY Queue;               // KDPC.DpcListEntry; KipDpc.Lock
    ULONGLONG Drains = 0;           // times the queue ran empty; KipDpc.Lock
    std::condition_variable Work;   // a DPC queued, or stop
    std::condition_variable Drained;  // Drains moved on
    PETHREAD Thread = nullptr;      // its DPC thread, referenced; start and stop only
};

struct KI_DPC_STATE {
    std::mutex Lock;  // the DPC lock: every queue, every thread's held DPCs, KDPC queue fields
    KI_PROCESSOR Processor[KipMaximumProcessors];
    ULONG Count = 1;  // processors of the running kernel; start and stop only
    bool Stop = false;
    std::atomic<ULONG> NextProcessor{0};
};

KI_DPC_STATE KipDpc;

// A DPC's target processor (KeSetTargetProcessorDpc), or Default.
ULONG KipTarget(PKDPC Dpc, ULONG Default) {
    return Dpc->Number >= KipMaximumProcessors ? Dpc->Number - KipMaximumProcessors : Default;
}

// Appends Dpc to Processor's queue and wakes its DPC thread; DPC lock held.
void KipQueueLocked(KI_PROCESSOR* Processor, PKDPC Dpc) {
    Dpc->DpcData = Processor;
    KiInsertTailList(&Processor->Queue, &Dpc->DpcListEntry);
    Processor->Work.notify_one();
}

// Waits until Processor has run its queue empty after this call; DPC lock held.
void KipWaitDrained(KI_PROCESSOR* Processor, std::unique_lock<std::mutex>& Lock) {
    const ULONGLONG ticket = Processor->Drains;
    Processor->Drained.wait(Lock, [&] { return KipDpc.Stop || Processor->Drains != ticket; });
}

void KipDpcThread(PVOID Context) {
    auto* processor = static_cast<KI_PROCESSOR*>(Context);
    PKTHREAD self = KiCurrentThread(nullptr);
    self->IsDpcThread = TRUE;
    self->Processor = static_cast<ULONG>(processor - KipDpc.Processor);
    self->AssignedProcessor = self->Processor;
    KiSetIrql(self, DISPATCH_LEVEL);
    std::unique_lock<std::mutex> lock(KipDpc.Lock);
    for (;;) {
        processor->Work.wait(lock, [&] { return KipDpc.Stop || !KiIsListEmpty(&processor->Queue); });
        if (KipDpc.Stop) {
            break;
        }
        while (!KiIsListEmpty(&processor->Queue)) {
            PKDPC dpc = CONTAINING_RECORD(processor->Queue.Flink, KDPC, DpcListEntry);
            KiRemoveEntryList(&dpc->DpcListEntry);
            dpc->DpcData = nullptr;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext;
            PVOID argument1 = dpc->SystemArgument1;
            PVOID argument2 = dpc->SystemArgument2;
            lock.unlock();
            routine(dpc, context, argument1, argument2);
            if (self->Irql != DISPATCH_LEVEL) {
                VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "DPC routine returned at a different IRQL",
                           reinterpret_cast<const void*>(routine), self->Irql,
                           reinterpret_cast<ULONG_PTR>(routine));
            }
            lock.lock();
        }
        processor->Drains++;
        processor->Drained.notify_all();
    }
    KiSetIrql(self, PASSIVE_LEVEL);
}

} // namespace

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = 0x13;  // DpcObject
    Dpc->Number = 0;
    Dpc->Importance = 1;  // MediumImportance
    KiInitializeListHead(&Dpc->DpcListEntry);
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) {
    if (Number < 0 || static_cast<ULONG>(Number) >= KipDpc.Count) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "DPC targeted at a processor that is not there",
                   VF_CALLER(), static_cast<ULONG_PTR>(Number));
    }
    Dpc->Number = static_cast<UCHAR>(KipMaximumProcessors + Number);
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    std::unique_lock<std::mutex> lock(KipDpc.Lock);
    if (Dpc->DpcData != nullptr) {
        return FALSE;
    }
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    KI_PROCESSOR* processor = &KipDpc.Processor[KipTarget(Dpc, thread->Processor)];
    if (processor != &KipDpc.Processor[thread->Processor] || thread->IsDpcThread) {
        // Another processor's interrupt, or the running DPC queue itself: the
        // DPC runs there in turn, without this thread.
        KipQueueLocked(processor, Dpc);
    } else if (thread->Irql >= DISPATCH_LEVEL) {
        Dpc->DpcData = processor;
        KiInsertTailList(&thread->HeldDpcs, &Dpc->DpcListEntry);
        thread->HeldDpcHint = TRUE;
    } else {
        KipQueueLocked(processor, Dpc);
        KipWaitDrained(processor, lock);
    }
    return TRUE;
}

void KiRunHeldDpcs(PKTHREAD Thread) {
    if (!Thread->HeldDpcHint) {
        return;
    }
    Thread->HeldDpcHint = FALSE;
    std::unique_lock<std::mutex> lock(KipDpc.Lock);
    if (KiIsListEmpty(&Thread->HeldDpcs)) {
        return;
    }
    KI_PROCESSOR* processor = &KipDpc.Processor[Thread->Processor];
    while (!KiIsListEmpty(&Thread->HeldDpcs)) {
        PKDPC dpc = CONTAINING_RECORD(Thread->HeldDpcs.Flink, KDPC, DpcListEntry);
        KiRemoveEntryList(&dpc->DpcListEntry);
        KipQueueLocked(processor, dpc);
    }
    KipWaitDrained(processor, lock);
}

void KiQueueDpcFromTimer(PKDPC Dpc) {
    // A timer DPC gets the expiry time's halves as arguments, as on the platform;
    // the emulation passes none.
    std::lock_guard<std::mutex> guard(KipDpc.Lock);
    if (Dpc->DpcData == nullptr) {
        Dpc->SystemArgument1 = nullptr;
        Dpc->SystemArgument2 = nullptr;
        KipQueueLocked(&KipDpc.Processor[KipTarget(Dpc, 0)], Dpc);
    }
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    std::lock_guard<std::mutex> guard(KipDpc.Lock);
    if (Dpc->DpcData == nullptr) {
        return FALSE;
    }
    KiRemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

ULONG KeGetCurrentProcessorNumber(VOID) { return KiCurrentThread(VF_CALLER())->Processor; }

ULONG KiAssignProcessor() {
    return KipDpc.NextProcessor.fetch_add(1, std::memory_order_relaxed) % KipDpc.Count;
}

void KiStartDpcThread() {
    const ULONG count = KiConfig().Processors;
    if (count == 0 || count > KipMaximumProcessors) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "processor count outside 1..32", nullptr,
                   count);
    }
    {
        std::lock_guard<std::mutex> guard(KipDpc.Lock);
        KipDpc.Count = count;
        KipDpc.Stop = false;
        for (KI_PROCESSOR& processor : KipDpc.Processor) {
            KiInitializeListHead(&processor.Queue);
        }
    }
    for (ULONG i = 0; i < count; ++i) {
        NTSTATUS status =
            PspCreateKernelThread(KipDpcThread, &KipDpc.Processor[i], &KipDpc.Processor[i].Thread);
        if (!NT_SUCCESS(status)) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "a DPC thread could not be created",
                       nullptr, static_cast<ULONG_PTR>(status));
        }
    }
}

void KiStopDpcThread() {
    {
        std::lock_guard<std::mutex> guard(KipDpc.Lock);
        KipDpc.Stop = true;
        // DPCs still queued die with the kernel; their records may be gone already.
        for (ULONG i = 0; i < KipDpc.Count; ++i) {
            KiInitializeListHead(&KipDpc.Processor[i].Queue);
            KipDpc.Processor[i].Work.notify_all();
            KipDpc.Processor[i].Drained.notify_all();
        }
    }
    for (ULONG i = 0; i < KipDpc.Count; ++i) {
        KeWaitForSingleObject(KipDpc.Processor[i].Thread, Executive, KernelMode, FALSE, nullptr);
        ObfDereferenceObject(KipDpc.Processor[i].Thread);
        KipDpc.Processor[i].Thread = nullptr;
    }
}
