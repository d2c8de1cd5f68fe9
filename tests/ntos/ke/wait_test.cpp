// Dispatcher objects and waits: events, semaphores, mutants, WaitAll/WaitAny,
// time-outs and the IRQL rule for waits.
#include "expect_bugcheck.h"
#include "ke_test_util.h"
#include "ntos/ke/ki.h"

#include <atomic>
#include <memory>
#include <vector>

namespace {

class WaitTest : public KernelTest {};

// Waits (with a generous real-time bound) until Predicate holds.
template <typename P> bool Eventually(P Predicate) {
    for (int i = 0; i < 5000 && !Predicate(); ++i) {
        LARGE_INTEGER t = RelativeMs(1);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
    return Predicate();
}

// The status a call raised, or STATUS_SUCCESS when it returned.
template <typename F> NTSTATUS RaisedBy(F Call) {
    NTSTATUS raised = STATUS_SUCCESS;
    _SEH2_TRY { Call(); }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) { raised = _SEH2_GetExceptionCode(); }
    _SEH2_END;
    return raised;
}

TEST_F(WaitTest, SynchronizationEventReleasesExactlyOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(std::make_unique<TestThread>([&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                      STATUS_WAIT_0);
            released.fetch_add(1);
        }));
    }
    for (int expected = 1; expected <= 4; ++expected) {
        // Wait until the remaining waiters are all blocked, then release one.
        LARGE_INTEGER t = RelativeMs(20);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
        EXPECT_EQ(released.load(), expected - 1);
        KeSetEvent(&event, 0, FALSE);
        EXPECT_TRUE(Eventually([&] { return released.load() == expected; }));
        EXPECT_EQ(KeReadStateEvent(&event), 0) << "the event must be consumed by the waiter";
    }
}

TEST_F(WaitTest, NotificationEventReleasesAllWaitersAndStaysSet) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    {
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int i = 0; i < 3; ++i) {
            threads.push_back(std::make_unique<TestThread>([&] {
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
                released.fetch_add(1);
            }));
        }
        EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0) << "previous state";
    }
    EXPECT_EQ(released.load(), 3);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
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
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero,
                                       nullptr),
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

TEST_F(WaitTest, WaitAnyReportsTheFirstSignalledIndex) {
    KEVENT events[5];
    PVOID objects[5];
    KWAIT_BLOCK blocks[5];
    for (int i = 0; i < 5; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        objects[i] = &events[i];
    }
    KeSetEvent(&events[3], 0, FALSE);
    KeSetEvent(&events[4], 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(5, objects, WaitAny, Executive, KernelMode, FALSE,
                                       nullptr, blocks),
              STATUS_WAIT_3);
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

TEST_F(WaitTest, ThreadObjectIsSignalledWhenTheThreadEnds) {
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    TestThread worker([&] { KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr); });
    LARGE_INTEGER zero{};
    EXPECT_EQ(ZwWaitForSingleObject(worker.Handle(), FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&go, 0, FALSE);
    EXPECT_EQ(ZwWaitForSingleObject(worker.Handle(), FALSE, nullptr), STATUS_WAIT_0);
}

// KeAreApcsDisabled reports critical regions, not the IRQL.
TEST_F(WaitTest, ApcsDisabledMeansACriticalRegion) {
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_FALSE(KeAreApcsDisabled()) << "at APC_LEVEL outside a critical region";
    KeLowerIrql(old);
    KeEnterCriticalRegion();
    EXPECT_TRUE(KeAreApcsDisabled());
    KeLeaveCriticalRegion();
}

// An owner acquiring its mutant past the recursion limit gets
// STATUS_MUTANT_LIMIT_EXCEEDED; the mutant stays as it was.
TEST_F(WaitTest, MutantPastItsRecursionLimitRaises) {
    KMUTANT mutant;
    KeInitializeMutant(&mutant, TRUE);
    mutant.Header.SignalState = MINLONG;  // as after 2^31 acquisitions
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
    PVOID objects[4] = {&event, &event, &event, &event};
    EXPECT_BUGCHECK(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE,
                                             nullptr, nullptr),
                    DRIVER_VERIFIER_DETECTED_VIOLATION, "without a wait block array");
}

} // namespace
