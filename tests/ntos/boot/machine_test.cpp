// machine_test.cpp - booting and powering off a machine: installed registry
// state persists, boot-start services load from their registered images, a
// service whose image is missing fails to load without stopping boot, and
// power-off ends the threads drivers and user programs leave waiting.
#include "ntos/boot/machine.h"
#include "ntos/boot/module.h"
#include "ntos/boot/user_process.h"
#include "ntos/evlog/evlp.h"
#include "ntos/kernel_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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
        EXPECT_EQ(EvlpEntryCount(), 1u) << "the failed load is logged, once per boot";
        PowerOffMachine(machine);
        EXPECT_EQ(EvlpEntryCount(), 0u) << "the next boot starts with an empty log";
    }
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

// A driver without an unload routine whose DriverEntry leaves a thread
// waiting forever, as work-queue threads do.
std::atomic<int> ForeverThreadsEnded{0};
KEVENT ForeverNever;

VOID ForeverWorker(PVOID) {
    _SEH2_TRY {
        KeWaitForSingleObject(&ForeverNever, Executive, KernelMode, FALSE, nullptr);
    }
    _SEH2_FINALLY {
        ForeverThreadsEnded++;
    }
    _SEH2_END;
}

NTSTATUS ForeverDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    KeInitializeEvent(&ForeverNever, NotificationEvent, FALSE);
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           ForeverWorker, nullptr);
    if (NT_SUCCESS(status)) {
        ZwClose(thread);
    }
    return status;
}

TEST(MachineTest, PowerOffEndsTheThreadsADriverLeavesWaitingOnEveryBoot) {
    ForeverThreadsEnded = 0;
    BootRegisterModule(u"forever.sys", ForeverDriverEntry, nullptr);
    PBOOT_MACHINE machine = BootCreateMachine(BOOT_MACHINE_DESCRIPTION{});
    TestInstallService(machine, u"Forever", u"System32\\drivers\\forever.sys", 1);
    for (int boot = 1; boot <= 2; boot++) {
        ASSERT_EQ(BootMachine(machine), STATUS_SUCCESS);
        ASSERT_EQ(machine->Loads.size(), 1u);
        EXPECT_EQ(machine->Loads[0].Status, STATUS_SUCCESS);
        PowerOffMachine(machine);
        EXPECT_EQ(ForeverThreadsEnded.load(), boot) << "its termination handler ran";
    }
    BootDestroyMachine(machine);
    BootUnregisterModule(u"forever.sys");
}

using UserPowerOffTest = KernelTest;

ULONG WaitForeverProgram(PVOID Context) {
    auto* ended = static_cast<std::atomic<bool>*>(Context);
    _SEH2_TRY {
        LARGE_INTEGER hour;
        hour.QuadPart = -36000000000LL;
        KeDelayExecutionThread(UserMode, FALSE, &hour);
    }
    _SEH2_FINALLY {
        *ended = true;
    }
    _SEH2_END;
    return 0;
}

TEST_F(UserPowerOffTest, UserProgramThreadEndsAtPowerOff) {
    PBOOT_USER_PROCESS process;
    ASSERT_EQ(BootCreateUserProcess(u"agent.exe", &process), STATUS_SUCCESS);
    std::atomic<bool> ended{false};
    PBOOT_USER_THREAD thread;
    ASSERT_EQ(BootStartUserThread(process, WaitForeverProgram, &ended, &thread), STATUS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    KiPowerOffThreads();

    EXPECT_EQ(BootWaitUserThread(thread, 0, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(ended.load());
    BootCloseUserThread(thread);
    BootDeleteUserProcess(process);
}

} // namespace
