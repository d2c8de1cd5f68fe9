// Requests built for lower devices: threaded device-control requests
// finished and freed by the I/O manager, and building under pool pressure.
#include "io_fixture.h"

#include <cstring>
#include <string>

namespace {

const ULONG IoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG IoctlOutDirect =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

} // namespace

// Only Information bytes come back, and none on failure.
TEST_F(IoTest, DeviceControlRequestCopiesOutputAndStatusSetsEventAndIsFreed) {
    struct Case {
        TestAction Bottom;
        NTSTATUS Status;
        const char* Output;
    } cases[] = {
        {TestAction::Complete, STATUS_SUCCESS, "0123####"},
        {TestAction::Pend, STATUS_SUCCESS, "0123####"},
        {TestAction::Complete, STATUS_INVALID_PARAMETER, "########"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Status);
        auto devices = Stack({c.Bottom, TestAction::PassDownObserving});
        static const char reply[] = "0123456789";
        TestExt(devices[0])->Reply = reply;
        TestExt(devices[0])->Status = c.Status;
        TestExt(devices[0])->Information = 4;
        char input[6] = "hello";
        char output[8];
        std::memset(output, '#', sizeof(output));
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb = {};
        iosb.Status = STATUS_UNSUCCESSFUL;

        PIRP irp = IoBuildDeviceIoControlRequest(IoctlBuffered, devices[1], input, sizeof(input),
                                                 output, sizeof(output), FALSE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, "hello", 6), 0);
        EXPECT_EQ(irp->Tail.Overlay.Thread, PsGetCurrentThread());

        NTSTATUS status = IoCallDriver(devices[1], irp);
        if (c.Bottom == TestAction::Pend) {
            EXPECT_EQ(status, STATUS_PENDING);
            TestCompleteQueued(devices[0], TestCompleter::DpcThread, c.Status, 4);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        } else {
            EXPECT_EQ(status, c.Status);
        }
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_EQ(iosb.Status, c.Status);
        if (NT_SUCCESS(c.Status)) {
            EXPECT_EQ(iosb.Information, 4u);
        }
        EXPECT_EQ(std::string(output, 8), c.Output);
        EXPECT_EQ(IopLiveIrpCount(), 0u) << "the I/O manager frees the request";
        EXPECT_EQ(ExpQueryPoolTag(IOP_TAG_SYSTEM_BUFFER).NonPagedBlocks, 0u);
    }
}

TEST_F(IoTest, DirectDeviceControlDescribesOutputWithLockedMdl) {
    auto devices = Stack({TestAction::Pend});
    char output[100];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildDeviceIoControlRequest(IoctlOutDirect, devices[0], nullptr, 0, output,
                                             sizeof(output), TRUE, &event, &iosb);
    ASSERT_NE(irp->MdlAddress, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(MmGetMdlVirtualAddress(irp->MdlAddress), output);
    EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), 100u);
    EXPECT_TRUE(irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), output);
    EXPECT_EQ(IoCallDriver(devices[0], irp), STATUS_PENDING);
    TestCompleteQueued(devices[0], TestCompleter::SystemThread, STATUS_SUCCESS, 100);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Information, 100u);
    EXPECT_EQ(ExpQueryPoolTag(IOP_TAG_MDL).NonPagedBlocks, 0u) << "MDL unlocked and freed";
}

TEST_F(IoTest, BuildingFailsCleanlyWhenPoolIsShort) {
    auto devices = Stack({TestAction::Complete}, DO_DIRECT_IO);
    char buffer[512];
    IO_STATUS_BLOCK iosb;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    for (ULONG tag : {IOP_TAG_IRP, IOP_TAG_MDL}) {
        ExpFailPoolTag(tag, 1);
        EXPECT_EQ(IoBuildAsynchronousFsdRequest(IRP_MJ_READ, devices[0], buffer, sizeof(buffer),
                                                nullptr, &iosb),
                  nullptr);
    }
    ExpFailPoolTag(IOP_TAG_SYSTEM_BUFFER, 1);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(IoctlBuffered, devices[0], buffer, 4, nullptr, 0, FALSE,
                                            &event, &iosb),
              nullptr);
    EXPECT_EQ(IopLiveIrpCount(), 0u);
}
