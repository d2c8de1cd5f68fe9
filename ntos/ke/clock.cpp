// ke/clock.cpp - the system clock and the clock thread.
//
// System time (100 ns units since 1601) = the host's wall time at kernel start
// + host time elapsed since then times the clock scale + every jump. A host
// thread (not a kernel thread: it runs no driver code) expires timers and timed
// waits as they fall due; KiClockJump expires them synchronously.
#include "ntos/ke/ki.h"
#include "ntos/ke/kernel.h"
#include "ntos/verifier/bugcheck.h"

#include <chrono>
#include <thread>

namespace {

// Offset between the Unix epoch and 1601-01-01, in 100 ns units.
constexpr LONGLONG KipUnixEpochIn100ns = 116444736000000000LL;
constexpr ULONG KipTimeIncrement = 156250;  // 15.625 ms, in 100 ns units

struct KI_CLOCK {
    std::chrono::steady_clock::time_point HostStart;  // written before the clock thread starts
    LONGLONG SystemStart = 0;                         // 100 ns units; as above
    double Scale = 1.0;                               // as above
    std::atomic<LONGLONG> JumpOffset{0};              // 100 ns units
    std::condition_variable Cv;                       // with KiDispatcherLock
    bool Stop = false;                                // KiDispatcherLock
    std::thread Thread;
};

KI_CLOCK KipClock;
LIST_ENTRY KipTimerList = {&KipTimerList, &KipTimerList};    // KTIMERs; dispatcher lock
LIST_ENTRY KipTimeoutList = {&KipTimeoutList, &KipTimeoutList};  // waiting KTHREADs; same

LONGLONG KipElapsedScaled() {
    auto host = std::chrono::steady_clock::now() - KipClock.HostStart;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(host).count();
    return static_cast<LONGLONG>(static_cast<double>(ns / 100) * KipClock.Scale);
}

// The next due time of a timer or timed wait, or 0 when there is none.
LONGLONG KipNextDueLocked() {
    LONGLONG next = 0;
    for (PLIST_ENTRY e = KipTimerList.Flink; e != &KipTimerList; e = e->Flink) {
        LONGLONG due = static_cast<LONGLONG>(
            CONTAINING_RECORD(e, KTIMER, TimerListEntry)->DueTime.QuadPart);
        next = next == 0 || due < next ? due : next;
    }
    for (PLIST_ENTRY e = KipTimeoutList.Flink; e != &KipTimeoutList; e = e->Flink) {
        LONGLONG due = CONTAINING_RECORD(e, KTHREAD, TimeoutListEntry)->WaitDueTime;
        next = next == 0 || due < next ? due : next;
    }
    return next;
}

void KipClockThread() {
    std::unique_lock<std::mutex> lock(KiDispatcherLock);
    while (!KipClock.Stop) {
        LONGLONG now = KiQuerySystemTime();
        KiExpireTimersLocked(now);
        LONGLONG next = KipNextDueLocked();
        auto wait = std::chrono::milliseconds(100);
        if (next != 0) {
            double hostNs = static_cast<double>(next - now) * 100.0 / KipClock.Scale;
            if (hostNs < 1e8) {
                wait = std::chrono::milliseconds(static_cast<long>(hostNs / 1e6) + 1);
            }
        }
        KipClock.Cv.wait_for(lock, wait);
    }
}

} // namespace

LONGLONG KiQuerySystemTime() {
    return KipClock.SystemStart + KipElapsedScaled() +
           KipClock.JumpOffset.load(std::memory_order_acquire);
}

LONGLONG KiAbsoluteDueTime(LONGLONG DueTime) {
    return DueTime < 0 ? KiQuerySystemTime() - DueTime : DueTime;
}

void KiStartClock(double Scale) {
    if (!(Scale > 0.0)) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "clock scale must be positive", nullptr);
    }
    KipClock.HostStart = std::chrono::steady_clock::now();
    auto wall = std::chrono::system_clock::now().time_since_epoch();
    KipClock.SystemStart =
        KipUnixEpochIn100ns + std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count() / 100;
    KipClock.Scale = Scale;
    KipClock.JumpOffset.store(0);
    KipClock.Stop = false;
    KiInitializeListHead(&KipTimerList);
    KiInitializeListHead(&KipTimeoutList);
    KipClock.Thread = std::thread(KipClockThread);
}

void KiStopClock() {
    {
        std::lock_guard<std::mutex> guard(KiDispatcherLock);
        KipClock.Stop = true;
        // Timers still set die with the kernel; their records may be gone already.
        KiInitializeListHead(&KipTimerList);
        KiInitializeListHead(&KipTimeoutList);
    }
    KipClock.Cv.notify_all();
    KipClock.Thread.join();
}

void KiClockNotify() { KipClock.Cv.notify_all(); }

void KiInsertTimeout(PKTHREAD Thread, LONGLONG DueTime) {
    Thread->WaitDueTime = DueTime;
    Thread->InTimeoutList = TRUE;
    KiInsertTailList(&KipTimeoutList, &Thread->TimeoutListEntry);
    KiClockNotify();
}

void KiRemoveTimeout(PKTHREAD Thread) {
    if (Thread->InTimeoutList) {
        KiRemoveEntryList(&Thread->TimeoutListEntry);
        Thread->InTimeoutList = FALSE;
    }
}

void KiRemoveTimerLocked(PKTIMER Timer) {
    if (Timer->Header.Inserted) {
        KiRemoveEntryList(&Timer->TimerListEntry);
        Timer->Header.Inserted = FALSE;
    }
}

// Inserts Timer due at the absolute time Due; the caller holds the dispatcher lock.
void KiInsertTimerLocked(PKTIMER Timer, LONGLONG Due) {
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(Due);
    Timer->Header.Inserted = TRUE;
    KiInsertTailList(&KipTimerList, &Timer->TimerListEntry);
    KiClockNotify();
}

void KiExpireTimersLocked(LONGLONG Now) {
    PLIST_ENTRY e = KipTimerList.Flink;
    while (e != &KipTimerList) {
        PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        e = e->Flink;
        if (static_cast<LONGLONG>(timer->DueTime.QuadPart) > Now) {
            continue;
        }
        KiRemoveTimerLocked(timer);
        timer->Header.SignalState = 1;
        KiWaitTest(&timer->Header);
        if (timer->Dpc != nullptr) {
            KiQueueDpcFromTimer(timer->Dpc);
        }
        if (timer->Period != 0) {
            // Re-armed after the list walk would see it again; insert at the head
            // (already walked) so this pass does not expire it twice.
            timer->DueTime.QuadPart = static_cast<ULONGLONG>(Now + LONGLONG{timer->Period} * 10000);
            timer->Header.Inserted = TRUE;
            KiInsertHeadList(&KipTimerList, &timer->TimerListEntry);
        }
    }
    e = KipTimeoutList.Flink;
    while (e != &KipTimeoutList) {
        PKTHREAD thread = CONTAINING_RECORD(e, KTHREAD, TimeoutListEntry);
        e = e->Flink;
        if (thread->WaitDueTime <= Now) {
            KiEndWait(thread, thread->WaitTimeoutStatus);
        }
    }
}

void KiClockJump(LONGLONG Delta100ns) {
    if (Delta100ns <= 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "clock jump must move time forward",
                   VF_CALLER(), static_cast<ULONG_PTR>(Delta100ns));
    }
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    KipClock.JumpOffset.fetch_add(Delta100ns, std::memory_order_acq_rel);
    KiExpireTimersLocked(KiQuerySystemTime());
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = KiQuerySystemTime(); }

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
    LONGLONG sinceStart = KiQuerySystemTime() - KipClock.SystemStart;
    TickCount->QuadPart = sinceStart / KipTimeIncrement;
}

ULONG KeQueryTimeIncrement(VOID) { return KipTimeIncrement; }

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
}
