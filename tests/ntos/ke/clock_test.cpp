// The clock, timers and DPCs: timers fire on a clock jump and not before,
// timed waits end by a jump, absolute time-outs, DPCs of two processors run
// concurrently.
#include "ke_test_util.h"

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

struct DpcRecord {
    explicit DpcRecord(EVENT_TYPE Type = NotificationEvent);
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

DpcRecord::DpcRecord(EVENT_TYPE Type) {
    KeInitializeEvent(&Ran, Type, FALSE);
    KeInitializeDpc(&Dpc, RecordDpc, this);
}

constexpr LONGLONG OneSecond = 10000000;

TEST_F(ClockTest, TimerDpcFiresAfterTheJumpNotBefore) {
    DpcRecord record;
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -60 * OneSecond;
    EXPECT_FALSE(KeSetTimer(&timer, due, &record.Dpc));
    KiClockJump(59 * OneSecond);
    LARGE_INTEGER shortWait = RelativeMs(1);
    EXPECT_EQ(KeWaitForSingleObject(&record.Ran, Executive, KernelMode, FALSE, &shortWait),
              STATUS_TIMEOUT);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_TRUE(KeCancelTimer(&timer)) << "still pending";
    EXPECT_FALSE(KeSetTimer(&timer, due, &record.Dpc));
    KiClockJump(61 * OneSecond);
    EXPECT_EQ(KeWaitForSingleObject(&record.Ran, Executive, KernelMode, FALSE, nullptr),
              STATUS_WAIT_0);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer)) << "no longer pending";
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
        TestThread waiter([&] {
            LARGE_INTEGER t;
            KeQuerySystemTime(&t);
            t.QuadPart = c.Absolute ? t.QuadPart + c.Seconds * OneSecond : -c.Seconds * OneSecond;
            result = c.Delay ? KeDelayExecutionThread(KernelMode, FALSE, &t)
                             : KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
        });
        KeStallExecutionProcessor(20000);  // real time: let the waiter block
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
