// power_off_test.cpp - powering the kernel off ends threads that would wait
// forever: their waits unwind, termination handlers run, the thread ends
// without the checks of a thread's own end, and the kernel then stops clean.
#include "expect_bugcheck.h"
#include "ke_test_util.h"
#include "ntos/ke/kernel.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using PowerOffTest = KernelTest;

struct Pulse {
    KTIMER Timer;
    KDPC Dpc;
    KEVENT Tick; // set by the DPC at every period
    std::atomic<int> Ticks{0};
};

VOID PulseDpc(PKDPC, PVOID Context, PVOID, PVOID) {
    KeSetEvent(&static_cast<Pulse*>(Context)->Tick, 0, FALSE);
}

// One power-off ends every kind of thread left running: blocked in a wait or
// a delay, holding a mutex inside a critical region while attached, busy, and
// fed by a periodic DPC.
TEST_F(PowerOffTest, EveryThreadEndsAtItsWaitThroughTerminationHandlersOnly) {
    KEVENT never;   // nobody sets it
    KEVENT started; // the blocking threads are about to block
    KEVENT released;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    KeInitializeEvent(&released, NotificationEvent, TRUE);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    std::atomic<int> blocking{0}, busyWaits{0};
    std::atomic<bool> waitReturned{false}, finallyRan{false}, abnormal{false}, handlerRan{false};
    std::atomic<bool> delayReturned{false}, delayFinallyRan{false}, busyRunning{false};
    std::atomic<NTSTATUS> handlerWait{STATUS_PENDING};
    auto aboutToBlock = [&] {
        if (++blocking == 3) {
            KeSetEvent(&started, 0, FALSE);
        }
    };
    // Static: a DPC already queued when the timer is cancelled may still run.
    static Pulse pulse;
    pulse.Ticks = 0;
    KeInitializeEvent(&pulse.Tick, SynchronizationEvent, FALSE);
    KeInitializeDpc(&pulse.Dpc, PulseDpc, &pulse);
    KeInitializeTimerEx(&pulse.Timer, NotificationTimer);
    KeSetTimerEx(&pulse.Timer, RelativeMs(1), 1, &pulse.Dpc);

    std::vector<std::unique_ptr<TestThread>> threads;
    threads.push_back(std::make_unique<TestThread>([&] {
        _SEH2_TRY {
            _SEH2_TRY {
                aboutToBlock();
                KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
                waitReturned = true;
            }
            _SEH2_FINALLY {
                finallyRan = true;
                abnormal = AbnormalTermination() != FALSE;
            }
            _SEH2_END;
        }
        _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            handlerRan = true;
        }
        _SEH2_END;
    }));
    threads.push_back(std::make_unique<TestThread>([&] {
        _SEH2_TRY {
            aboutToBlock();
            LARGE_INTEGER hour = RelativeMs(3600 * 1000);
            KeDelayExecutionThread(KernelMode, FALSE, &hour);
            delayReturned = true;
        }
        _SEH2_FINALLY {
            delayFinallyRan = true;
        }
        _SEH2_END;
    }));
    // Stopped inside a critical region, attached, owning a kernel mutex: the
    // rules of a thread's own end must not fire for a power-off.
    threads.push_back(std::make_unique<TestThread>([&] {
        KeEnterCriticalRegion();
        KeWaitForMutexObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KeAttachProcess(&PsInitialSystemProcess->Pcb);
        _SEH2_TRY {
            aboutToBlock();
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        }
        _SEH2_FINALLY {
            // A wait on the way out proceeds as usual.
            handlerWait = KeWaitForSingleObject(&released, Executive, KernelMode, FALSE, nullptr);
        }
        _SEH2_END;
    }));
    // Busy when the power-off begins; unwinds at the wait it reaches next.
    threads.push_back(std::make_unique<TestThread>([&] {
        busyRunning = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        busyWaits++;
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        busyWaits++;
    }));
    // A worker fed by a periodic DPC: never ends on its own.
    threads.push_back(std::make_unique<TestThread>([&] {
        for (;;) {
            KeWaitForSingleObject(&pulse.Tick, Executive, KernelMode, FALSE, nullptr);
            pulse.Ticks++;
        }
    }));
    ASSERT_EQ(KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr),
              STATUS_WAIT_0);
    while (!busyRunning.load() || pulse.Ticks.load() < 3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let the waiters block

    KiPowerOffThreads();

    LARGE_INTEGER poll{};
    for (const auto& thread : threads) {
        EXPECT_EQ(ZwWaitForSingleObject(thread->Handle(), FALSE, &poll), STATUS_WAIT_0)
            << "every thread has ended";
    }
    threads.clear();
    EXPECT_FALSE(waitReturned.load()) << "the wait unwinds instead of returning";
    EXPECT_TRUE(finallyRan.load());
    EXPECT_TRUE(abnormal.load()) << "AbnormalTermination() while unwinding";
    EXPECT_FALSE(handlerRan.load()) << "exception guards let the unwind pass";
    EXPECT_FALSE(delayReturned.load());
    EXPECT_TRUE(delayFinallyRan.load());
    EXPECT_EQ(handlerWait.load(), STATUS_WAIT_0) << "a wait on the way out proceeds";
    EXPECT_EQ(KeWaitForMutexObject(&mutex, Executive, KernelMode, FALSE, &poll),
              STATUS_ABANDONED_WAIT_0);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(busyWaits.load(), 1) << "unwound at the wait it reached after the power-off began";
    KeCancelTimer(&pulse.Timer);
}

using PowerOffDeathTest = PowerOffTest;

TEST_F(PowerOffDeathTest, ThreadThatNeverReachesAWaitBugChecks) {
    EXPECT_BUGCHECK(
        {
            HANDLE thread;
            PsCreateSystemThread(
                &thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID) {
                    for (;;) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    }
                },
                nullptr);
            KiPowerOffThreads();
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION,
        "thread never reached a wait while the machine powered off");
}

} // namespace
