// Sending and completing requests: completion routines up a stack, pending
// propagation, STATUS_MORE_PROCESSING_REQUIRED, associated requests, and the
// verifier's checks on how drivers pend and complete.
#include "io_fixture.h"

namespace {

struct OwnerResult {
    KEVENT Done;
    BOOLEAN PendingReturned;
    IO_STATUS_BLOCK Status;
};

// The owner of a request from IoAllocateIrp: notes the result, frees the
// request and stops completion there.
NTSTATUS OwnerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    auto result = static_cast<OwnerResult*>(Context);
    result->PendingReturned = Irp->PendingReturned;
    result->Status = Irp->IoStatus;
    IoFreeIrp(Irp);
    KeSetEvent(&result->Done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP OwnedRequest(PDEVICE_OBJECT Top, OwnerResult* Result) {
    KeInitializeEvent(&Result->Done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(Top->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, OwnerCompletion, Result, TRUE, TRUE, TRUE);
    return irp;
}

} // namespace

// Pending reaches the owner through every completion routine when the bottom
// pends (and completes at DISPATCH_LEVEL), and is not reported when it
// completes at once.
TEST_F(IoTest, PendingPropagatesUpTheStackOnlyWhenTheBottomPends) {
    for (TestAction bottom : {TestAction::Pend, TestAction::Complete}) {
        const bool pends = bottom == TestAction::Pend;
        SCOPED_TRACE(pends ? "pending bottom" : "completing bottom");
        auto devices = Stack({bottom, TestAction::PassDownObserving, TestAction::PassDown});
        TestExt(devices[0])->Status = STATUS_DEVICE_NOT_READY;
        TestExt(devices[0])->Information = 42;
        OwnerResult result;
        PIRP irp = OwnedRequest(devices[2], &result);
        ASSERT_EQ(devices[2]->StackSize, 3);

        EXPECT_EQ(IoCallDriver(devices[2], irp), pends ? STATUS_PENDING : STATUS_DEVICE_NOT_READY);
        if (pends) {
            EXPECT_EQ(TestQueuedCount(devices[0]), 1u);
            EXPECT_EQ(TestCompleteQueued(devices[0], TestCompleter::DpcThread,
                                         STATUS_DEVICE_NOT_READY, 42),
                      DISPATCH_LEVEL);
            KeWaitForSingleObject(&result.Done, Executive, KernelMode, FALSE, nullptr);
        }
        EXPECT_EQ(KeReadStateEvent(&result.Done), 1);
        EXPECT_EQ(TestExt(devices[1])->CompletionCalls, 1);
        EXPECT_EQ(TestExt(devices[1])->SawPendingReturned, pends);
        EXPECT_EQ(result.PendingReturned, pends) << "pending must reach the owner, and only then";
        EXPECT_EQ(result.Status.Status, STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(result.Status.Information, 42u);
    }
}

TEST_F(IoTest, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
    auto devices =
        Stack({TestAction::Pend, TestAction::ForwardAndWait, TestAction::PassDownObserving});
    TestExt(devices[1])->RecompleteMarker = 7777;
    OwnerResult result;
    PIRP irp = OwnedRequest(devices[2], &result);

    // The middle device waits in its dispatch routine, so complete the bottom
    // from another thread while this one is inside IoCallDriver.
    struct Ctx {
        PDEVICE_OBJECT Bottom;
    } ctx{devices[0]};
    PVOID thread = TestStartSystemThread(
        [](PVOID Context) {
            auto c = static_cast<Ctx*>(Context);
            LARGE_INTEGER interval;
            interval.QuadPart = -10000; // 1 ms
            while (TestQueuedCount(c->Bottom) == 0) {
                KeDelayExecutionThread(KernelMode, FALSE, &interval);
            }
            // The upper routine must not have run at this point.
            TestCompleteQueued(c->Bottom, TestCompleter::SystemThread, STATUS_SUCCESS, 1);
            PsTerminateSystemThread(STATUS_SUCCESS);
        },
        &ctx);

    NTSTATUS status = IoCallDriver(devices[2], irp);
    TestJoinSystemThread(thread);

    EXPECT_EQ(status, STATUS_SUCCESS) << "the middle device completed in its dispatch routine";
    EXPECT_EQ(KeReadStateEvent(&result.Done), 1);
    EXPECT_EQ(TestExt(devices[2])->CompletionCalls, 1) << "upper routine runs once, after the "
                                                          "middle device completes again";
    EXPECT_EQ(TestExt(devices[2])->SeenInformation, 7777u);
    EXPECT_EQ(result.Status.Information, 7777u);
    EXPECT_FALSE(result.PendingReturned) << "the middle device did not return pending";
}

TEST_F(IoTest, AssociatedRequestsCompleteTheirMasterWhenTheLastOneCompletes) {
    auto devices = Stack({TestAction::Pend, TestAction::SplitAssociated});
    TestExt(devices[1])->AssociatedCount = 3;
    OwnerResult result;
    PIRP master = OwnedRequest(devices[1], &result);

    EXPECT_EQ(IoCallDriver(devices[1], master), STATUS_PENDING);
    EXPECT_EQ(TestQueuedCount(devices[0]), 3u);
    EXPECT_EQ(IopLiveIrpCount(), 4u);
    EXPECT_EQ(KeReadStateEvent(&result.Done), 0);

    TestCompleteQueued(devices[0], TestCompleter::DpcThread, STATUS_SUCCESS, 512);
    KeWaitForSingleObject(&result.Done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(result.PendingReturned);
    EXPECT_EQ(result.Status.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Status.Information, 3u) << "the master keeps its own status";
    EXPECT_EQ(IopLiveIrpCount(), 0u) << "associated requests are freed by the I/O manager";
}

TEST_F(IoTest, ReusedRequestCanBeSentAgain) {
    auto devices = Stack({TestAction::Complete});
    OwnerResult result;
    PIRP irp = IoAllocateIrp(devices[0]->StackSize, FALSE);
    for (int round = 0; round < 2; round++) {
        KeInitializeEvent(&result.Done, NotificationEvent, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP Irp, PVOID Context) -> NTSTATUS {
                KeSetEvent(&static_cast<OwnerResult*>(Context)->Done, 0, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &result, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(devices[0], irp), STATUS_SUCCESS);
        EXPECT_EQ(KeReadStateEvent(&result.Done), 1);
        IoReuseIrp(irp, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    }
    IoFreeIrp(irp);
    EXPECT_EQ(TestExt(devices[0])->SeenCount, 2);
}

using IoVerifierDeathTest = IoTest;

// Each way a dispatch or completion routine breaks the request rules, caught
// when the request is sent or, for a pended one, when its bottom completes it.
// Marked pending means the dispatch routine must return STATUS_PENDING,
// whether completion has passed its location already or not.
TEST_F(IoVerifierDeathTest, BrokenPendingAndCompletionRulesAreCaught) {
    const char* const markedButNotPending =
        "marked the request pending but returned a status other than STATUS_PENDING";
    struct Case {
        TestAction Action;
        bool BetweenPendAndPassDown; // in the middle of a three-device stack
        bool CompleteBottom;
        ULONG Code;
        const char* Rule;
    } cases[] = {
        {TestAction::CompleteTwice, false, false, MULTIPLE_IRP_COMPLETE_REQUESTS,
         "completed twice"},
        {TestAction::PendUnmarked, false, true, DRIVER_VERIFIER_IOMANAGER_VIOLATION,
         "STATUS_PENDING without marking"},
        {TestAction::PendAfterComplete, false, false, DRIVER_VERIFIER_IOMANAGER_VIOLATION,
         "STATUS_PENDING without marking"},
        {TestAction::MarkThenComplete, false, false, DRIVER_VERIFIER_IOMANAGER_VIOLATION,
         markedButNotPending},
        {TestAction::MarkThenQueue, false, false, DRIVER_VERIFIER_IOMANAGER_VIOLATION,
         markedButNotPending},
        {TestAction::ReturnRaised, false, false, DRIVER_VERIFIER_IOMANAGER_VIOLATION,
         "returned at another IRQL than it was called at"},
        {TestAction::ForgetPending, true, true, DRIVER_VERIFIER_IOMANAGER_VIOLATION,
         "did not propagate a pending return"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Rule);
        auto devices = c.BetweenPendAndPassDown
                           ? Stack({TestAction::Pend, c.Action, TestAction::PassDown})
                           : Stack({c.Action});
        OwnerResult result;
        PIRP irp = OwnedRequest(devices.back(), &result);
        EXPECT_BUGCHECK(
            {
                IoCallDriver(devices.back(), irp);
                if (c.CompleteBottom) {
                    TestCompleteQueued(devices[0], TestCompleter::DpcThread, STATUS_SUCCESS, 0);
                }
            },
            c.Code, c.Rule);
        // The child bug-checked; this process still owns the unsent request.
        IoFreeIrp(irp);
    }
}

TEST_F(IoVerifierDeathTest, CompletingAboveDispatchLevelIsCaught) {
    auto devices = Stack({TestAction::Pend});
    OwnerResult result;
    PIRP irp = OwnedRequest(devices[0], &result);
    ASSERT_EQ(IoCallDriver(devices[0], irp), STATUS_PENDING);
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(HIGH_LEVEL, &old);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        DRIVER_VERIFIER_IOMANAGER_VIOLATION, "completed at IRQL above DISPATCH_LEVEL");
    TestCompleteQueued(devices[0], TestCompleter::DpcThread, STATUS_SUCCESS, 0);
}

// A request sent with no stack location left for the device, and one never
// freed.
TEST_F(IoVerifierDeathTest, ShortStackAndLeakedRequestsAreCaught) {
    auto devices = Stack({TestAction::Complete, TestAction::PassDownObserving});
    PIRP irp = IoAllocateIrp(1, FALSE); // one location short
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_BUGCHECK(IoCallDriver(devices[1], irp), NO_MORE_IRP_STACK_LOCATIONS, "");
    EXPECT_BUGCHECK(IopVerifyNoLeakedIrps(), DRIVER_VERIFIER_IOMANAGER_VIOLATION, "request leaked");
    IoFreeIrp(irp);
}
