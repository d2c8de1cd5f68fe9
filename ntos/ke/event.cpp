// ke/event.cpp - notification and synchronization events.
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    KiInitializeDispatcherHeader(&Event->Header,
                                 Type == NotificationEvent ? EventNotificationObject
                                                           : EventSynchronizationObject,
                                 sizeof(KEVENT), State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    KiJitter();
    UNREFERENCED_PARAMETER(Increment);
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    if (Wait) {
        KiHoldDispatcherForWait(thread, VF_CALLER());
    }
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    KiWaitTest(&Event->Header);
    return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    return Event->Header.SignalState;
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    if (Wait) {
        KiHoldDispatcherForWait(thread, VF_CALLER());
    }
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    KiWaitTest(&Event->Header);
    Event->Header.SignalState = 0;
    return previous;
}
