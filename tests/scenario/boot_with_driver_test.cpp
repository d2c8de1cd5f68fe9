// A machine with the driver installed by the install library: boot loads
// it, it attaches above every volume, a user program talks to the control
// device, and volumes are removed.
#include "snapshot_fixture.h"
#include "frame/frame.h"
#include "host/volumes.h"
#include "ntos/boot/user_process.h"
#include "ntos/pnp/pnp.h"

#include <gtest/gtest.h>

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

// A user program's CREATE_NEW of a file that exists fails with the error
// that names the file.
TEST_F(BootWithDriverTest, CreatingAnExistingFileAnewFails) {
    for (ULONG expected : {0u, 80u /* ERROR_FILE_EXISTS */}) {
        WriterJob writer;
        writer.Path = u"C:\\file.bin";
        writer.Bytes = 4096;
        writer.CreateNew = TRUE;
        writer.Stop = true;
        ULONG exitCode = 99;
        ASSERT_EQ(BootRunUserProgram(u"writer.exe", WriterProgram, &writer, &exitCode),
                  STATUS_SUCCESS);
        EXPECT_EQ(writer.Error, expected);
    }
}

// The router's answers as a user program gets them: an output shorter than a
// word fails whatever the code, a code outside the table is refused, records
// longer than the 16 bytes given are refused and the others answer in Result.
TEST_F(BootWithDriverTest, UserProgramGetsTheRoutersAnswers) {
    struct Row {
        ULONG Code;
        ULONG OutputLength;
        BOOLEAN ThroughWin32;
        NTSTATUS Expected;
    } rows[] = {
        {IOCTL_QVD_QUERY_VERSION, 3, FALSE, STATUS_INVALID_BUFFER_SIZE},
        {IOCTL_QVD_FREEZE_VOLUME, 3, TRUE,
         1784}, // ERROR_INVALID_USER_BUFFER, as the platform maps it
        {0x80002024u, 16, FALSE, STATUS_INVALID_DEVICE_REQUEST},
        {IOCTL_QVD_QUERY_VERSION, 16, FALSE, STATUS_SUCCESS},
        {IOCTL_QVD_FREEZE_VOLUME, 16, FALSE, STATUS_INVALID_BUFFER_SIZE},
        {IOCTL_QVD_THAW_VOLUME, 16, FALSE, STATUS_SUCCESS},
        {IOCTL_QVD_REPORT_PROGRESS, 16, FALSE, STATUS_INVALID_BUFFER_SIZE},
        {IOCTL_QVD_ADD_PASS_THROUGH_FILE, 16, FALSE, STATUS_SUCCESS},
        {IOCTL_QVD_REMOVE_PASS_THROUGH_FILE, 16, FALSE, STATUS_SUCCESS},
        {IOCTL_QVD_CLEAR_PASS_THROUGH_FILES, 16, FALSE, STATUS_SUCCESS},
        {IOCTL_QVD_ENABLE_EXTENT_LIST, 16, FALSE, STATUS_SUCCESS},
        {IOCTL_QVD_READ_EXTENT_LIST, 16, FALSE, STATUS_INVALID_BUFFER_SIZE},
    };
    std::vector<ControlCall> calls;
    for (const Row& row : rows) {
        ControlCall call = {};
        call.Code = row.Code;
        call.InputLength = 64;
        call.OutputLength = row.OutputLength;
        call.ThroughWin32 = row.ThroughWin32;
        calls.push_back(call);
    }
    ControlCalls context = {calls.data(), static_cast<ULONG>(calls.size())};
    ULONG exitCode = 99;
    ASSERT_EQ(BootRunUserProgram(u"agent.exe", ControlProgram, &context, &exitCode),
              STATUS_SUCCESS);
    ASSERT_EQ(exitCode, 0u) << "the control device could not be opened";
    for (size_t i = 0; i < calls.size(); i++) {
        EXPECT_EQ(calls[i].Status, rows[i].Expected)
            << "code 0x" << std::hex << rows[i].Code << std::dec << " with " << rows[i].OutputLength
            << " output bytes";
    }
}

// Removal, surprise or not, leaves no filter device behind; the host's view
// names every volume and its stack until then.
TEST_F(BootWithDriverTest, HostViewNamesEveryVolumeAndRemovalLeavesNoFilterBehind) {
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

    ASSERT_EQ(PnpSendSurpriseRemoval(listed[1]), STATUS_SUCCESS);
    EXPECT_NE(listed[1]->AttachedDevice, nullptr) << "surprise removal keeps the filter";
    // The manager bug-checks if anything stays attached above a removed volume.
    EXPECT_EQ(HostRemoveVolumes(), 3u);
    EXPECT_EQ(HostRemoveVolumes(), 0u) << "removed volumes are not removed twice";
    EXPECT_EQ(DriverGlobals.DriverObject->DeviceObject, DriverGlobals.ControlDevice)
        << "only the control device is left";
    EXPECT_EQ(DriverGlobals.ControlDevice->NextDevice, nullptr);
    EXPECT_TRUE(HostListVolumes().empty());
}

} // namespace
