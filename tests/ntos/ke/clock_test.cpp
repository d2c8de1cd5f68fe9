// The clock, timers and DPCs: a periodic timer fires once per clock jump,
// timed waits end by a jump, absolute time-outs, DPCs run at DISPATCH_LEVEL on
// their processor's DPC thread, when and where a processor delivers them.
#include "ke_test_util.h"
#include "ntos/ke/ki.h"

#include <atomic>

namespace {

// Slow the clock so that real time does not make timers fire by itself.
class ClockTest : public KernelTest {
  protected:
    void SetUp() override {
        Config.ClockScale = 0.001;
        KernelTest::SetUp();
    }
};

VOID RecordDpc(PKDPC, PVOID Context, PVOID, PVOID);

struct DpcRecord {
    explicit DpcRecord(EVENT_TYPE Type = NotificationEvent) {
        KeInitializeEvent(&Ran, Type, FALSE);
        KeInitializeDpc(&Dpc, RecordDpc, this);
    }
    KDPC Dpc;
    KEVENT Ran;
    std::atomic<int> Count{0};
    std::atomic<KIRQL> Irql{0xFF};
    std::atomic<PKTHREAD> Thread{nullptr};
};

VOID RecordDpc(PKDPC, PVOID Context, PVOID, PVOID) {
    auto* record = static_cast<DpcRecord*>(Context);
    record->Irql = KeGetCurrentIrql();
    record->Thread = KeGetCurrentThread();
    record->Count.fetch_add(1);
    KeSetEvent(&record->Ran, 0, FALSE);
}

constexpr LONGLONG OneSecond = 10000000;

// Below DISPATCH_LEVEL a DPC runs (at DISPATCH_LEVEL, on its processor's DPC
// thread) before KeInsertQueueDpc returns.
TEST_F(ClockTest, DpcQueuedBelowDispatchLevelRunsBeforeTheInsertReturns) {
    for (KIRQL irql : {KIRQL{PASSIVE_LEVEL}, KIRQL{APC_LEVEL}}) {
        DpcRecord record;
        KIRQL old;
        KeRaiseIrql(irql, &old);
        EXPECT_TRUE(KeInsertQueueDpc(&record.Dpc, nullptr, nullptr));
        EXPECT_EQ(record.Count.load(), 1)
            << "queued at IRQL " << int(irql) << ": runs got/expected";
        KeLowerIrql(old);
        EXPECT_EQ(record.Irql.load(), DISPATCH_LEVEL);
        EXPECT_NE(record.Thread.load(), KeGetCurrentThread());
        EXPECT_FALSE(KeRemoveQueueDpc(&record.Dpc)) << "not queued any more";
    }
}

// At DISPATCH_LEVEL a DPC for the own processor waits until the processor
// drops below DISPATCH_LEVEL, so it can always still be removed.
TEST_F(ClockTest, DpcQueuedAtDispatchLevelWaitsUntilTheProcessorLowersIrql) {
    DpcRecord record;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&record.Dpc, nullptr, nullptr));
    KeStallExecutionProcessor(20000);
    EXPECT_EQ(record.Count.load(), 0) << "ran under a caller at DISPATCH_LEVEL";
    EXPECT_TRUE(KeRemoveQueueDpc(&record.Dpc)) << "still queued";
    EXPECT_TRUE(KeInsertQueueDpc(&record.Dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&record.Dpc, nullptr, nullptr)) << "queued once at a time";
    KeLowerIrql(old);
    EXPECT_EQ(record.Count.load(), 1) << "runs once the IRQL drops";
}

// Processors run their DPCs concurrently: each of two DPCs on two processors
// waits to see the other one running.
TEST_F(ClockTest, DpcsOfTwoProcessorsRunConcurrently) {
    struct Meeting {
        std::atomic<int> Arrived{0};
        std::atomic<int> Met{0};
    } meeting;
    auto meet = [](PKDPC, PVOID Context, PVOID, PVOID) {
        auto m = static_cast<Meeting*>(Context);
        m->Arrived++;
        for (int i = 0; i < 5000 && m->Arrived.load() < 2; ++i) {
            KeStallExecutionProcessor(1000);
        }
        if (m->Arrived.load() == 2) {
            m->Met++;
        }
    };
    KDPC here;
    KDPC there;
    KeInitializeDpc(&here, meet, &meeting);
    KeInitializeDpc(&there, meet, &meeting);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetTargetProcessorDpc(&there, static_cast<CCHAR>(1 - KeGetCurrentProcessorNumber()));
    KeInsertQueueDpc(&here, nullptr, nullptr);
    KeInsertQueueDpc(&there, nullptr, nullptr);
    KeLowerIrql(old);
    for (int i = 0; i < 5000 && meeting.Met.load() < 2; ++i) {
        LARGE_INTEGER t = RelativeMs(1);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
    EXPECT_EQ(meeting.Met.load(), 2) << "DPCs that saw each other running";
}

TEST_F(ClockTest, PeriodicTimerFiresOncePerJump) {
    DpcRecord record(SynchronizationEvent);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    LARGE_INTEGER due;
    due.QuadPart = -OneSecond;
    EXPECT_FALSE(KeSetTimerEx(&timer, due, 1000, &record.Dpc)) << "was not pending";
    for (int i = 1; i <= 3; ++i) {
        KiClockJump(OneSecond);
        KeWaitForSingleObject(&record.Ran, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(record.Count.load(), i);
    }
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_TRUE(KeCancelTimer(&timer));
}

// A blocked timed wait or delay ends only when the clock passes its time-out.
TEST_F(ClockTest, TimeOutsEndByAJump) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER past = now;
    past.QuadPart -= OneSecond;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);

    const struct {
        const char* Name;
        LONGLONG Seconds;
        bool Absolute;
        bool Delay;
        NTSTATUS Expected;
    } cases[] = {
        {"relative wait", 30, false, false, STATUS_TIMEOUT},
        {"absolute wait", 10, true, false, STATUS_TIMEOUT},
        {"delay", 5, false, true, STATUS_SUCCESS},
    };
    LONGLONG jumped = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::atomic<NTSTATUS> result{-1};
        std::atomic<PKTHREAD> self{nullptr};
        TestThread waiter([&] {
            self = KeGetCurrentThread();
            LARGE_INTEGER t;
            KeQuerySystemTime(&t);
            t.QuadPart = c.Absolute ? t.QuadPart + c.Seconds * OneSecond : -c.Seconds * OneSecond;
            result = c.Delay ? KeDelayExecutionThread(KernelMode, FALSE, &t)
                             : KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
        });
        // Jump only once the waiter is blocked: a wait begun after the jump
        // would have nothing left to end it. Real time, as the clock is slowed.
        for (int i = 0; i < 20000 && !IsThreadBlocked(self.load()); ++i) {
            KeStallExecutionProcessor(1000);
        }
        ASSERT_TRUE(IsThreadBlocked(self.load()));
        EXPECT_EQ(result.load(), -1);
        KiClockJump((c.Seconds + 1) * OneSecond);
        jumped += (c.Seconds + 1) * OneSecond;
        waiter.Join();
        EXPECT_EQ(result.load(), c.Expected);
    }
    LARGE_INTEGER later;
    KeQuerySystemTime(&later);
    EXPECT_GE(later.QuadPart - now.QuadPart, jumped);
}

} // namespace
