// user_mode_driver.cpp - the kernel side of the user-mode tests.
#include "user_mode_driver.h"
#include "ntos/boot/user_process.h"
#include "ntos/io/iop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace {

std::atomic<KPROCESSOR_MODE> TestRequestorMode{KernelMode};

NTSTATUS TestControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        TestRequestorMode = Irp->RequestorMode;
        const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
        const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
        auto* buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case TEST_IOCTL_ECHO:
            if (in < sizeof(ULONG)) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            std::memcpy(&status, buffer, sizeof(status));
            information = NT_ERROR(status) ? 0 : (in < out ? in : out);
            break;
        case TEST_IOCTL_EMBEDDED: {
            TEST_EMBEDDED request;
            std::memcpy(&request, buffer, sizeof(request));
            _SEH2_TRY {
                PVOID target = MmGetUserBuffer(request.Address, request.Length, 1, TRUE);
                std::memset(target, 0x5A, request.Length);
            }
            _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
                status = GetExceptionCode();
            }
            _SEH2_END;
            break;
        }
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS TestControlEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (PDRIVER_DISPATCH& slot : DriverObject->MajorFunction) {
        slot = TestControlDispatch;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\TCtl0");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, 0x8000, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\TCTL");
    return IoCreateSymbolicLink(&link, &name);
}

} // namespace

struct TestUserProcess {
    PBOOT_USER_PROCESS Process;
    std::vector<PBOOT_USER_THREAD> Threads;
};

void TestLoadControlDriver() {
    IopInitialize();
    PDRIVER_OBJECT driver;
    ASSERT_EQ(IopLoadDriver(u"TCtl", TestControlEntry, &driver), STATUS_SUCCESS);
}

void TestStopIo() {
    IopShutdown();
}

KPROCESSOR_MODE TestLastRequestorMode() {
    return TestRequestorMode.load();
}

ULONG TestRunUserProgram(TEST_USER_ROUTINE Routine, PVOID Context, TEST_ACCOUNT Account) {
    ULONG exitCode = ~0u;
    const BOOT_USER_ACCOUNT account = Account == TestBackupOperator ? BootUserBackupOperator
                                      : Account == TestPlainUser    ? BootUserPlain
                                                                    : BootUserAdministrator;
    EXPECT_EQ(BootRunUserProgram(u"test.exe", Routine, Context, &exitCode, account),
              STATUS_SUCCESS);
    return exitCode;
}

TestUserProcess* TestCreateUserProcess() {
    auto* process = new TestUserProcess{};
    EXPECT_EQ(BootCreateUserProcess(u"test.exe", &process->Process), STATUS_SUCCESS);
    return process;
}

void TestStartUserThread(TestUserProcess* Process, TEST_USER_ROUTINE Routine, PVOID Context) {
    PBOOT_USER_THREAD thread;
    ASSERT_EQ(BootStartUserThread(Process->Process, Routine, Context, &thread), STATUS_SUCCESS);
    Process->Threads.push_back(thread);
}

ULONG TestWaitUserThreads(TestUserProcess* Process) {
    ULONG exitCode = ~0u;
    for (PBOOT_USER_THREAD thread : Process->Threads) {
        EXPECT_EQ(BootWaitUserThread(thread, BOOT_INFINITE_WAIT, &exitCode), STATUS_SUCCESS);
        BootCloseUserThread(thread);
    }
    Process->Threads.clear();
    return exitCode;
}

void TestDeleteUserProcess(TestUserProcess* Process) {
    TestWaitUserThreads(Process);
    BootDeleteUserProcess(Process->Process);
    delete Process;
}
