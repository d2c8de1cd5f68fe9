// Work queues: where and how items run, which queue a kind selects, order
// within a queue, refusals, exceptions, stopping, failed start-up, misuse.
#include "expect_bugcheck.h"
#include "frame/work_queue.h"
#include "driver/support/test_threads.h"

#include <atomic>
#include <memory>
#include <vector>

namespace {

// Everything a queue thread may still touch (items, their events) is made
// with Make, so that it outlives the queue threads, which end in TearDown.
class WorkQueueTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_TRUE(StartWorkQueues());
    }
    void TearDown() override {
        StopWorkQueues();
        Alive.clear();
        DriverTest::TearDown();
    }
    template <typename T, typename... Args> T& Make(Args&&... Arguments) {
        auto Object = std::make_shared<T>(std::forward<Args>(Arguments)...);
        Alive.push_back(Object);
        return *Object;
    }

    std::vector<std::shared_ptr<void>> Alive;
};

struct Gate {
    KEVENT Event;
    Gate() { KeInitializeEvent(&Event, NotificationEvent, FALSE); }
    void Open() { KeSetEvent(&Event, 0, FALSE); }
};

// Waits at most about two seconds for Event; TRUE when it was signalled.
bool WaitFor(KEVENT* Event, LONGLONG Milliseconds = 2000) {
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = -10000 * Milliseconds;
    return KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &Timeout) == STATUS_SUCCESS;
}

// An item that counts its runs and signals Done.
struct Probe {
    WorkItem Item;
    KEVENT Done;
    std::atomic<int> Runs{0};

    Probe() {
        KeInitializeEvent(&Done, NotificationEvent, FALSE);
        Item.Routine = [](PVOID Context) {
            Probe* P = static_cast<Probe*>(Context);
            P->Runs++;
            KeSetEvent(&P->Done, 0, FALSE);
        };
        Item.Context = this;
    }
};

// An item that holds its queue thread until Gate is set.
struct Blocker {
    WorkItem Item;
    KEVENT Started;
    KEVENT* Gate;

    explicit Blocker(KEVENT* G) : Gate(G) {
        KeInitializeEvent(&Started, NotificationEvent, FALSE);
        Item.Routine = [](PVOID Context) {
            Blocker* B = static_cast<Blocker*>(Context);
            KeSetEvent(&B->Started, 0, FALSE);
            KeWaitForSingleObject(B->Gate, Executive, KernelMode, FALSE, NULL);
        };
        Item.Context = this;
    }
};

// Occupies every thread of one queue; Release lets them go.
struct QueueHeld {
    Gate Held;
    std::vector<std::unique_ptr<Blocker>> Blockers;

    QueueHeld(ULONG Kind, ULONG Threads) {
        for (ULONG I = 0; I < Threads; ++I) {
            Blockers.push_back(std::make_unique<Blocker>(&Held.Event));
            QueueWorkItem(&Blockers.back()->Item, Kind);
        }
        for (auto& B : Blockers) {
            EXPECT_TRUE(WaitFor(&B->Started)) << "a queue thread is missing";
        }
    }
    void Release() { Held.Open(); }
};

// Flush items going to queue 0 stall the copy-on-write tests; here, the
// kinds the driver does not use go to queue 1.
TEST_F(WorkQueueTest, KindOneSelectsQueueZeroAndEveryOtherKindQueueOne) {
    QueueHeld& QueueOne = Make<QueueHeld>(WORK_KIND_FLUSH, 2);
    Probe &General = Make<Probe>(), &Two = Make<Probe>(), &Seven = Make<Probe>();
    QueueWorkItem(&Two.Item, 2);
    QueueWorkItem(&Seven.Item, 7);
    QueueWorkItem(&General.Item, WORK_KIND_GENERAL);
    ASSERT_TRUE(WaitFor(&General.Done)) << "kind 1 must not wait for queue 1";
    EXPECT_FALSE(WaitFor(&Two.Done, 50)) << "kind 2 ran while queue 1 was held";
    EXPECT_FALSE(WaitFor(&Seven.Done, 0)) << "kind 7 ran while queue 1 was held";
    QueueOne.Release();
    EXPECT_TRUE(WaitFor(&Two.Done));
    EXPECT_TRUE(WaitFor(&Seven.Done));
}

TEST_F(WorkQueueTest, ItemsOfAQueueAreTakenOldestFirst) {
    // Hold both threads of queue 1, queue the items behind them, then let
    // only one thread go: it alone takes them, in queue order.
    Gate &First = Make<Gate>(), &Second = Make<Gate>();
    Blocker &A = Make<Blocker>(&First.Event), &B = Make<Blocker>(&Second.Event);
    QueueWorkItem(&A.Item, WORK_KIND_FLUSH);
    QueueWorkItem(&B.Item, WORK_KIND_FLUSH);
    ASSERT_TRUE(WaitFor(&A.Started));
    ASSERT_TRUE(WaitFor(&B.Started));

    struct Numbered {
        WorkItem Item;
        ULONG Number;
        std::vector<ULONG>* Order;
    };
    std::vector<ULONG>& Order = Make<std::vector<ULONG>>();
    std::vector<Numbered>& Items = Make<std::vector<Numbered>>(20);
    for (ULONG I = 0; I < Items.size(); ++I) {
        Items[I].Number = I;
        Items[I].Order = &Order;
        Items[I].Item.Context = &Items[I];
        Items[I].Item.Routine = [](PVOID Context) {
            Numbered* N = static_cast<Numbered*>(Context);
            N->Order->push_back(N->Number);
        };
        QueueWorkItem(&Items[I].Item, WORK_KIND_FLUSH);
    }
    Probe& Last = Make<Probe>();
    QueueWorkItem(&Last.Item, WORK_KIND_FLUSH);
    First.Open();
    ASSERT_TRUE(WaitFor(&Last.Done));
    ASSERT_EQ(Order.size(), Items.size());
    for (ULONG I = 0; I < Order.size(); ++I) {
        EXPECT_EQ(Order[I], I);
    }
    Second.Open();
}

TEST_F(WorkQueueTest, ItemWithoutRoutineIsRefused) {
    WorkItem& Empty = Make<WorkItem>();
    PLIST_ENTRY Poison = reinterpret_cast<PLIST_ENTRY>(0x5A5A);
    Empty.Link.Flink = Empty.Link.Blink = Poison;
    Empty.Routine = NULL;
    Empty.Context = NULL;
    QueueWorkItem(&Empty, WORK_KIND_GENERAL);
    QueueWorkItem(NULL, WORK_KIND_FLUSH);
    EXPECT_EQ(Empty.Link.Flink, Poison) << "the item was linked into a queue";
    Probe& After = Make<Probe>();
    QueueWorkItem(&After.Item, WORK_KIND_GENERAL);
    EXPECT_TRUE(WaitFor(&After.Done));
}

TEST_F(WorkQueueTest, ExpectedExceptionDropsTheItemAndEveryThreadServesOn) {
    for (WorkItem& Item : Make<std::vector<WorkItem>>(6)) {
        Item.Routine = [](PVOID) { ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES); };
        Item.Context = NULL;
        QueueWorkItem(&Item, WORK_KIND_GENERAL);
    }
    // All three threads of queue 0 must still be there to hold these.
    Make<QueueHeld>(WORK_KIND_GENERAL, 3).Release();
}

TEST_F(WorkQueueTest, FilterHandlesExpectedStatusesAndLooksThroughInPageErrors) {
    EXCEPTION_RECORD Record = {};
    EXCEPTION_POINTERS Pointers = {&Record, NULL};
    Record.ExceptionCode = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(ExpectedExceptionFilter(&Pointers), EXCEPTION_EXECUTE_HANDLER);
    Record.ExceptionCode = STATUS_ACCESS_VIOLATION;
    EXPECT_EQ(ExpectedExceptionFilter(&Pointers), EXCEPTION_CONTINUE_SEARCH);

    Record.ExceptionCode = STATUS_IN_PAGE_ERROR;
    Record.NumberParameters = 3;
    Record.ExceptionInformation[2] = (ULONG_PTR)(ULONG)STATUS_ACCESS_VIOLATION;
    EXPECT_EQ(ExpectedExceptionFilter(&Pointers), EXCEPTION_CONTINUE_SEARCH);
    Record.ExceptionInformation[2] = (ULONG_PTR)(ULONG)STATUS_DEVICE_DATA_ERROR;
    EXPECT_EQ(ExpectedExceptionFilter(&Pointers), EXCEPTION_EXECUTE_HANDLER);
    Record.NumberParameters = 2;
    Record.ExceptionInformation[2] = (ULONG_PTR)(ULONG)STATUS_ACCESS_VIOLATION;
    EXPECT_EQ(ExpectedExceptionFilter(&Pointers), EXCEPTION_EXECUTE_HANDLER)
        << "without a third parameter the in-page error itself counts";
}

TEST_F(WorkQueueTest, StopRunsWhatWasQueuedWaitsForItAndThenRefusesItems) {
    std::atomic<int>&Running = Make<std::atomic<int>>(0), &Ran = Make<std::atomic<int>>(0);
    struct Slow {
        WorkItem Item;
        std::atomic<int>* Running;
        std::atomic<int>* Ran;
    };
    std::vector<Slow>& Items = Make<std::vector<Slow>>(10);
    for (ULONG I = 0; I < Items.size(); ++I) {
        Items[I] = {{}, &Running, &Ran};
        Items[I].Item.Context = &Items[I];
        Items[I].Item.Routine = [](PVOID Context) {
            Slow* S = static_cast<Slow*>(Context);
            (*S->Running)++;
            LARGE_INTEGER Delay;
            Delay.QuadPart = -10000 * 20; // 20 ms
            KeDelayExecutionThread(KernelMode, FALSE, &Delay);
            (*S->Ran)++;
            (*S->Running)--;
        };
        QueueWorkItem(&Items[I].Item, I % 2);
    }
    StopWorkQueues();
    EXPECT_EQ(Ran.load(), 10) << "items queued before the stop are run before it returns";
    EXPECT_EQ(Running.load(), 0) << "a routine still ran after the stop";

    Probe& Late = Make<Probe>();
    QueueWorkItem(&Late.Item, WORK_KIND_GENERAL);
    EXPECT_FALSE(WaitFor(&Late.Done, 50));
    EXPECT_EQ(Late.Runs.load(), 0);
    EXPECT_TRUE(StartWorkQueues()) << "stopped queues start again";
}

TEST_F(WorkQueueTest, ManyProducersEveryItemRunsExactlyOnce) {
    const ULONG Producers = 6, PerProducer = 200;
    // Queued at DISPATCH_LEVEL, each runs at PASSIVE_LEVEL in a system thread.
    struct Counted {
        WorkItem Item;
        std::atomic<int> Runs{0};
        std::atomic<ULONG>* Total;
        std::atomic<ULONG>* Misplaced;
    };
    std::vector<Counted>& Items = Make<std::vector<Counted>>(Producers * PerProducer);
    std::atomic<ULONG>&Total = Make<std::atomic<ULONG>>(0),
    &Misplaced = Make<std::atomic<ULONG>>(0);
    RunOnSystemThreads(Producers, [&](ULONG Index) {
        for (ULONG I = 0; I < PerProducer; ++I) {
            Counted& C = Items[Index * PerProducer + I];
            C.Total = &Total;
            C.Misplaced = &Misplaced;
            C.Item.Context = &C;
            C.Item.Routine = [](PVOID Context) {
                Counted* Mine = static_cast<Counted*>(Context);
                Mine->Runs++;
                (*Mine->Total)++;
                if (KeGetCurrentIrql() != PASSIVE_LEVEL ||
                    !PsIsSystemThread(PsGetCurrentThread()) ||
                    PsGetCurrentProcess() != PsInitialSystemProcess) {
                    (*Mine->Misplaced)++;
                }
            };
            KIRQL Irql;
            KeRaiseIrql(DISPATCH_LEVEL, &Irql);
            QueueWorkItem(&C.Item, I % 3);
            KeLowerIrql(Irql);
        }
    });
    StopWorkQueues();
    EXPECT_EQ(Total.load(), Producers * PerProducer);
    EXPECT_EQ(Misplaced.load(), 0u) << "items run above PASSIVE_LEVEL or outside a system thread";
    for (Counted& C : Items) {
        ASSERT_EQ(C.Runs.load(), 1);
    }
}

class WorkQueueDeathTest : public WorkQueueTest {};

TEST_F(WorkQueueDeathTest, RoutineReturningAtRaisedIrqlIsABugCheck) {
    EXPECT_BUGCHECK(
        {
            WorkItem Item;
            Item.Context = NULL;
            Item.Routine = [](PVOID) {
                KIRQL Ignored;
                KeRaiseIrql(DISPATCH_LEVEL, &Ignored);
            };
            QueueWorkItem(&Item, WORK_KIND_GENERAL);
            LARGE_INTEGER Delay;
            Delay.QuadPart = -10000 * 5000;
            KeDelayExecutionThread(KernelMode, FALSE, &Delay);
        },
        WORKER_THREAD_RETURNED_AT_BAD_IRQL, "");
}

} // namespace
