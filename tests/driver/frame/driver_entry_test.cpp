// Start-up: what a successful start leaves in place, the load event, the
// unwinding of a start that fails at each step, and the service-pack parse.
#include "frame_fixture.h"
#include "io/io.h"
#include "ntos/io/iop.h"
#include "ntos/ps/psp.h"
#include "support/pool_tags.h"

namespace {

using DriverEntryTest = FrameTest;

TEST_F(DriverEntryTest, StartWritesTheLoadEventOnce) {
    std::vector<EVLP_ENTRY> log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].EventId, NTSTATUS(0x47770006));
    EXPECT_EQ(log[0].Source, u"QVDNT");
    EXPECT_EQ(log[0].Packet.NumberOfStrings, 6);
    EXPECT_EQ(log[0].Packet.StringOffset, 40);
    EXPECT_EQ(EvlpToUtf8(log[0].Text),
              "Marrowfen Quiverdale Driver V7.0  (Free Build 102) has loaded successfully.");
}

// Starts that fail: each leaves no thread, no pool of the driver, no
// device, no name and no event behind, and returns the step's status.
class FailedStartTest : public FrameTest {
  protected:
    FailedStartTest() { LoadInSetUp = FALSE; }

    void ExpectNothingLeft(NTSTATUS Status, NTSTATUS Expected) {
        EXPECT_EQ(Status, Expected);
        Driver = nullptr;
        EXPECT_EQ(EvlpEntryCount(), 0u) << "a failed start writes no event";
        EXPECT_EQ(ExpQueryPoolTag(QVD_TAG_ZEROED).NonPagedBlocks, 0u) << "block pools left";
        ExpVerifyNoPoolLeaks(EX_POOL_TAG('Q', 'v', 'd', 0), 0x00FFFFFFu);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, u"\\DosDevices\\QVDAPI");
        PFILE_OBJECT file;
        PDEVICE_OBJECT device;
        EXPECT_NE(IoGetDeviceObjectPointer(&link, 0, &file, &device), STATUS_SUCCESS)
            << "the control device or its link outlived the start";
        // The queue threads must have ended: KiStopKernel checks it in TearDown.
    }
};

TEST_F(FailedStartTest, PoolExhaustionFailsTheStartWithUnsuccessful) {
    ExpFailPoolTag(QVD_TAG_ZEROED, EXP_FAIL_ALWAYS);
    NTSTATUS status = LoadDriver();
    ExpResetPoolFaults();
    ExpectNothingLeft(status, STATUS_UNSUCCESSFUL);
}

TEST_F(FailedStartTest, QueueThreadThatCannotStartUnwindsThePoolsAndTheThreadsBefore) {
    // The second of the five queue threads fails: the first must end again.
    PspInjectThreadCreateFailure(1, STATUS_INSUFFICIENT_RESOURCES);
    ExpectNothingLeft(LoadDriver(), STATUS_UNSUCCESSFUL);
}

TEST_F(FailedStartTest, ReclaimThreadThatCannotStartStopsTheQueueThreads) {
    // The sixth thread, after the five of the queues, is the reclaim thread.
    PspInjectThreadCreateFailure(5, STATUS_INSUFFICIENT_RESOURCES);
    ExpectNothingLeft(LoadDriver(), STATUS_UNSUCCESSFUL);
}

TEST_F(FailedStartTest, ControlDeviceNameTakenFailsWithItsStatus) {
    PDEVICE_OBJECT squatter = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\QVDDev0");
    ASSERT_EQ(IoCreateDevice(VolumeDriver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter),
              STATUS_SUCCESS);
    NTSTATUS status = LoadDriver();
    IoDeleteDevice(squatter);
    ExpectNothingLeft(status, STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(FailedStartTest, ControlLinkNameTakenDeletesTheCreatedDevice) {
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\QVDAPI");
    RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    NTSTATUS status = LoadDriver();
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    Driver = nullptr;
    EXPECT_EQ(EvlpEntryCount(), 0u);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\QVDDev0");
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    EXPECT_NE(IoGetDeviceObjectPointer(&name, 0, &file, &device), STATUS_SUCCESS);
    IoDeleteSymbolicLink(&link);
}

TEST_F(FailedStartTest, DriverExtensionFailureDeletesTheControlDevice) {
    ExpFailPoolTag(IOP_TAG_DRIVER_EXTENSION, 1);
    NTSTATUS status = LoadDriver();
    ExpResetPoolFaults();
    ExpectNothingLeft(status, STATUS_INSUFFICIENT_RESOURCES);
}

// The service-pack number of a CSD string, starting from Start.
LONG ParsedFrom(PCWSTR Csd, LONG Start = 0) {
    DriverGlobals.ServicePackNumber = Start;
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, Csd);
    ParseServicePack(&text);
    return DriverGlobals.ServicePackNumber;
}

TEST_F(DriverEntryTest, ServicePackIsTheNumberAtTheFirstDigit) {
    EXPECT_EQ(ParsedFrom(u"Service Pack 6a"), 6);
    EXPECT_EQ(ParsedFrom(u"Service Pack 1"), 1);
    EXPECT_EQ(ParsedFrom(u"Update 2, v.1234"), 2) << "atol stops at the first non-digit";
    EXPECT_EQ(ParsedFrom(u"Service Pack 7 (build 123456789012345678)"), 7)
        << "a tail longer than the 19 characters converted";
}

TEST_F(DriverEntryTest, ServicePackWithoutALeadingTextLeavesTheNumberUnchanged) {
    EXPECT_EQ(ParsedFrom(u"6", 3), 3) << "a string that begins with a digit";
    EXPECT_EQ(ParsedFrom(u"Service Pack", 3), 3) << "no digit";
    EXPECT_EQ(ParsedFrom(u"", 3), 3);
}

} // namespace
