// File objects on devices: opens through the device's parse procedure,
// cleanup and close, and device-control requests on handles (synchronous,
// event and APC completion).
#include "io_fixture.h"

#include <string>

namespace {

std::u16string Seen(PDEVICE_OBJECT Device) {
    auto ext = TestExt(Device);
    return std::u16string(ext->Seen, ext->Seen + ext->SeenCount);
}

std::u16string Majors(std::initializer_list<UCHAR> Majors) {
    return std::u16string(Majors.begin(), Majors.end());
}

NTSTATUS OpenPath(PCWSTR Path, ULONG Options, PHANDLE Handle) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK iosb = {};
    return ZwOpenFile(Handle, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, FILE_SHARE_READ,
                      Options);
}

} // namespace

TEST_F(IoTest, OpeningThenClosingAHandleSendsCreateCleanupClose) {
    PDEVICE_OBJECT device =
        TestCreateDevice(Driver, u"\\Device\\IoTestFiles", TestAction::Complete);
    HANDLE handle;
    ASSERT_EQ(OpenPath(u"\\Device\\IoTestFiles\\dir\\file.txt", 0, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Seen(device), Majors({IRP_MJ_CREATE}));
    UNICODE_STRING& fileName = TestExt(device)->LastFileName;
    EXPECT_EQ(std::u16string(fileName.Buffer, fileName.Length / sizeof(WCHAR)), u"\\dir\\file.txt");

    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    auto fileObject = static_cast<PFILE_OBJECT>(object);
    EXPECT_EQ(fileObject->Type, IO_TYPE_FILE);
    EXPECT_EQ(fileObject->DeviceObject, device);
    EXPECT_EQ(device->ReferenceCount, 1);

    ZwClose(handle);
    EXPECT_EQ(Seen(device), Majors({IRP_MJ_CREATE, IRP_MJ_CLEANUP}))
        << "cleanup at the last handle, close waits for the last reference";
    ObDereferenceObject(fileObject);
    EXPECT_EQ(Seen(device), Majors({IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(device->ReferenceCount, 0);
}

// A refused open, a device still initialising and a missing name all fail
// without leaving a reference on any device.
TEST_F(IoTest, FailedOpensSendNothingMore) {
    PDEVICE_OBJECT device =
        TestCreateDevice(Driver, u"\\Device\\IoTestRefuse", TestAction::Complete);
    TestExt(device)->Status = STATUS_ACCESS_DENIED;
    HANDLE handle;
    EXPECT_EQ(OpenPath(u"\\Device\\IoTestRefuse", 0, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Seen(device), Majors({IRP_MJ_CREATE}));
    EXPECT_EQ(device->ReferenceCount, 0);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\IoTestInit");
    PDEVICE_OBJECT initialising;
    ASSERT_EQ(IoCreateDevice(Driver, sizeof(TestDeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &initialising),
              STATUS_SUCCESS);
    EXPECT_EQ(OpenPath(u"\\Device\\IoTestInit", 0, &handle), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(initialising->ReferenceCount, 0);
    EXPECT_EQ(OpenPath(u"\\Device\\IoTestNowhere", 0, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

namespace {

const ULONG IoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct ApcObservation {
    PKTHREAD Thread;
    KIRQL Irql;
    PVOID Context;
    PIO_STATUS_BLOCK Iosb;
    int Runs;
};

VOID ObservingApc(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved) {
    auto observation = static_cast<ApcObservation*>(ApcContext);
    observation->Thread = KeGetCurrentThread();
    observation->Irql = KeGetCurrentIrql();
    observation->Context = ApcContext;
    observation->Iosb = IoStatusBlock;
    observation->Runs++;
}

} // namespace

TEST_F(IoTest, DeviceControlOnASynchronousHandleWaitsForThePendingResult) {
    PDEVICE_OBJECT device = TestCreateDevice(Driver, u"\\Device\\IoTestSync", TestAction::Complete);
    HANDLE handle;
    ASSERT_EQ(OpenPath(u"\\Device\\IoTestSync", FILE_SYNCHRONOUS_IO_NONALERT, &handle),
              STATUS_SUCCESS);
    TestExt(device)->Action = TestAction::Pend;

    // Complete from another thread while this one waits inside the call.
    PVOID thread = TestStartSystemThread(
        [](PVOID Context) {
            auto dev = static_cast<PDEVICE_OBJECT>(Context);
            LARGE_INTEGER interval;
            interval.QuadPart = -10000;
            while (TestQueuedCount(dev) == 0) {
                KeDelayExecutionThread(KernelMode, FALSE, &interval);
            }
            TestCompleteQueued(dev, TestCompleter::DpcThread, STATUS_BUFFER_OVERFLOW, 2);
            PsTerminateSystemThread(STATUS_SUCCESS);
        },
        device);
    static const char reply[] = "ok";
    TestExt(device)->Reply = reply;
    char output[2];
    IO_STATUS_BLOCK iosb = {};
    EXPECT_EQ(ZwDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, IoctlEcho, nullptr, 0,
                                    output, sizeof(output)),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(iosb.Information, 2u);
    EXPECT_EQ(std::string(output, 2), "ok") << "a warning status still returns the data";
    TestJoinSystemThread(thread);
    TestExt(device)->Action = TestAction::Complete;
    ZwClose(handle);
}

TEST_F(IoTest, DeviceControlWithAnEventHandleSignalsIt) {
    PDEVICE_OBJECT device =
        TestCreateDevice(Driver, u"\\Device\\IoTestEvent", TestAction::Complete);
    HANDLE handle;
    ASSERT_EQ(OpenPath(u"\\Device\\IoTestEvent", 0, &handle), STATUS_SUCCESS);
    TestExt(device)->SeenCount = 0;
    TestExt(device)->Action = TestAction::Pend;
    HANDLE event;
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, TRUE),
              STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb = {};
    EXPECT_EQ(ZwDeviceIoControlFile(handle, event, nullptr, nullptr, &iosb, IoctlEcho, nullptr, 0,
                                    nullptr, 0),
              STATUS_PENDING);
    PVOID eventObject;
    ASSERT_EQ(
        ObReferenceObjectByHandle(event, 0, *ExEventObjectType, KernelMode, &eventObject, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(eventObject)), 0) << "cleared when issued";
    TestCompleteQueued(device, TestCompleter::DpcThread, STATUS_SUCCESS, 0);
    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    ObDereferenceObject(eventObject);
    ZwClose(event);
    TestExt(device)->Action = TestAction::Complete;
    ZwClose(handle);
    EXPECT_EQ(Seen(device), Majors({IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(IoTest, RequestWithAnApcRoutineCompletesInTheIssuingThreadAtItsNextWait) {
    PDEVICE_OBJECT device = TestCreateDevice(Driver, u"\\Device\\IoTestApc", TestAction::Complete);
    HANDLE handle;
    ASSERT_EQ(OpenPath(u"\\Device\\IoTestApc", 0, &handle), STATUS_SUCCESS);
    TestExt(device)->Action = TestAction::Pend;
    ApcObservation observation = {};
    IO_STATUS_BLOCK iosb = {};
    iosb.Status = STATUS_PENDING;
    EXPECT_EQ(ZwDeviceIoControlFile(handle, nullptr, ObservingApc, &observation, &iosb, IoctlEcho,
                                    nullptr, 0, nullptr, 0),
              STATUS_PENDING);

    TestCompleteQueued(device, TestCompleter::DpcSpinning, STATUS_SUCCESS, 5);
    EXPECT_EQ(observation.Runs, 0) << "nothing runs in this thread before it waits";
    EXPECT_EQ(iosb.Status, STATUS_PENDING) << "the status block is written in the issuing thread";

    LARGE_INTEGER interval;
    interval.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_EQ(observation.Runs, 1);
    EXPECT_EQ(observation.Thread, KeGetCurrentThread());
    EXPECT_EQ(observation.Irql, PASSIVE_LEVEL);
    EXPECT_EQ(observation.Iosb, &iosb);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(IopLiveIrpCount(), 0u);
    TestExt(device)->Action = TestAction::Complete;
    ZwClose(handle);
}

// A read on a handle to a buffered device returns what the device put in the
// request's system buffer, and the buffer goes back to the pool.
TEST_F(IoTest, ReadOnABufferedDeviceHandsTheReplyToTheCaller) {
    static const char reply[] = "buffered reply";
    PDEVICE_OBJECT device =
        TestCreateDevice(Driver, u"\\Device\\IoTestBuffered", TestAction::Complete, DO_BUFFERED_IO);
    HANDLE handle;
    ASSERT_EQ(OpenPath(u"\\Device\\IoTestBuffered", FILE_SYNCHRONOUS_IO_NONALERT, &handle),
              STATUS_SUCCESS);
    TestExt(device)->Reply = reply;
    TestExt(device)->Information = sizeof(reply);
    const ExpPoolTagUsage before = ExpQueryPoolTag(IOP_TAG_SYSTEM_BUFFER);
    char buffer[64] = {};
    IO_STATUS_BLOCK iosb = {};
    LARGE_INTEGER offset = {};
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer), &offset,
                         nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof(reply));
    EXPECT_STREQ(buffer, reply);
    const ExpPoolTagUsage after = ExpQueryPoolTag(IOP_TAG_SYSTEM_BUFFER);
    EXPECT_EQ(after.NonPagedBlocks, before.NonPagedBlocks) << "the system buffer is freed";
    ZwClose(handle);
}
