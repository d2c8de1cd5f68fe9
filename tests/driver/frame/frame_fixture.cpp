// frame_fixture.cpp - the driver's test harness: loading and taking down the
// driver, stand-in volumes, sending requests.
#include "frame_fixture.h"
#include "frame/exempt_file_list.h"
#include "io/copy_on_write.h"
#include "ntos/io/iop.h"
#include "resources/message_table.h"
#include "support/block_cache.h"

#include <ntdddisk.h>

namespace {

NTSTATUS StubDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    StubVolume* volume = Stub(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    volume->Requests++;
    volume->LastMajor = stack->MajorFunction;
    volume->LastMinor = stack->MinorFunction;
    volume->LastFile = stack->FileObject;
    ULONG_PTR information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        volume->LastControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        if (volume->LastControlCode == IOCTL_DISK_GET_DRIVE_GEOMETRY &&
            stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(DISK_GEOMETRY)) {
            auto* geometry = static_cast<DISK_GEOMETRY*>(Irp->AssociatedIrp.SystemBuffer);
            geometry->BytesPerSector = 512;
            information = sizeof(DISK_GEOMETRY);
        }
    }
    if (stack->MajorFunction == IRP_MJ_FLUSH_BUFFERS && volume->HoldFlushes != nullptr) {
        KeSetEvent(&volume->FlushArrived, 0, FALSE);
        KeWaitForSingleObject(volume->HoldFlushes, Executive, KernelMode, FALSE, nullptr);
    }
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
    }
    NTSTATUS status = volume->Status;
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS StubEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& slot : DriverObject->MajorFunction) {
        slot = StubDispatch;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

StubVolume* Stub(PDEVICE_OBJECT Pdo) {
    return static_cast<StubVolume*>(Pdo->DeviceExtension);
}

NTSTATUS FrameTest::LoadDriver() {
    EvlpRegisterMessageTable(u"QVDNT", &DriverMessageTable);
    return IopLoadDriver(u"QVDNT", DriverEntry, &Driver);
}

void FrameTest::SetUp() {
    DriverTest::SetUp();
    IopInitialize();
    EvlpClearLog();
    ASSERT_EQ(IopLoadDriver(u"TVol", StubEntry, &VolumeDriver), STATUS_SUCCESS);
    if (LoadInSetUp) {
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    }
}

void FrameTest::TearDown() {
    if (Driver != nullptr) {
        for (FilterExtension* extension : FilterDevices()) {
            EXPECT_EQ(Send(extension->Self, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        }
        // The driver has no unload: take down what DriverEntry brought up.
        StopReclaimThread();
        StopWorkQueues();
        FreeBlockPools();
        ExemptFileClose();
        DeleteControlDevice();
        EXPECT_EQ(Driver->DeviceObject, nullptr) << "devices of the driver left behind";
        IopUnloadDriver(Driver);
    }
    for (PDEVICE_OBJECT volume : Volumes) {
        IoDeleteDevice(volume);
    }
    IopUnloadDriver(VolumeDriver);
    IopVerifyNoLeakedIrps();
    EvlpResetEventLog();
    IopShutdown();
    DriverTest::TearDown();
}

PDEVICE_OBJECT FrameTest::CreateVolume(ULONG Flags) {
    PDEVICE_OBJECT pdo = nullptr;
    EXPECT_EQ(
        IoCreateDevice(VolumeDriver, sizeof(StubVolume), nullptr, FILE_DEVICE_DISK, 0, FALSE, &pdo),
        STATUS_SUCCESS);
    StubVolume* volume = Stub(pdo);
    volume->Self = pdo;
    volume->Status = STATUS_SUCCESS;
    KeInitializeEvent(&volume->FlushArrived, NotificationEvent, FALSE);
    pdo->Flags |= Flags;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    Volumes.push_back(pdo);
    return pdo;
}

PDEVICE_OBJECT FrameTest::AddFilter(PDEVICE_OBJECT Pdo, NTSTATUS* Status) {
    NTSTATUS status = Driver->DriverExtension->AddDevice(Driver, Pdo);
    if (Status != nullptr) {
        *Status = status;
    }
    return NT_SUCCESS(status) ? Pdo->AttachedDevice : nullptr;
}

NTSTATUS FrameTest::Send(PDEVICE_OBJECT Device, UCHAR Major, UCHAR Minor,
                         void (*Setup)(PIO_STACK_LOCATION, PVOID), PVOID Context,
                         ULONG_PTR* Information) {
    PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    next->MinorFunction = Minor;
    if (Setup != nullptr) {
        Setup(next, Context);
    }
    IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
    IofCallDriver(Device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (Information != nullptr) {
        *Information = irp->IoStatus.Information;
    }
    IoFreeIrp(irp);
    return status;
}

NTSTATUS FrameTest::Control(PDEVICE_OBJECT Device, ULONG Code, ULONG InputLength,
                            ULONG OutputLength, ULONG_PTR* Information) {
    std::vector<UCHAR> input(InputLength + 1), output(OutputLength + 1);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Device, input.data(), InputLength, output.data(),
                                             OutputLength, FALSE, &done, &ioStatus);
    EXPECT_NE(irp, nullptr);
    NTSTATUS status = IofCallDriver(Device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    EXPECT_EQ(status, ioStatus.Status);
    if (Information != nullptr) {
        *Information = ioStatus.Information;
    }
    return status;
}

std::vector<FilterExtension*> FrameTest::FilterDevices() {
    auto* list =
        static_cast<FilterDeviceList*>(IoGetDriverObjectExtension(Driver, (PVOID)AddDevice));
    std::vector<FilterExtension*> devices;
    if (list != nullptr) {
        for (PLIST_ENTRY e = list->FilterDevices.Flink; e != &list->FilterDevices; e = e->Flink) {
            devices.push_back(CONTAINING_RECORD(e, FilterExtension, ListLink));
        }
    }
    return devices;
}
