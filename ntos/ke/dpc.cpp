// ke/dpc.cpp - deferred procedure calls, run at DISPATCH_LEVEL by one DPC
// thread, a kernel thread of the System process.
#include "ntos/ke/ki.h"
#include "ntos/ps/psp.h"
#include "ntos/verifier/bugcheck.h"

namespace {

struct KI_DPC_QUEUE {
    std::mutex Lock;                               // guards everything below
    std::condition_variable Cv;                    // new DPC, or stop
    LIST_ENTRY Queue = {&Queue, &Queue};           // KDPC.DpcListEntry
    bool Stop = false;
    PETHREAD Thread = nullptr;                     // the DPC thread, referenced
};

KI_DPC_QUEUE KipDpc;

void KipDpcThread(PVOID) {
    PKTHREAD self = KiCurrentThread(nullptr);
    KiSetIrql(self, DISPATCH_LEVEL);
    std::unique_lock<std::mutex> lock(KipDpc.Lock);
    for (;;) {
        KipDpc.Cv.wait(lock, [] { return KipDpc.Stop || !KiIsListEmpty(&KipDpc.Queue); });
        if (KipDpc.Stop) {
            break;
        }
        PKDPC dpc = CONTAINING_RECORD(KipDpc.Queue.Flink, KDPC, DpcListEntry);
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
    KiSetIrql(self, PASSIVE_LEVEL);
}

BOOLEAN KipInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    {
        std::lock_guard<std::mutex> guard(KipDpc.Lock);
        if (Dpc->DpcData != nullptr) {
            return FALSE;
        }
        Dpc->DpcData = &KipDpc;
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
        KiInsertTailList(&KipDpc.Queue, &Dpc->DpcListEntry);
    }
    KipDpc.Cv.notify_one();
    return TRUE;
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

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    KiCurrentThread(VF_CALLER());
    return KipInsertQueueDpc(Dpc, SystemArgument1, SystemArgument2);
}

void KiQueueDpcFromTimer(PKDPC Dpc) {
    // A timer DPC gets the expiry time's halves as arguments, as on the platform;
    // the emulation passes none.
    KipInsertQueueDpc(Dpc, nullptr, nullptr);
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

void KiStartDpcThread() {
    {
        std::lock_guard<std::mutex> guard(KipDpc.Lock);
        KiInitializeListHead(&KipDpc.Queue);
        KipDpc.Stop = false;
    }
    NTSTATUS status = PspCreateKernelThread(KipDpcThread, nullptr, &KipDpc.Thread);
    if (!NT_SUCCESS(status)) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "the DPC thread could not be created",
                   nullptr, static_cast<ULONG_PTR>(status));
    }
}

void KiStopDpcThread() {
    {
        std::lock_guard<std::mutex> guard(KipDpc.Lock);
        KipDpc.Stop = true;
        // DPCs still queued die with the kernel; their records may be gone already.
        KiInitializeListHead(&KipDpc.Queue);
    }
    KipDpc.Cv.notify_all();
    KeWaitForSingleObject(KipDpc.Thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(KipDpc.Thread);
    KipDpc.Thread = nullptr;
}
