// Device objects and stacks, driver loading and driver object extensions.
#include "expect_bugcheck.h"
#include "io_fixture.h"

#include "ntos/ob/obp.h"

#include <cstring>
#include <string>

TEST_F(IoTest, CreatedDeviceHasThePlatformDefaults) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\IoTestDisk");
    PDEVICE_OBJECT device;
    ASSERT_EQ(
        IoCreateDevice(Driver, 24, &name, FILE_DEVICE_DISK, FILE_REMOVABLE_MEDIA, FALSE, &device),
        STATUS_SUCCESS);
    EXPECT_EQ(device->Type, IO_TYPE_DEVICE);
    EXPECT_EQ(device->DriverObject, Driver);
    EXPECT_EQ(Driver->DeviceObject, device);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->SectorSize, 512);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_REMOVABLE_MEDIA));
    ASSERT_NE(device->Vpb, nullptr) << "disks get a VPB";
    EXPECT_EQ(device->Vpb->RealDevice, device);
    ASSERT_NE(device->DeviceExtension, nullptr);
    EXPECT_EQ(static_cast<PUCHAR>(device->DeviceExtension)[23], 0);

    PDEVICE_OBJECT second;
    EXPECT_EQ(IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    PVOID found;
    ASSERT_EQ(ObpLookupObjectName(&name, *IoDeviceObjectType, nullptr, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, device);
    ObDereferenceObject(found);

    IoDeleteDevice(device);
    EXPECT_EQ(Driver->DeviceObject, nullptr);
    EXPECT_EQ(ObpLookupObjectName(&name, nullptr, nullptr, &found), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ExpQueryPoolTag(IOP_TAG_VPB).NonPagedBlocks, 0u);
}

TEST_F(IoTest, DeletingADeviceWhoseExtensionHoldsALiveResourceIsABugCheck) {
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(
        IoCreateDevice(Driver, sizeof(ERESOURCE), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
        STATUS_SUCCESS);
    auto resource = static_cast<PERESOURCE>(device->DeviceExtension);
    ExInitializeResourceLite(resource);
    EXPECT_BUGCHECK(IoDeleteDevice(device), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "holds a resource that was not deleted");
    ExDeleteResourceLite(resource);
    IoDeleteDevice(device);
}

// A refused attach returns NULL and leaves both devices alone; the next
// attach succeeds, and attaching to a stacked device attaches to its top.
TEST_F(IoTest, AttachReturnsTheDeviceBelowAndStacksGrow) {
    PDEVICE_OBJECT bottom = TestCreateDevice(Driver, nullptr, TestAction::Complete);
    PDEVICE_OBJECT middle = TestCreateDevice(Driver, nullptr, TestAction::PassDown);
    PDEVICE_OBJECT top = TestCreateDevice(Driver, nullptr, TestAction::PassDown);
    bottom->SectorSize = 4096;
    IopRefuseAttach(1);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), nullptr);
    EXPECT_EQ(bottom->AttachedDevice, nullptr);
    EXPECT_EQ(middle->StackSize, 1);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(top->SectorSize, 4096);
    EXPECT_EQ(bottom->AttachedDevice, middle);
    EXPECT_EQ(IoGetAttachedDevice(bottom), top);
    PDEVICE_OBJECT referenced = IoGetAttachedDeviceReference(middle);
    EXPECT_EQ(referenced, top);
    ObDereferenceObject(referenced);

    IoDetachDevice(middle);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
    EXPECT_EQ(IopGetLowerDevice(top), nullptr);
    EXPECT_EQ(IoGetAttachedDevice(bottom), middle);
}

TEST_F(IoTest, DriverObjectExtensionIsKeyedByClientAddress) {
    static int keyA, keyB;
    PVOID a;
    PVOID b;
    PVOID again;
    ASSERT_EQ(IoAllocateDriverObjectExtension(Driver, &keyA, 40, &a), STATUS_SUCCESS);
    ASSERT_EQ(IoAllocateDriverObjectExtension(Driver, &keyB, 8, &b), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<PUCHAR>(a)[39], 0);
    EXPECT_EQ(IoAllocateDriverObjectExtension(Driver, &keyA, 40, &again),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(IoGetDriverObjectExtension(Driver, &keyA), a);
    EXPECT_EQ(IoGetDriverObjectExtension(Driver, &keyB), b);
    EXPECT_EQ(IoGetDriverObjectExtension(Driver, nullptr), nullptr);
    ExpFailPoolTag(IOP_TAG_DRIVER_EXTENSION, 1);
    static int keyC;
    EXPECT_EQ(IoAllocateDriverObjectExtension(Driver, &keyC, 8, &again),
              STATUS_INSUFFICIENT_RESOURCES);
}

namespace {

struct EntryObservation {
    PEPROCESS Process;
    KIRQL Irql;
    PKTHREAD Thread;
    WCHAR RegistryPath[128];
    WCHAR DriverName[64];
    NTSTATUS Result;
};
EntryObservation Observed;

NTSTATUS ObservingEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    Observed.Process = PsGetCurrentProcess();
    Observed.Irql = KeGetCurrentIrql();
    Observed.Thread = KeGetCurrentThread();
    std::memcpy(Observed.RegistryPath, RegistryPath->Buffer, RegistryPath->Length);
    std::memcpy(Observed.DriverName, DriverObject->DriverName.Buffer,
                DriverObject->DriverName.Length);
    if (!NT_SUCCESS(Observed.Result)) {
        return Observed.Result;
    }
    DriverObject->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

} // namespace

TEST_F(IoTest, LoadDriverCallsEntryOnASystemThreadAndUndoesFailure) {
    Observed = {};
    Observed.Result = STATUS_INSUFFICIENT_RESOURCES;
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(IopLoadDriver(u"Observed", ObservingEntry, &driver), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(Observed.Process, PsInitialSystemProcess);
    EXPECT_EQ(Observed.Irql, PASSIVE_LEVEL);
    EXPECT_NE(Observed.Thread, KeGetCurrentThread());
    EXPECT_EQ(std::u16string(Observed.RegistryPath),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Observed");
    EXPECT_EQ(std::u16string(Observed.DriverName), u"\\Driver\\Observed");

    // The failed load left no name behind: the same service loads now.
    Observed = {};
    Observed.Result = STATUS_SUCCESS;
    ASSERT_EQ(IopLoadDriver(u"Observed", ObservingEntry, &driver), STATUS_SUCCESS);
    EXPECT_EQ(driver->Type, IO_TYPE_DRIVER);
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    EXPECT_EQ(std::u16string(driver->DriverExtension->ServiceKeyName.Buffer,
                             driver->DriverExtension->ServiceKeyName.Length / sizeof(WCHAR)),
              u"Observed");
    PDRIVER_OBJECT duplicate;
    EXPECT_EQ(IopLoadDriver(u"Observed", ObservingEntry, &duplicate), STATUS_OBJECT_NAME_COLLISION);
    IopUnloadDriver(driver);
}

// A device created in DriverEntry is ready when it returns; one created
// later stays initialising until its driver clears the flag. Major functions
// the driver left alone fail as invalid requests.
TEST_F(IoTest, DevicesCreatedInDriverEntryAreReadyAndUnhandledRequestsFail) {
    PDRIVER_OBJECT driver;
    ASSERT_EQ(IopLoadDriver(
                  u"Early",
                  [](PDRIVER_OBJECT Driver, PUNICODE_STRING) -> NTSTATUS {
                      PDEVICE_OBJECT device;
                      NTSTATUS status = IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                                       FALSE, &device);
                      EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
                      return status;
                  },
                  &driver),
              STATUS_SUCCESS);
    PDEVICE_OBJECT early = driver->DeviceObject;
    ASSERT_NE(early, nullptr);
    EXPECT_FALSE(early->Flags & DO_DEVICE_INITIALIZING);
    PDEVICE_OBJECT late;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &late),
              STATUS_SUCCESS);
    EXPECT_TRUE(late->Flags & DO_DEVICE_INITIALIZING);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x1234, early, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(early, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(late);
    IoDeleteDevice(early);
    IopUnloadDriver(driver);
}

using IoDeviceDeathTest = IoTest;

// A device in a stack cannot be deleted, whether another is attached above
// it or it is still attached to one below.
TEST_F(IoDeviceDeathTest, DeletingADeviceStillInAStackIsCaught) {
    auto devices = Stack({TestAction::Complete, TestAction::PassDown});
    EXPECT_BUGCHECK(IoDeleteDevice(devices[0]), DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                    "still attached to it");
    EXPECT_BUGCHECK(IoDeleteDevice(devices[1]), DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                    "IoDetachDevice first");
}
