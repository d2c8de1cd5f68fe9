// Dispatcher objects and waits: events, semaphores, mutants, WaitAll/WaitAny,
// time-outs and the IRQL rule for waits.
#include "expect_bugcheck.h"
#include "ke_test_util.h"
#include "ntos/ke/ki.h"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace {

class WaitTest : public KernelTest {};

// The status a call raised, or STATUS_SUCCESS when it returned.
template <typename F> NTSTATUS RaisedBy(F Call) {
    NTSTATUS raised = STATUS_SUCCESS;
    _SEH2_TRY {
        Call();
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        raised = _SEH2_GetExceptionCode();
    }
    _SEH2_END;
    return raised;
}

// A synchronization event releases one waiter per set and is consumed by it;
// a notification event releases every waiter and stays set.
TEST_F(WaitTest, EventsReleaseOneWaiterPerSetOrAll) {
    for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
        const bool one = type == SynchronizationEvent;
        SCOPED_TRACE(one ? "synchronization event" : "notification event");
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        std::atomic<int> released{0};
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int i = 0; i < 3; ++i) {
            threads.push_back(std::make_unique<TestThread>([&] {
                EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                          STATUS_WAIT_0);
                released.fetch_add(1);
            }));
        }
        for (int set = 1; set <= (one ? 3 : 1); ++set) {
            // Wait until the remaining waiters are all blocked, then set.
            LARGE_INTEGER t = RelativeMs(20);
            KeDelayExecutionThread(KernelMode, FALSE, &t);
            EXPECT_EQ(released.load(), set - 1);
            EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0) << "previous state";
            WaitUntil([&] { return released.load() == (one ? set : 3); });
            EXPECT_EQ(KeReadStateEvent(&event), one ? 0 : 1) << "got/expected state after the set";
        }
        threads.clear();
        EXPECT_EQ(KeSetEvent(&event, 0, FALSE), one ? 0 : 1) << "previous state";
        EXPECT_EQ(KeResetEvent(&event), 1) << "previous state";
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    }
}

TEST_F(WaitTest, PulseReleasesCurrentWaitersAndLeavesEventReset) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    TestThread waiter([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        released = 1;
    });
    // A pulse releases only threads already waiting.
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> guard(KiDispatcherLock);
        return !KiIsListEmpty(&event.Header.WaitListHead);
    }));
    KePulseEvent(&event, 0, FALSE);
    waiter.Join();
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(WaitTest, WaitAllAcquiresAllOrNothing) {
    KEVENT a, b;
    KSEMAPHORE semaphore;
    KeInitializeEvent(&a, SynchronizationEvent, TRUE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    KeInitializeSemaphore(&semaphore, 1, 5);
    PVOID objects[] = {&a, &b, &semaphore};
    LARGE_INTEGER zero{};
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&a), 1) << "a failed WaitAll must not consume anything";
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);

    std::atomic<NTSTATUS> result{-1};
    TestThread waiter([&] {
        result = KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE,
                                          nullptr, nullptr);
    });
    LARGE_INTEGER t = RelativeMs(20);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
    EXPECT_EQ(result.load(), -1);
    KeSetEvent(&b, 0, FALSE);
    waiter.Join();
    EXPECT_EQ(result.load(), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

TEST_F(WaitTest, SemaphoreCountsAndRaisesPastItsLimit) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
    EXPECT_EQ(RaisedBy([&] { KeReleaseSemaphore(&semaphore, 0, 1, FALSE); }),
              STATUS_SEMAPHORE_LIMIT_EXCEEDED);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero),
              STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);
}

TEST_F(WaitTest, MutexIsRecursiveAndIsACriticalRegionWhileOwned) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    EXPECT_TRUE(KeAreApcsDisabled());
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread()) << "still owned once";
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    // KeAreApcsDisabled reports critical regions, not the IRQL.
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_FALSE(KeAreApcsDisabled()) << "at APC_LEVEL outside a critical region";
    KeLowerIrql(old);
}

TEST_F(WaitTest, MutantOfAnEndedOwnerIsAbandonedToTheNextWaiter) {
    KMUTANT mutant;
    KeInitializeMutant(&mutant, FALSE);
    KEVENT owned;
    KeInitializeEvent(&owned, NotificationEvent, FALSE);
    PKTHREAD owner = nullptr;
    TestThread ownerThread([&] {
        KeWaitForSingleObject(&mutant, Executive, KernelMode, FALSE, nullptr);
        owner = KeGetCurrentThread();
        KeSetEvent(&owned, 0, FALSE);
    });
    KeWaitForSingleObject(&owned, Executive, KernelMode, FALSE, nullptr);
    ownerThread.Join();
    EXPECT_EQ(mutant.OwnerThread, nullptr);
    EXPECT_TRUE(mutant.Abandoned) << "the record shows the abandonment";
    EXPECT_EQ(KeWaitForSingleObject(&mutant, Executive, KernelMode, FALSE, nullptr),
              STATUS_ABANDONED);
    EXPECT_EQ(mutant.OwnerThread, KeGetCurrentThread());
    EXPECT_FALSE(mutant.Abandoned);
    EXPECT_EQ(KeReleaseMutant(&mutant, 1, FALSE, FALSE), 0);
}

// A set or release with Wait TRUE returns at DISPATCH_LEVEL and the wait that
// follows gives the caller's IRQL back.
TEST_F(WaitTest, WaitTrueKeepsTheDispatcherRaisedUntilTheNextWait) {
    KEVENT event;
    KSEMAPHORE semaphore;
    KMUTEX mutex;
    KEVENT ready;
    KeInitializeEvent(&ready, NotificationEvent, TRUE);
    const struct {
        const char* Routine;
        std::function<void()> SignalAndHold;
        std::function<LONG()> State;
        LONG Expected;
    } cases[] = {
        {"KeSetEvent", [&] { KeSetEvent(&event, 0, TRUE); },
         [&] { return KeReadStateEvent(&event); }, 1},
        {"KePulseEvent", [&] { KePulseEvent(&event, 0, TRUE); },
         [&] { return KeReadStateEvent(&event); }, 0},
        {"KeReleaseSemaphore", [&] { KeReleaseSemaphore(&semaphore, 0, 1, TRUE); },
         [&] { return KeReadStateSemaphore(&semaphore); }, 1},
        {"KeReleaseMutex",
         [&] {
             KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
             KeReleaseMutex(&mutex, TRUE);
         },
         [&] { return KeReadStateMutex(&mutex); }, 1},
    };
    for (const auto& c : cases) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeInitializeSemaphore(&semaphore, 0, 1);
        KeInitializeMutex(&mutex, 0);
        c.SignalAndHold();
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << c.Routine << ": got/expected IRQL";
        EXPECT_EQ(KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr),
                  STATUS_WAIT_0)
            << c.Routine;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << c.Routine << ": after the wait";
        EXPECT_EQ(c.State(), c.Expected) << c.Routine << ": got/expected signal state";
    }
    EXPECT_FALSE(KeAreApcsDisabled()) << "releasing the mutex left its critical region";
}

// An alert ends a blocked alertable wait. An object already signalled
// satisfies an alertable wait; the alert stays pending for the next one.
TEST_F(WaitTest, AlertEndsAnAlertableWaitOrStaysPending) {
    KEVENT set;
    KeInitializeEvent(&set, NotificationEvent, TRUE);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    std::atomic<PKTHREAD> waiter{nullptr};
    std::atomic<NTSTATUS> result{-1};
    TestThread thread([&] {
        waiter = KeGetCurrentThread();
        result = KeWaitForSingleObject(&never, Executive, KernelMode, TRUE, nullptr);
    });
    ASSERT_TRUE(WaitUntil([&] { return IsThreadBlocked(waiter.load()); }));
    KeAlertThread(waiter.load(), KernelMode);
    thread.Join();
    EXPECT_EQ(result.load(), STATUS_ALERTED) << "a blocked waiter";

    KeAlertThread(KeGetCurrentThread(), KernelMode);
    EXPECT_EQ(KeWaitForSingleObject(&set, Executive, KernelMode, TRUE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, TRUE, nullptr), STATUS_ALERTED);
}

// An owner acquiring its mutant past the recursion limit gets
// STATUS_MUTANT_LIMIT_EXCEEDED; the mutant stays as it was.
TEST_F(WaitTest, MutantPastItsRecursionLimitRaises) {
    KMUTANT mutant;
    KeInitializeMutant(&mutant, TRUE);
    mutant.Header.SignalState = MINLONG; // as after 2^31 acquisitions
    EXPECT_EQ(
        RaisedBy([&] { KeWaitForSingleObject(&mutant, Executive, KernelMode, FALSE, nullptr); }),
        STATUS_MUTANT_LIMIT_EXCEEDED);
    EXPECT_EQ(KeReadStateMutant(&mutant), MINLONG) << "not wrapped to signalled";
    mutant.Header.SignalState = 0;
    KeReleaseMutant(&mutant, 0, FALSE, FALSE);
}

using WaitDeathTest = WaitTest;

// Only a poll may wait at DISPATCH_LEVEL.
TEST_F(WaitDeathTest, MisuseBugChecks) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeLowerIrql(old);
    EXPECT_BUGCHECK(
        {
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER t = RelativeMs(10);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
        },
        IRQL_NOT_LESS_OR_EQUAL, "wait with a non-zero time-out at DISPATCH_LEVEL");
    EXPECT_BUGCHECK(
        {
            KeSetEvent(&event, 0, TRUE);
            KeLowerIrql(PASSIVE_LEVEL);
        },
        IRQL_NOT_LESS_OR_EQUAL, "between a Wait TRUE call and the wait");
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_BUGCHECK(KeReleaseMutex(&mutex, FALSE), THREAD_NOT_MUTEX_OWNER,
                    "mutex released by a thread that does not own it");
    PVOID objects[4] = {&event, &event, &event, &event};
    EXPECT_BUGCHECK(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE,
                                             nullptr, nullptr),
                    DRIVER_VERIFIER_DETECTED_VIOLATION, "without a wait block array");
}

} // namespace
