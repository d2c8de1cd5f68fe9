// power_off_test.cpp - powering the kernel off ends threads that would wait
// forever: their waits unwind, termination handlers run, the thread ends
// without the checks of a thread's own end, and the kernel then stops clean.
#include "expect_bugcheck.h"
#include "ke_test_util.h"
#include "ntos/ke/kernel.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using PowerOffTest = KernelTest;

// Starts Routine on a system thread; returns its handle.
HANDLE StartThread(PKSTART_ROUTINE Routine, PVOID Context) {
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Routine,
                                   Context),
              STATUS_SUCCESS);
    return handle;
}

// After power-off every thread has ended: its object is signalled at once.
void ExpectEndedAndClose(HANDLE Thread) {
    LARGE_INTEGER poll{};
    EXPECT_EQ(ZwWaitForSingleObject(Thread, FALSE, &poll), STATUS_WAIT_0);
    EXPECT_EQ(ZwClose(Thread), STATUS_SUCCESS);
}

struct Blocked {
    KEVENT Never;   // nobody sets it
    KEVENT Started; // the thread is about to block
    std::atomic<bool> WaitReturned{false};
    std::atomic<bool> FinallyRan{false};
    std::atomic<bool> Abnormal{false};
    std::atomic<bool> HandlerRan{false}; // an exception handler caught the unwind
};

VOID BlockedForever(PVOID Context) {
    auto* blocked = static_cast<Blocked*>(Context);
    _SEH2_TRY {
        _SEH2_TRY {
            KeSetEvent(&blocked->Started, 0, FALSE);
            KeWaitForSingleObject(&blocked->Never, Executive, KernelMode, FALSE, nullptr);
            blocked->WaitReturned = true;
        }
        _SEH2_FINALLY {
            blocked->FinallyRan = true;
            blocked->Abnormal = AbnormalTermination() != FALSE;
        }
        _SEH2_END;
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        blocked->HandlerRan = true;
    }
    _SEH2_END;
}

VOID DelayedForever(PVOID Context) {
    auto* blocked = static_cast<Blocked*>(Context);
    _SEH2_TRY {
        KeSetEvent(&blocked->Started, 0, FALSE);
        LARGE_INTEGER hour = RelativeMs(3600 * 1000);
        KeDelayExecutionThread(KernelMode, FALSE, &hour);
        blocked->WaitReturned = true;
    }
    _SEH2_FINALLY {
        blocked->FinallyRan = true;
    }
    _SEH2_END;
}

struct Holder {
    KMUTEX Mutex;
    KEVENT Never;
    KEVENT Started;
    KEVENT Released; // set by the termination handler's own wait partner
    std::atomic<NTSTATUS> HandlerWait{STATUS_PENDING};
};

// Stopped inside a critical region, attached, owning a kernel mutex: the
// rules of a thread's own end must not fire for a power-off.
VOID HolderRoutine(PVOID Context) {
    auto* holder = static_cast<Holder*>(Context);
    KeEnterCriticalRegion();
    KeWaitForMutexObject(&holder->Mutex, Executive, KernelMode, FALSE, nullptr);
    KeAttachProcess(&PsInitialSystemProcess->Pcb);
    _SEH2_TRY {
        KeSetEvent(&holder->Started, 0, FALSE);
        KeWaitForSingleObject(&holder->Never, Executive, KernelMode, FALSE, nullptr);
    }
    _SEH2_FINALLY {
        // A wait on the way out proceeds as usual.
        holder->HandlerWait =
            KeWaitForSingleObject(&holder->Released, Executive, KernelMode, FALSE, nullptr);
    }
    _SEH2_END;
}

struct Busy {
    std::atomic<bool> Running{false};
    std::atomic<int> Waits{0};
    KEVENT Never;
};

// Busy when the power-off begins; unwinds at the wait it reaches next.
VOID BusyThenWait(PVOID Context) {
    auto* busy = static_cast<Busy*>(Context);
    busy->Running = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    busy->Waits++;
    KeWaitForSingleObject(&busy->Never, Executive, KernelMode, FALSE, nullptr);
    busy->Waits++;
}

struct Pulse {
    KTIMER Timer;
    KDPC Dpc;
    KEVENT Tick; // set by the DPC at every period
    std::atomic<int> Ticks{0};
};

VOID PulseDpc(PKDPC, PVOID Context, PVOID, PVOID) {
    KeSetEvent(&static_cast<Pulse*>(Context)->Tick, 0, FALSE);
}

// A worker fed by a periodic DPC: never ends on its own.
VOID PulseWorker(PVOID Context) {
    auto* pulse = static_cast<Pulse*>(Context);
    for (;;) {
        KeWaitForSingleObject(&pulse->Tick, Executive, KernelMode, FALSE, nullptr);
        pulse->Ticks++;
    }
}

// One power-off ends every kind of thread left running: blocked in a wait or
// a delay, holding a mutex inside a critical region while attached, busy, and
// fed by a periodic DPC.
TEST_F(PowerOffTest, EveryThreadEndsAtItsWaitThroughTerminationHandlersOnly) {
    Blocked wait;
    Blocked delay;
    for (Blocked* b : {&wait, &delay}) {
        KeInitializeEvent(&b->Never, NotificationEvent, FALSE);
        KeInitializeEvent(&b->Started, NotificationEvent, FALSE);
    }
    Holder holder;
    KeInitializeMutex(&holder.Mutex, 0);
    KeInitializeEvent(&holder.Never, NotificationEvent, FALSE);
    KeInitializeEvent(&holder.Started, NotificationEvent, FALSE);
    KeInitializeEvent(&holder.Released, NotificationEvent, TRUE);
    Busy busy;
    KeInitializeEvent(&busy.Never, NotificationEvent, FALSE);
    // Static: a DPC already queued when the timer is cancelled may still run.
    static Pulse pulse;
    pulse.Ticks = 0;
    KeInitializeEvent(&pulse.Tick, SynchronizationEvent, FALSE);
    KeInitializeDpc(&pulse.Dpc, PulseDpc, &pulse);
    KeInitializeTimerEx(&pulse.Timer, NotificationTimer);
    KeSetTimerEx(&pulse.Timer, RelativeMs(1), 1, &pulse.Dpc);

    HANDLE threads[] = {StartThread(BlockedForever, &wait), StartThread(DelayedForever, &delay),
                        StartThread(HolderRoutine, &holder), StartThread(BusyThenWait, &busy),
                        StartThread(PulseWorker, &pulse)};
    for (PKEVENT started : {&wait.Started, &delay.Started, &holder.Started}) {
        ASSERT_EQ(KeWaitForSingleObject(started, Executive, KernelMode, FALSE, nullptr),
                  STATUS_WAIT_0);
    }
    while (!busy.Running.load() || pulse.Ticks.load() < 3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let the waiters block

    KiPowerOffThreads();

    for (HANDLE thread : threads) {
        ExpectEndedAndClose(thread);
    }
    EXPECT_FALSE(wait.WaitReturned.load()) << "the wait unwinds instead of returning";
    EXPECT_TRUE(wait.FinallyRan.load());
    EXPECT_TRUE(wait.Abnormal.load()) << "AbnormalTermination() while unwinding";
    EXPECT_FALSE(wait.HandlerRan.load()) << "exception guards let the unwind pass";
    EXPECT_FALSE(delay.WaitReturned.load());
    EXPECT_TRUE(delay.FinallyRan.load());
    EXPECT_EQ(holder.HandlerWait.load(), STATUS_WAIT_0) << "a wait on the way out proceeds";
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForMutexObject(&holder.Mutex, Executive, KernelMode, FALSE, &poll),
              STATUS_ABANDONED_WAIT_0);
    KeReleaseMutex(&holder.Mutex, FALSE);
    EXPECT_EQ(busy.Waits.load(), 1) << "unwound at the wait it reached after the power-off began";
    KeCancelTimer(&pulse.Timer);
}

using PowerOffDeathTest = PowerOffTest;

VOID NeverWaits(PVOID) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TEST_F(PowerOffDeathTest, ThreadThatNeverReachesAWaitBugChecks) {
    EXPECT_BUGCHECK(
        {
            HANDLE thread = StartThread(NeverWaits, nullptr);
            (void)thread;
            KiPowerOffThreads();
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION,
        "thread never reached a wait while the machine powered off");
}

} // namespace
