// ke/semaphore.cpp - counting semaphores.
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"
#include "nt/seh.h"

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    if (Count < 0 || Limit <= 0 || Count > Limit) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "semaphore initialised with a count outside 0..Limit", VF_CALLER(),
                   static_cast<ULONG_PTR>(Count), static_cast<ULONG_PTR>(Limit));
    }
    KiInitializeDispatcherHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE), Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                        BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(KiDispatcherLock);
        previous = Semaphore->Header.SignalState;
        if (Adjustment > 0 && previous <= Semaphore->Limit - Adjustment) {
            Semaphore->Header.SignalState = previous + Adjustment;
            KiWaitTest(&Semaphore->Header);
            if (Wait) {
                KiHoldDispatcherForWait(thread, VF_CALLER());
            }
            return previous;
        }
    }
    ExRaiseStatus(STATUS_SEMAPHORE_LIMIT_EXCEEDED);
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    return Semaphore->Header.SignalState;
}
