// machine_test.cpp - booting and powering off a machine: installed registry
// state persists, boot-start services load from their registered images, a
// service whose image is missing fails to load without stopping boot,
// power-off ends the threads drivers and user programs leave waiting, and
// dismounts a mounted volume that was removed.
#include "ntos/boot/machine.h"
#include "ntos/boot/test_service.h"
#include "ntos/boot/module.h"
#include "ntos/boot/user_process.h"
#include "ntos/disk/disk.h"
#include "ntos/evlog/evlp.h"
#include "ntos/fs/fsp.h"
#include "ntos/kernel_fixture.h"
#include "ntos/pnp/pnp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

std::atomic<int> TestEntryCalls{0};

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

NTSTATUS ForeverDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    TestEntryCalls++;
    KeInitializeEvent(&ForeverNever, NotificationEvent, FALSE);
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           ForeverWorker, nullptr);
    if (NT_SUCCESS(status)) {
        ZwClose(thread);
    }
    return status;
}

TEST(MachineTest, InstalledServicesLoadOnEveryBootAndPowerOffEndsTheirThreads) {
    TestEntryCalls = 0;
    ForeverThreadsEnded = 0;
    BootRegisterModule(u"forever.sys", ForeverDriverEntry, nullptr);
    BOOT_MACHINE_DESCRIPTION description;
    description.MajorVersion = 4;
    description.BuildNumber = 1381;
    description.CsdVersion = u"Service Pack 6";
    PBOOT_MACHINE machine = BootCreateMachine(description);

    // Install while the machine is off, as a setup program's registry writes
    // land in the machine's registry.
    TestInstallService(machine, u"Forever", u"%SystemRoot%\\system32\\drivers\\forever.sys", 0);
    TestInstallService(machine, u"Missing", u"System32\\drivers\\missing.sys", 1);
    TestInstallService(machine, u"Manual", u"System32\\drivers\\forever.sys", 3);

    for (int boot = 1; boot <= 2; boot++) {
        ASSERT_EQ(BootMachine(machine), STATUS_SUCCESS);
        ASSERT_EQ(machine->Loads.size(), 2u) << "demand-start services do not load at boot";
        EXPECT_EQ(machine->Loads[0].ServiceName, u"Forever") << "boot-start loads first";
        EXPECT_EQ(machine->Loads[0].ImageName, u"forever.sys");
        EXPECT_EQ(machine->Loads[0].Status, STATUS_SUCCESS);
        EXPECT_EQ(machine->Loads[1].Status, STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(TestEntryCalls.load(), boot);
        EXPECT_EQ(EvlpEntryCount(), 1u) << "the failed load is logged, once per boot";
        ULONG major = 0;
        ULONG build = 0;
        UNICODE_STRING csd = {};
        PsGetVersion(&major, nullptr, &build, &csd);
        EXPECT_EQ(major, 4u) << "boot reports the described version";
        EXPECT_EQ(build, 1381u);
        EXPECT_EQ(std::u16string(csd.Buffer, csd.Length / 2), u"Service Pack 6");
        PowerOffMachine(machine);
        EXPECT_EQ(ForeverThreadsEnded.load(), boot) << "its termination handler ran";
        EXPECT_EQ(EvlpEntryCount(), 0u) << "the next boot starts with an empty log";
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

// A machine with one volume, booted.
class MachineStorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BOOT_MACHINE_DESCRIPTION description;
        description.Storage.push_back(BOOT_STORAGE_DEVICE{u"C:", 16 << 20, 512, FALSE});
        Machine = BootCreateMachine(description);
        ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (Machine->Running) {
            PowerOffMachine(Machine);
        }
        BootDestroyMachine(Machine);
    }
    PBOOT_MACHINE Machine = nullptr;
};

TEST_F(MachineStorageTest, MountedVolumeRemovedBeforePowerOffIsDismountedSafely) {
    PDEVICE_OBJECT c = DiskFindVolume(u"\\??\\C:");
    // An open for data mounts the volume.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\??\\C:");
    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
    ObDereferenceObject(file);
    ASSERT_NE(FsGetVolume(c), nullptr);
    ASSERT_EQ(PnpSendRemove(c), STATUS_SUCCESS);
    // The file system still holds the removed volume; power-off dismounts it
    // before the last reference to the volume goes (the sanitizer builds
    // catch a use after free here).
    PowerOffMachine(Machine);
    EXPECT_EQ(Machine->FileSystemDriver, nullptr);
    ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
    EXPECT_NE(DiskFindVolume(u"\\??\\C:"), nullptr) << "volumes are rebuilt at boot";
}

} // namespace
