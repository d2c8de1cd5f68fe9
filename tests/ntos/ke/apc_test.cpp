// Kernel APCs: delivery during waits at PASSIVE_LEVEL (the wait goes on),
// deferral inside critical regions and at raised IRQL, and the rules of a
// thread's end.
#include "expect_bugcheck.h"
#include "ke_test_util.h"

#include <atomic>

namespace {

class ApcTest : public KernelTest {};

// An APC whose routines count their runs and check, as they run, that they
// run in the target thread: the kernel routine at APC_LEVEL, the normal one
// at PASSIVE_LEVEL.
struct ApcRecord {
    KAPC Apc;
    std::atomic<int> KernelRuns{0};
    std::atomic<int> NormalRuns{0};
    PKTHREAD Target = nullptr;
};

VOID RecordKernelRoutine(PKAPC Apc, PKNORMAL_ROUTINE*, PVOID*, PVOID*, PVOID*) {
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL) << "kernel routine";
    auto* record = CONTAINING_RECORD(Apc, ApcRecord, Apc);
    EXPECT_EQ(KeGetCurrentThread(), record->Target) << "an APC runs in its target thread";
    record->KernelRuns.fetch_add(1);
}

VOID RecordNormalRoutine(PVOID Context, PVOID, PVOID) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "normal routine";
    static_cast<ApcRecord*>(Context)->NormalRuns.fetch_add(1);
}

void QueueTo(ApcRecord& Record, PKTHREAD Thread) {
    Record.Target = Thread;
    KeInitializeApc(&Record.Apc, Thread, OriginalApcEnvironment, RecordKernelRoutine, nullptr,
                    RecordNormalRoutine, KernelMode, &Record);
    EXPECT_TRUE(KeInsertQueueApc(&Record.Apc, nullptr, nullptr, 0));
}

TEST_F(ApcTest, ApcRunsDuringAPassiveWaitAndTheWaitGoesOn) {
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    std::atomic<PKTHREAD> waiter{nullptr};
    std::atomic<NTSTATUS> result{-1};
    ApcRecord record;
    TestThread thread([&] {
        waiter = KeGetCurrentThread();
        result = KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
    });
    WaitUntil([&] { return IsThreadBlocked(waiter.load()); });
    QueueTo(record, waiter.load());
    WaitUntil([&] { return record.NormalRuns.load() != 0; });
    EXPECT_EQ(record.KernelRuns.load(), 1);
    EXPECT_EQ(record.NormalRuns.load(), 1);
    EXPECT_EQ(result.load(), -1) << "the wait must go on after the APC";
    KeSetEvent(&release, 0, FALSE);
    thread.Join();
    EXPECT_EQ(result.load(), STATUS_WAIT_0);
}

// A queued APC is not queued again until it has run.
TEST_F(ApcTest, ApcWaitsUntilTheThreadLeavesItsCriticalRegion) {
    ApcRecord record;
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    QueueTo(record, KeGetCurrentThread());
    EXPECT_FALSE(KeInsertQueueApc(&record.Apc, nullptr, nullptr, 0)) << "already queued";
    KEVENT set;
    KeInitializeEvent(&set, NotificationEvent, TRUE);
    KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, nullptr);
    KeLeaveCriticalRegion();
    EXPECT_EQ(record.KernelRuns.load(), 0) << "one critical region is still open";
    KeLeaveCriticalRegion();
    EXPECT_EQ(record.KernelRuns.load(), 1);
    EXPECT_EQ(record.NormalRuns.load(), 1);
}

TEST_F(ApcTest, ApcWaitsUntilIrqlDropsToPassive) {
    ApcRecord record;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    QueueTo(record, KeGetCurrentThread());
    EXPECT_EQ(record.KernelRuns.load(), 0);
    KeLowerIrql(old);
    EXPECT_EQ(record.NormalRuns.load(), 1);
}

TEST_F(ApcTest, ApcForTheOriginalProcessWaitsWhileAttached) {
    PEPROCESS process;
    ASSERT_EQ(PspCreateProcess(u"agent.exe", &process), STATUS_SUCCESS);
    ApcRecord record;
    KeAttachProcess(reinterpret_cast<PRKPROCESS>(process));
    QueueTo(record, KeGetCurrentThread());
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    KeLowerIrql(old);
    EXPECT_EQ(record.KernelRuns.load(), 0) << "not in the APC's process context";
    KeDetachProcess();
    EXPECT_EQ(record.KernelRuns.load(), 1);
    EXPECT_EQ(PspTerminateProcess(process, STATUS_SUCCESS), STATUS_SUCCESS);
    ObDereferenceObject(process);
}

using ApcDeathTest = ApcTest;

TEST_F(ApcDeathTest, ThreadEndingInACriticalRegionOrAtRaisedIrqlBugChecks) {
    EXPECT_BUGCHECK({ TestThread thread([] { KeEnterCriticalRegion(); }); }, APC_INDEX_MISMATCH,
                    "thread ended inside a critical region");
    EXPECT_BUGCHECK(
        {
            TestThread thread([] {
                KIRQL old;
                KeRaiseIrql(APC_LEVEL, &old);
            });
        },
        IRQL_GT_ZERO_AT_SYSTEM_SERVICE, "thread ended at a raised IRQL");
}

} // namespace
