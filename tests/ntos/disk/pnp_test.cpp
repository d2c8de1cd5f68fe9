// pnp_test.cpp - volumes on a booted machine and as the bottom of their
// stacks: start, relations, power, opening the volume, surprise removal and
// removal, and volumes abandoned at power-off.
#include "disk_fixture.h"
#include "ntos/boot/machine.h"
#include "ntos/pnp/pnp.h"

#include <atomic>

namespace {

class DiskMachineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BootSetStorageRoutine(DiskBootStorageRoutine);
        BOOT_MACHINE_DESCRIPTION description;
        description.Storage.push_back(BOOT_STORAGE_DEVICE{u"C:", 16 << 20, 512, FALSE});
        description.Storage.push_back(BOOT_STORAGE_DEVICE{u"E:", 8 << 20, 4096, TRUE});
        // No file system: nothing mounts a volume, opens reach the volume device itself.
        description.FileSystem.clear();
        Machine = BootCreateMachine(description);
    }
    void TearDown() override {
        if (Machine->Running) {
            PowerOffMachine(Machine);
        }
        BootDestroyMachine(Machine);
        BootSetStorageRoutine(nullptr);
    }
    PBOOT_MACHINE Machine = nullptr;
};

TEST_F(DiskMachineTest, BootStartsEveryVolumeAndRemovalDeletesIt) {
    ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
    EXPECT_EQ(Machine->FileSystemDriver, nullptr);
    PDEVICE_OBJECT c = DiskFindVolume(u"\\??\\C:");
    PDEVICE_OBJECT e = DiskFindVolume(u"\\DosDevices\\E:");
    ASSERT_NE(c, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(DiskFindVolume(u"\\Device\\HarddiskVolume1"), c);
    EXPECT_EQ(PnpQueryVolumeState(c), PnpVolumeStarted);
    EXPECT_EQ(PnpQueryVolumeState(e), PnpVolumeStarted);
    EXPECT_EQ(e->SectorSize, 4096);
    EXPECT_TRUE(e->Characteristics & FILE_READ_ONLY_DEVICE);
    ASSERT_NE(c->Vpb, nullptr);
    EXPECT_EQ(c->Vpb->RealDevice, c);

    PDEVICE_RELATIONS relations = nullptr;
    ASSERT_EQ(PnpSendQueryDeviceRelations(c, TargetDeviceRelation, &relations), STATUS_SUCCESS);
    ASSERT_NE(relations, nullptr);
    EXPECT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], c);
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);
    // A volume has no children: bus relations stay unanswered.
    EXPECT_EQ(PnpSendQueryDeviceRelations(c, BusRelations, &relations), STATUS_NOT_SUPPORTED);

    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PnpSendPower(c, IRP_MN_QUERY_POWER, DevicePowerState, state), STATUS_SUCCESS);
    EXPECT_EQ(PnpSendPower(c, IRP_MN_SET_POWER, DevicePowerState, state), STATUS_SUCCESS);

    // Opening the volume device itself.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\??\\C:");
    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(top, c);
    ObDereferenceObject(file);

    EXPECT_EQ(PnpSendRemove(c), STATUS_SUCCESS);
    // The plug-and-play manager still holds its reference; the device is deleted.
    EXPECT_TRUE(c->DeviceObjectExtension->DeletePending);
    EXPECT_EQ(DiskFindVolume(u"\\??\\C:"), nullptr);
    EXPECT_EQ(DiskFindVolume(u"\\Device\\HarddiskVolume1"), nullptr);
    EXPECT_EQ(DiskFindVolume(u"\\??\\E:"), e);
}

TEST_F(DiskMachineTest, VolumesAbandonedAtPowerOffDoNotHinderTheNextBoot) {
    ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
    PDEVICE_OBJECT c = DiskFindVolume(u"\\??\\C:");
    const std::u16string guidName = DiskQueryVolumeGuidName(c);
    std::vector<UCHAR> data(512, 0x42);
    // Leave the volume's workers busy a moment before power-off.
    EXPECT_EQ(DiskTest::Write(c, 0, data.data(), 512).Status, STATUS_SUCCESS);
    PowerOffMachine(Machine);

    ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
    c = DiskFindVolume(u"\\Device\\HarddiskVolume1");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(DiskFindVolume(guidName.c_str()), c) << "the volume keeps its GUID name";
    // A new boot brings fresh media: nothing written before survives.
    std::vector<UCHAR> image(512, 0xFF);
    EXPECT_EQ(DiskCopyBackingStore(c, 0, image.data(), 512), STATUS_SUCCESS);
    EXPECT_EQ(image, std::vector<UCHAR>(512));
}

TEST_F(DiskTest, SurpriseRemovalFailsFurtherRequests) {
    PDEVICE_OBJECT pdo = Create(Config(1 << 20));
    EXPECT_EQ(SendPnp(pdo, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
    std::vector<UCHAR> data(512);
    EXPECT_EQ(Read(pdo, 0, data.data(), 512).Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Write(pdo, 0, data.data(), 512).Status, STATUS_NO_SUCH_DEVICE);
    // Unhandled minor functions are left as they came.
    EXPECT_EQ(SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES).Status, STATUS_NOT_SUPPORTED);
}

std::atomic<int> CompletedWrites{0};

NTSTATUS CountCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID) {
    EXPECT_EQ(Irp->IoStatus.Status, STATUS_SUCCESS);
    MmUnlockPages(Irp->MdlAddress);
    IoFreeMdl(Irp->MdlAddress);
    Irp->MdlAddress = nullptr;
    IoFreeIrp(Irp);
    CompletedWrites++;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(DiskTest, RemovalWaitsForQueuedRequests) {
    DISK_VOLUME_CONFIG config = Config(1 << 20);
    config.LatencyMicroseconds = 20000;
    config.Threads = 1;
    PDEVICE_OBJECT pdo = Create(config);
    std::vector<UCHAR> buffers(8 * 512);
    CompletedWrites = 0;
    for (int i = 0; i < 8; i++) {
        LARGE_INTEGER offset;
        offset.QuadPart = 512LL * i;
        PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, pdo, &buffers[512 * i], 512, &offset,
                                                 nullptr);
        IoSetCompletionRoutine(irp, CountCompletion, nullptr, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    }
    EXPECT_LT(CompletedWrites.load(), 8) << "the latency should keep requests queued";
    Remove(pdo);
    EXPECT_EQ(CompletedWrites.load(), 8);
}

} // namespace
