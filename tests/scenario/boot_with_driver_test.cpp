// A machine with the driver installed by the install library: boot loads
// it, it attaches above every volume, the volumes still serve their I/O, a
// user program talks to the control device, and volumes are removed.
#include "scenario_fixture.h"
#include "frame/frame.h"
#include "host/volumes.h"
#include "ntos/boot/user_process.h"
#include "ntos/pnp/pnp.h"

#include <ntdddisk.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST_F(BootWithDriverTest, BootLoadsTheDriverAndLogsItsLoad) {
    bool loaded = false;
    for (const BOOT_SERVICE_LOAD& load : Machine->Loads) {
        if (load.ServiceName == u"QVDNT") {
            EXPECT_EQ(load.ImageName, u"qvdnt5.sys");
            EXPECT_EQ(load.Status, STATUS_SUCCESS);
            loaded = true;
        }
    }
    EXPECT_TRUE(loaded);
    ASSERT_EQ(EvlpEntryCount(), 1u);
    EVLP_ENTRY entry;
    ASSERT_TRUE(EvlpGetEntry(0, &entry));
    EXPECT_EQ(EvlpToUtf8(entry.Text),
              "Marrowfen Quiverdale Driver V7.0  (Free Build 102) has loaded successfully.");
}

TEST_F(BootWithDriverTest, EveryVolumeGetsOneFilterAndKeepsItsData) {
    ULONG index = 0;
    for (PDEVICE_OBJECT pdo : Volumes()) {
        ASSERT_NE(pdo, nullptr) << "volume " << index;
        EXPECT_EQ(PnpQueryVolumeState(pdo), PnpVolumeStarted);
        PDEVICE_OBJECT filter = pdo->AttachedDevice;
        ASSERT_NE(filter, nullptr);
        EXPECT_EQ(filter->DriverObject, DriverGlobals.DriverObject);
        EXPECT_EQ(filter->AttachedDevice, nullptr) << "one filter per volume";
        index++;
    }

    // Writes and reads sent to the top of C:'s stack reach the volume intact.
    PDEVICE_OBJECT c = Volumes()[0];
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(c);
    std::vector<UCHAR> written(8192), read(8192);
    for (size_t i = 0; i < written.size(); i++) {
        written[i] = UCHAR(i * 7 + 3);
    }
    for (ULONG major : {ULONG(IRP_MJ_WRITE), ULONG(IRP_MJ_READ)}) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK ioStatus = {};
        LARGE_INTEGER offset;
        offset.QuadPart = 64 * 1024;
        PVOID buffer = major == IRP_MJ_WRITE ? written.data() : read.data();
        PIRP irp =
            IoBuildSynchronousFsdRequest(major, top, buffer, 8192, &offset, &done, &ioStatus);
        ASSERT_NE(irp, nullptr);
        if (IofCallDriver(top, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(ioStatus.Information, 8192u);
    }
    ObDereferenceObject(top);
    EXPECT_EQ(read, written);
    std::vector<UCHAR> stored(8192);
    ASSERT_EQ(DiskCopyBackingStore(c, 64 * 1024, stored.data(), stored.size()), STATUS_SUCCESS);
    EXPECT_EQ(stored, written);
}

TEST_F(BootWithDriverTest, UserProgramGetsTheRoutersAnswers) {
    AgentView view = {};
    ULONG exitCode = 99;
    ASSERT_EQ(BootRunUserProgram(u"agent.exe", AgentProgram, &view, &exitCode), STATUS_SUCCESS);
    ASSERT_EQ(exitCode, 0u) << "the control device could not be opened twice";
    EXPECT_EQ(view.Short, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(view.ShortError, 1784u) << "ERROR_INVALID_USER_BUFFER, as the platform maps it";
    EXPECT_EQ(view.Outside, STATUS_INVALID_DEVICE_REQUEST);
    // Records longer than 16 bytes are refused; the others answer in Result.
    const NTSTATUS expected[9] = {STATUS_SUCCESS,        STATUS_INVALID_BUFFER_SIZE,
                                  STATUS_SUCCESS,        STATUS_INVALID_BUFFER_SIZE,
                                  STATUS_SUCCESS,        STATUS_SUCCESS,
                                  STATUS_SUCCESS,        STATUS_SUCCESS,
                                  STATUS_INVALID_BUFFER_SIZE};
    for (ULONG i = 0; i < 9; i++) {
        EXPECT_EQ(view.Answers[i], expected[i]) << "function 0x" << std::hex << 0x800 + i;
    }
    EXPECT_EQ(view.VolumeCode, STATUS_SUCCESS) << "device control passed to the volume";
    EXPECT_EQ(view.BytesPerSector, 512u);
    EXPECT_TRUE(view.Closed[0]);
    EXPECT_TRUE(view.Closed[1]);
}

TEST_F(BootWithDriverTest, RemovedVolumesLeaveNoFilterBehind) {
    std::vector<PDEVICE_OBJECT> volumes = Volumes();
    ASSERT_EQ(PnpSendSurpriseRemoval(volumes[1]), STATUS_SUCCESS);
    EXPECT_NE(volumes[1]->AttachedDevice, nullptr) << "surprise removal keeps the filter";
    for (PDEVICE_OBJECT pdo : volumes) {
        // The manager bug-checks if anything stays attached above the volume.
        EXPECT_EQ(PnpSendRemove(pdo), STATUS_SUCCESS);
        EXPECT_EQ(PnpQueryVolumeState(pdo), PnpVolumeRemoved);
    }
    EXPECT_EQ(DriverGlobals.DriverObject->DeviceObject, DriverGlobals.ControlDevice)
        << "only the control device is left";
    EXPECT_EQ(DriverGlobals.ControlDevice->NextDevice, nullptr);
}

TEST_F(BootWithDriverTest, HostViewNamesEveryVolumeAndItsStack) {
    const std::vector<PDEVICE_OBJECT> listed = HostListVolumes();
    EXPECT_EQ(listed, Volumes()) << "every volume, oldest first";
    const char16_t* letters[] = {u"C:", u"D:", u""};
    for (size_t i = 0; i < listed.size() && i < 3; i++) {
        const HOST_VOLUME_NAME name = HostVolumeName(listed[i]);
        EXPECT_EQ(name.DeviceName,
                  u"\\Device\\HarddiskVolume" + std::u16string(1, char16_t(u'1' + i)));
        EXPECT_EQ(name.DriveLetter, letters[i]);
        EXPECT_EQ(HostDeviceStack(listed[i]),
                  (std::vector<std::u16string>{u"\\Driver\\VolEmu", u"\\Driver\\QVDNT"}));
    }
    HostReleaseVolumes(listed);

    // Removal through the host's view leaves no filter device behind.
    EXPECT_EQ(HostRemoveVolumes(), 3u);
    EXPECT_EQ(HostRemoveVolumes(), 0u) << "removed volumes are not removed twice";
    EXPECT_EQ(DriverGlobals.DriverObject->DeviceObject, DriverGlobals.ControlDevice);
    EXPECT_TRUE(HostListVolumes().empty());
}

} // namespace

// The driver stays while any product uses it; once the last one uninstalls,
// the next boot neither loads it nor asks for it above the volumes, which
// all start unfiltered.
TEST_F(BootWithDriverTest, AfterTheLastUninstallTheNextBootLeavesTheVolumesUnfiltered) {
    ASSERT_EQ(InstallForProduct(2), 0);
    EXPECT_EQ(UninstallForProduct(1), 18) << "another product still uses the driver";
    ShutDownQvdnt5Machine(Machine);
    ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
    EXPECT_TRUE(Qvdnt5Loaded(Machine));

    EXPECT_EQ(UninstallForProduct(2), 0);
    ShutDownQvdnt5Machine(Machine);
    ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
    EXPECT_FALSE(Qvdnt5Loaded(Machine));
    for (PDEVICE_OBJECT volume : Volumes()) {
        ASSERT_NE(volume, nullptr);
        EXPECT_EQ(PnpQueryVolumeState(volume), PnpVolumeStarted);
        EXPECT_EQ(volume->AttachedDevice, nullptr) << "no filter above the volume";
    }
}
