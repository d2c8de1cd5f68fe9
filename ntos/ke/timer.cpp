// ke/timer.cpp - kernel timers: one-shot or periodic, notification or
// synchronization, with an optional DPC queued at expiry.
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"


VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    KiInitializeDispatcherHeader(&Timer->Header,
                                 Type == NotificationTimer ? TimerNotificationObject
                                                           : TimerSynchronizationObject,
                                 sizeof(KTIMER), 0);
    Timer->DueTime.QuadPart = 0;
    KiInitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    if (Period < 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "timer set with a negative period",
                   VF_CALLER(), static_cast<ULONG_PTR>(Period));
    }
    KiCurrentThread(VF_CALLER());
    LONGLONG due = KiAbsoluteDueTime(DueTime.QuadPart);
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    BOOLEAN wasSet = Timer->Header.Inserted;
    KiRemoveTimerLocked(Timer);
    Timer->Header.SignalState = 0;
    Timer->Header.Absolute = DueTime.QuadPart > 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    KiInsertTimerLocked(Timer, due);
    if (due <= KiQuerySystemTime()) {
        KiExpireTimersLocked(KiQuerySystemTime());
    }
    return wasSet;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    BOOLEAN wasSet = Timer->Header.Inserted;
    KiRemoveTimerLocked(Timer);
    return wasSet;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    return Timer->Header.SignalState > 0;
}
