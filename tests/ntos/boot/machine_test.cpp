// machine_test.cpp - booting and powering off a machine: installed registry
// state persists, boot-start services load from their registered images, and
// a service whose image is missing fails to load without stopping boot.
#include "ntos/boot/machine.h"
#include "ntos/boot/module.h"
#include "ntos/evlog/evlp.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

std::atomic<int> TestEntryCalls{0};

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    TestEntryCalls++;
    return STATUS_SUCCESS;
}

void TestInstallService(PBOOT_MACHINE Machine, PCWSTR Name, PCWSTR ImagePath, ULONG Start) {
    PCM_KEY key;
    std::u16string path = std::u16string(u"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\") + Name;
    ASSERT_EQ(CmpCreateKey(Machine->Registry, nullptr, path.c_str(), &key, nullptr),
              STATUS_SUCCESS);
    ULONG type = 1;
    CmpSetValue(key, u"Type", REG_DWORD, &type, sizeof(type));
    CmpSetValue(key, u"Start", REG_DWORD, &Start, sizeof(Start));
    std::u16string image(ImagePath);
    CmpSetValue(key, u"ImagePath", REG_EXPAND_SZ, image.c_str(),
                static_cast<ULONG>((image.size() + 1) * sizeof(WCHAR)));
    CmpDereferenceKey(key);
}

TEST(MachineTest, InstalledServiceLoadsOnEveryBootAndMissingImageDoesNotStopBoot) {
    TestEntryCalls = 0;
    BootRegisterModule(u"good.sys", TestDriverEntry, nullptr);
    PBOOT_MACHINE machine = BootCreateMachine(BOOT_MACHINE_DESCRIPTION{});

    // Install while the machine is off, as a setup program's registry writes
    // land in the machine's registry.
    TestInstallService(machine, u"Good", u"%SystemRoot%\\system32\\drivers\\good.sys", 0);
    TestInstallService(machine, u"Missing", u"System32\\drivers\\missing.sys", 1);
    TestInstallService(machine, u"Manual", u"System32\\drivers\\good.sys", 3);

    for (int boot = 1; boot <= 2; boot++) {
        ASSERT_EQ(BootMachine(machine), STATUS_SUCCESS);
        ASSERT_EQ(machine->Loads.size(), 2u) << "demand-start services do not load at boot";
        EXPECT_EQ(machine->Loads[0].ServiceName, u"Good") << "boot-start loads first";
        EXPECT_EQ(machine->Loads[0].ImageName, u"good.sys");
        EXPECT_EQ(machine->Loads[0].Status, STATUS_SUCCESS);
        EXPECT_EQ(machine->Loads[1].Status, STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(TestEntryCalls.load(), boot);
        PowerOffMachine(machine);
    }
    EXPECT_GE(EvlpEntryCount(), 1u) << "the failed load is logged";
    EvlpResetEventLog();
    BootDestroyMachine(machine);
    BootUnregisterModule(u"good.sys");
}

TEST(MachineTest, BootReportsTheDescribedVersion) {
    BOOT_MACHINE_DESCRIPTION description;
    description.MajorVersion = 4;
    description.BuildNumber = 1381;
    description.CsdVersion = u"Service Pack 6";
    PBOOT_MACHINE machine = BootCreateMachine(description);
    ASSERT_EQ(BootMachine(machine), STATUS_SUCCESS);
    ULONG major = 0;
    ULONG build = 0;
    UNICODE_STRING csd = {};
    PsGetVersion(&major, nullptr, &build, &csd);
    EXPECT_EQ(major, 4u);
    EXPECT_EQ(build, 1381u);
    EXPECT_EQ(std::u16string(csd.Buffer, csd.Length / 2), u"Service Pack 6");
    PowerOffMachine(machine);
    BootDestroyMachine(machine);
}

} // namespace
