// ke/mutant.cpp - kernel mutexes and mutants: owned, recursive, abandoned when
// their owner ends. A kernel mutex disables normal kernel APCs while owned.
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/lock_order.h"
#include "nt/seh.h"

namespace {

void KipInitializeMutant(PRKMUTANT Mutant, UCHAR ApcDisable, PKTHREAD Owner) {
    KiInitializeDispatcherHeader(&Mutant->Header, MutantObject, sizeof(KMUTANT), 1);
    KiInitializeListHead(&Mutant->MutantListEntry);
    Mutant->OwnerThread = nullptr;
    Mutant->Abandoned = FALSE;
    Mutant->ApcDisable = ApcDisable;
    if (Owner != nullptr) {
        std::lock_guard<std::mutex> guard(KiDispatcherLock);
        Mutant->Header.SignalState = 0;
        Mutant->OwnerThread = Owner;
        KiInsertTailList(&Owner->MutantListHead, &Mutant->MutantListEntry);
        Owner->KernelApcDisable += ApcDisable;
    }
}

} // namespace

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    UNREFERENCED_PARAMETER(Level);
    VfLockInitialized(Mutex);
    KipInitializeMutant(Mutex, 1, nullptr);
}

VOID KeInitializeMutant(PRKMUTANT Mutant, BOOLEAN InitialOwner) {
    KipInitializeMutant(Mutant, 0, InitialOwner ? KiCurrentThread(VF_CALLER()) : nullptr);
}

LONG KeReleaseMutant(PRKMUTANT Mutant, KPRIORITY Increment, BOOLEAN Abandon, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    LONG previous;
    bool apcsEnabled = false;
    {
        std::lock_guard<std::mutex> guard(KiDispatcherLock);
        previous = Mutant->Header.SignalState;
        PKTHREAD owner = Mutant->OwnerThread;
        const bool owned = owner == thread && previous <= 0;
        if (!Abandon && !owned && Mutant->ApcDisable != 0) {
            VfBugCheck(THREAD_NOT_MUTEX_OWNER, "mutex released by a thread that does not own it",
                       VF_CALLER(), reinterpret_cast<ULONG_PTR>(Mutant),
                       reinterpret_cast<ULONG_PTR>(owner), reinterpret_cast<ULONG_PTR>(thread));
        }
        if (Abandon || owned) {
            if (Mutant->ApcDisable != 0) {
                VfLockReleased(owner, Mutant, VF_CALLER(), Abandon);
            }
            if (Abandon) {
                Mutant->Header.SignalState = 1;
                Mutant->Abandoned = TRUE;
            } else {
                Mutant->Header.SignalState += 1;
            }
            if (Mutant->Header.SignalState == 1 && owner != nullptr) {
                KiRemoveEntryList(&Mutant->MutantListEntry);
                Mutant->OwnerThread = nullptr;
                owner->KernelApcDisable -= Mutant->ApcDisable;
                apcsEnabled = owner == thread && Mutant->ApcDisable != 0 &&
                              owner->KernelApcDisable == 0;
            }
            KiWaitTest(&Mutant->Header);
        } else {
            previous = Mutant->Abandoned ? STATUS_ABANDONED : STATUS_MUTANT_NOT_OWNED;
            thread = nullptr;
        }
    }
    if (thread == nullptr) {
        ExRaiseStatus(previous);
    }
    if (Wait) {
        // APCs the release enabled are delivered by the wait that follows.
        KiHoldDispatcherForWait(thread, VF_CALLER());
    } else if (apcsEnabled && thread->Irql == PASSIVE_LEVEL) {
        KiCheckApcs(thread);
    }
    return previous;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    if (Mutex->ApcDisable == 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "KeReleaseMutex on a mutant not initialised as a kernel mutex", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(Mutex));
    }
    return KeReleaseMutant(Mutex, 1, FALSE, Wait);
}

LONG KeReadStateMutex(PRKMUTEX Mutex) { return KeReadStateMutant(Mutex); }

LONG KeReadStateMutant(PRKMUTANT Mutant) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    return Mutant->Header.SignalState;
}

void KiRundownMutant(PKMUTANT Mutant) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    if (Mutant->OwnerThread != nullptr) {
        VfLockReleased(Mutant->OwnerThread, Mutant, nullptr, TRUE);
        KiRemoveEntryList(&Mutant->MutantListEntry);
        Mutant->OwnerThread->KernelApcDisable -= Mutant->ApcDisable;
        Mutant->OwnerThread = nullptr;
    }
    Mutant->Header.SignalState = 1;
}
