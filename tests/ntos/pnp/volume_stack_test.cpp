// volume_stack_test.cpp - volume stacks built from the Volume class's upper
// filters: attaching at boot and later, removal, and filters that cannot
// attach.
#include "expect_bugcheck.h"
#include "ntos/boot/machine.h"
#include "ntos/boot/module.h"
#include "ntos/boot/test_service.h"
#include "ntos/io/iop.h"
#include "ntos/pnp/pnp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace {

// A stand-in volume driver: one PDO per call of TestCreateVolume, answering
// every request with success.
PDRIVER_OBJECT TestVolumeDriver;
std::atomic<int> TestStarts{0};

NTSTATUS TestVolumeDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_START_DEVICE) {
        TestStarts++;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->MajorFunction == IRP_MJ_PNP &&
        stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS) {
        status = Irp->IoStatus.Status; // a volume has no children: leave it as it came
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS TestVolumeEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (PDRIVER_DISPATCH& slot : DriverObject->MajorFunction) {
        slot = TestVolumeDispatch;
    }
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT TestCreateVolume() {
    PDEVICE_OBJECT pdo;
    EXPECT_EQ(IoCreateDevice(TestVolumeDriver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &pdo),
              STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

// A stand-in upper filter: attaches one device per volume, passes every
// request down, detaches and deletes itself on removal.
struct TEST_FILTER_EXTENSION {
    PDEVICE_OBJECT Lower;
};
std::atomic<int> TestFilterAdds{0};

NTSTATUS TestFilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* extension = static_cast<TEST_FILTER_EXTENSION*>(DeviceObject->DeviceExtension);
    PDEVICE_OBJECT lower = extension->Lower;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(lower, Irp);
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(lower, Irp);
}

NTSTATUS TestFilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(TEST_FILTER_EXTENSION), nullptr,
                                     FILE_DEVICE_DISK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* extension = static_cast<TEST_FILTER_EXTENSION*>(device->DeviceExtension);
    extension->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    TestFilterAdds++;
    return STATUS_SUCCESS;
}

// A filter that forgets to detach on removal.
NTSTATUS TestSloppyDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* extension = static_cast<TEST_FILTER_EXTENSION*>(DeviceObject->DeviceExtension);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->Lower, Irp);
}

// The filter's entry; the other two are "noadd.sys", loaded without an
// AddDevice, and "sloppy.sys", with the dispatch routine above.
template <PDRIVER_DISPATCH Dispatch, bool HasAddDevice>
NTSTATUS TestFilterEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& slot : DriverObject->MajorFunction) {
        slot = Dispatch;
    }
    if (HasAddDevice) {
        DriverObject->DriverExtension->AddDevice = TestFilterAddDevice;
    }
    return STATUS_SUCCESS;
}

std::vector<PDEVICE_OBJECT> TestBootVolumes;

// The storage routine of these tests: loads the stand-in volume driver once
// per boot and gives each storage device one volume.
NTSTATUS TestStorageRoutine(const BOOT_STORAGE_DEVICE* Device) {
    UNREFERENCED_PARAMETER(Device);
    if (TestVolumeDriver == nullptr) {
        NTSTATUS status = IopLoadDriver(u"TVol", TestVolumeEntry, &TestVolumeDriver);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    PDEVICE_OBJECT pdo = TestCreateVolume();
    TestBootVolumes.push_back(pdo);
    return PnpAddVolume(pdo);
}

// Filter names separated by '|'; written as a REG_MULTI_SZ.
void TestWriteUpperFilters(PBOOT_MACHINE Machine, std::u16string Names) {
    for (WCHAR& c : Names) {
        if (c == u'|') {
            c = 0;
        }
    }
    Names.push_back(0);
    Names.push_back(0);
    PCM_KEY key;
    ASSERT_EQ(CmpOpenKey(Machine->Registry, nullptr, u"MACHINE\\" PNP_VOLUME_CLASS_KEY, &key),
              STATUS_SUCCESS);
    CmpSetValue(key, u"UpperFilters", REG_MULTI_SZ, Names.data(),
                static_cast<ULONG>(Names.size() * sizeof(WCHAR)));
    CmpDereferenceKey(key);
}

class VolumeStackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestStarts = 0;
        TestFilterAdds = 0;
        TestVolumeDriver = nullptr;
        TestBootVolumes.clear();
        BootRegisterModule(u"tflt.sys", TestFilterEntry<TestFilterDispatch, true>, nullptr);
        BootRegisterModule(u"sloppy.sys", TestFilterEntry<TestSloppyDispatch, true>, nullptr);
        BootRegisterModule(u"noadd.sys", TestFilterEntry<TestFilterDispatch, false>, nullptr);
        BootSetStorageRoutine(TestStorageRoutine);
        BOOT_MACHINE_DESCRIPTION description;
        description.Storage.push_back(BOOT_STORAGE_DEVICE{u"C:", 1 << 20, 512, FALSE});
        Machine = BootCreateMachine(description);
    }
    void TearDown() override {
        if (Machine->Running) {
            PowerOffMachine(Machine);
        }
        BootDestroyMachine(Machine);
        BootSetStorageRoutine(nullptr);
        BootUnregisterModule(u"tflt.sys");
        BootUnregisterModule(u"sloppy.sys");
        BootUnregisterModule(u"noadd.sys");
    }
    PBOOT_MACHINE Machine = nullptr;
};

TEST_F(VolumeStackTest, UpperFilterAttachesAtBootAndToVolumesAddedLater) {
    TestInstallService(Machine, u"TFlt", u"\\SystemRoot\\System32\\drivers\\tflt.sys", 0);
    TestWriteUpperFilters(Machine, u"TFlt");
    ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
    ASSERT_EQ(TestBootVolumes.size(), 1u);
    PDEVICE_OBJECT bootVolume = TestBootVolumes[0];
    EXPECT_NE(IoGetAttachedDevice(bootVolume), bootVolume) << "no filter above the boot volume";
    EXPECT_EQ(PnpQueryVolumeState(bootVolume), PnpVolumeStarted);

    PDEVICE_OBJECT later = TestCreateVolume();
    EXPECT_EQ(PnpAddVolume(later), STATUS_SUCCESS);
    EXPECT_NE(IoGetAttachedDevice(later), later) << "no filter above the later volume";
    EXPECT_EQ(TestFilterAdds.load(), 2);
    EXPECT_EQ(TestStarts.load(), 2) << "each start reaches the bottom of its stack";
}

TEST_F(VolumeStackTest, RemovalDetachesAndDeletesTheFilter) {
    TestInstallService(Machine, u"TFlt", u"System32\\drivers\\tflt.sys", 0);
    TestWriteUpperFilters(Machine, u"TFlt");
    ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
    PDEVICE_OBJECT volume = TestBootVolumes[0];
    PDEVICE_OBJECT filter = IoGetAttachedDevice(volume);
    ASSERT_NE(filter, volume);
    PDRIVER_OBJECT filterDriver = filter->DriverObject;
    EXPECT_EQ(PnpSendSurpriseRemoval(volume), STATUS_SUCCESS);
    EXPECT_EQ(IoGetAttachedDevice(volume), filter) << "surprise removal keeps the stack";
    EXPECT_EQ(PnpSendRemove(volume), STATUS_SUCCESS);
    EXPECT_EQ(IoGetAttachedDevice(volume), volume);
    EXPECT_EQ(filterDriver->DeviceObject, nullptr) << "the filter device was not deleted";
    EXPECT_EQ(PnpQueryVolumeState(volume), PnpVolumeRemoved);
}

// "Gone" has no service, as after an uninstall that left its name behind;
// "NoAdd" is loaded but has no AddDevice, so it fails after TFlt attached.
TEST_F(VolumeStackTest, FilterThatCannotAttachLeavesTheVolumeFailedWithNothingAttached) {
    TestInstallService(Machine, u"TFlt", u"System32\\drivers\\tflt.sys", 0);
    TestInstallService(Machine, u"NoAdd", u"System32\\drivers\\noadd.sys", 0);
    for (const char16_t* filters : {u"TFlt|Gone", u"TFlt|NoAdd"}) {
        SCOPED_TRACE(std::string(filters, filters + std::char_traits<char16_t>::length(filters)));
        TestBootVolumes.clear();
        TestWriteUpperFilters(Machine, filters);
        ASSERT_EQ(BootMachine(Machine), STATUS_DRIVER_UNABLE_TO_LOAD);
        PDEVICE_OBJECT volume = TestBootVolumes[0];
        EXPECT_EQ(PnpQueryVolumeState(volume), PnpVolumeFailed);
        EXPECT_EQ(PnpQueryVolumeStatus(volume), STATUS_DRIVER_UNABLE_TO_LOAD);
        EXPECT_EQ(TestStarts.load(), 0) << "a failed volume must not be started";
        EXPECT_EQ(IoGetAttachedDevice(volume), volume)
            << "nothing stays attached to a failed volume";
        PowerOffMachine(Machine);
        TestVolumeDriver = nullptr;
    }
}

TEST_F(VolumeStackTest, FilterLeftAttachedAfterRemovalIsABugCheck) {
    EXPECT_BUGCHECK(
        {
            TestInstallService(Machine, u"Sloppy", u"System32\\drivers\\sloppy.sys", 0);
            TestWriteUpperFilters(Machine, u"Sloppy");
            BootMachine(Machine);
            PnpSendRemove(TestBootVolumes[0]);
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION,
        "still attached to a volume after IRP_MN_REMOVE_DEVICE");
}

} // namespace
