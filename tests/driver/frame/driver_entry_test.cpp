// Start-up: the unwinding of a start that fails at each step, and the
// service-pack parse.
#include "frame_fixture.h"
#include "io/io.h"
#include "ntos/io/iop.h"
#include "ntos/ps/psp.h"
#include "support/pool_tags.h"

namespace {

// A step of the start made to fail, and the status the start must return.
struct FailedStep {
    const char* What;
    void (*Arm)(PDRIVER_OBJECT VolumeDriver);
    NTSTATUS Expected;
};

UNICODE_STRING Name(PCWSTR Text) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Text);
    return name;
}

const FailedStep FailedSteps[] = {
    {"block pools", [](PDRIVER_OBJECT) { ExpFailPoolTag(QVD_TAG_ZEROED, EXP_FAIL_ALWAYS); },
     STATUS_UNSUCCESSFUL},
    // The second of the five queue threads: the first must end again.
    {"queue thread",
     [](PDRIVER_OBJECT) { PspInjectThreadCreateFailure(1, STATUS_INSUFFICIENT_RESOURCES); },
     STATUS_UNSUCCESSFUL},
    // The sixth thread, after the five of the queues, is the reclaim thread.
    {"reclaim thread",
     [](PDRIVER_OBJECT) { PspInjectThreadCreateFailure(5, STATUS_INSUFFICIENT_RESOURCES); },
     STATUS_UNSUCCESSFUL},
    {"control device name taken",
     [](PDRIVER_OBJECT VolumeDriver) {
         UNICODE_STRING name = Name(u"\\Device\\QVDDev0");
         PDEVICE_OBJECT squatter = nullptr;
         ASSERT_EQ(IoCreateDevice(VolumeDriver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter),
                   STATUS_SUCCESS);
     },
     STATUS_OBJECT_NAME_COLLISION},
    {"control link name taken",
     [](PDRIVER_OBJECT) {
         UNICODE_STRING link = Name(u"\\DosDevices\\QVDAPI"), target = Name(u"\\Device\\Elsewhere");
         ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
     },
     STATUS_OBJECT_NAME_COLLISION},
    {"driver extension", [](PDRIVER_OBJECT) { ExpFailPoolTag(IOP_TAG_DRIVER_EXTENSION, 1); },
     STATUS_INSUFFICIENT_RESOURCES},
};

class FailedStartTest : public FrameTest, public testing::WithParamInterface<FailedStep> {
  protected:
    FailedStartTest() { LoadInSetUp = FALSE; }
};

// Each failed start returns its step's status and leaves no thread, no pool of
// the driver, no device, no name and no event behind (the queue threads must
// have ended: the kernel's stop checks it in TearDown).
TEST_P(FailedStartTest, UnwindsEveryStepBefore) {
    SCOPED_TRACE(GetParam().What);
    GetParam().Arm(VolumeDriver);
    EXPECT_EQ(LoadDriver(), GetParam().Expected);
    Driver = nullptr;
    ExpResetPoolFaults();
    while (VolumeDriver->DeviceObject != nullptr) {
        IoDeleteDevice(VolumeDriver->DeviceObject);
    }
    EXPECT_EQ(EvlpEntryCount(), 0u) << "a failed start writes no event";
    EXPECT_EQ(ExpQueryPoolTag(QVD_TAG_ZEROED).NonPagedBlocks, 0u) << "block pools left";
    ExpVerifyNoPoolLeaks(EX_POOL_TAG('Q', 'v', 'd', 0), 0x00FFFFFFu);
    for (PCWSTR left : {u"\\DosDevices\\QVDAPI", u"\\Device\\QVDDev0"}) {
        UNICODE_STRING name = Name(left);
        PFILE_OBJECT file;
        PDEVICE_OBJECT device;
        EXPECT_NE(IoGetDeviceObjectPointer(&name, 0, &file, &device), STATUS_SUCCESS)
            << "the control device or its link outlived the start";
    }
    UNICODE_STRING link = Name(u"\\DosDevices\\QVDAPI");
    IoDeleteSymbolicLink(&link);
}

// Names the step in test listings instead of dumping its bytes.
void PrintTo(const FailedStep& Step, std::ostream* Out) {
    *Out << Step.What;
}

INSTANTIATE_TEST_SUITE_P(Steps, FailedStartTest, testing::ValuesIn(FailedSteps));

using DriverEntryTest = FrameTest;

// The service-pack number is the number at the CSD string's first digit; a
// string that begins with a digit or has none leaves the number unchanged.
TEST_F(DriverEntryTest, ServicePackIsTheNumberAtTheFirstDigit) {
    struct Case {
        PCWSTR Csd;
        LONG Expected;
    } cases[] = {
        {u"Service Pack 6a", 6},
        {u"Service Pack 1", 1},
        {u"Update 2, v.1234", 2}, // atol stops at the first non-digit
        {u"Service Pack 7 (build 123456789012345678)",
         7}, // longer than the 19 characters converted
        {u"6", 3},
        {u"Service Pack", 3},
        {u"", 3},
    };
    for (const Case& c : cases) {
        DriverGlobals.ServicePackNumber = 3;
        UNICODE_STRING text = Name(c.Csd);
        ParseServicePack(&text);
        EXPECT_EQ(DriverGlobals.ServicePackNumber, c.Expected) << "case " << &c - cases;
    }
}

} // namespace
