// snapshot_fixture.h - the booted machine of the scenarios: the driver
// installed by the install library on a running system and then restarted,
// so that boot loaded it: C: (8 MiB, 512-byte sectors), a read-only D:
// (4 MiB, 4096-byte sectors) and a volume without a letter, with the NT file
// system. SnapshotTest adds an agent's helpers: freezing through the control
// device from a user program, sending calls, and looking at the filter
// device's state.
#pragma once

#include "agent_side.h"
#include "frame/frame.h"
#include "host/qvdnt5_module.h"
#include "io/io.h"
#include "snapshot/snapshot.h"
#include "ntos/boot/machine.h"
#include "ntos/boot/user_process.h"
#include "ntos/disk/disk.h"
#include "ntos/evlog/evlp.h"
#include "ntos/fs/fsp.h"
#include "ntos/ke/kernel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class BootWithDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterQvdnt5Module();
        BOOT_MACHINE_DESCRIPTION description;
        description.Storage.push_back(BOOT_STORAGE_DEVICE{u"C:", 8 << 20, 512, FALSE});
        description.Storage.push_back(BOOT_STORAGE_DEVICE{u"D:", 4 << 20, 4096, TRUE});
        description.Storage.push_back(BOOT_STORAGE_DEVICE{u"", 2 << 20, 512, FALSE});
        Describe(description);
        Machine = BootCreateMachine(description);

        ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
        ASSERT_EQ(InstallForProduct(1), 0);
        ShutDownQvdnt5Machine(Machine);
        ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
        ASSERT_TRUE(Qvdnt5Loaded(Machine));
    }

    void TearDown() override {
        if (Machine->Running) {
            ShutDownQvdnt5Machine(Machine);
        }
        EvlpResetEventLog();
        BootDestroyMachine(Machine);
        UnregisterQvdnt5Module();
    }

    // Lets a test change the machine before it is created.
    virtual void Describe(BOOT_MACHINE_DESCRIPTION& Description) {}

    // The machine's volumes in the order of the description.
    std::vector<PDEVICE_OBJECT> Volumes() {
        std::vector<PDEVICE_OBJECT> volumes;
        for (PCWSTR name : {u"\\Device\\HarddiskVolume1", u"\\Device\\HarddiskVolume2",
                            u"\\Device\\HarddiskVolume3"}) {
            volumes.push_back(DiskFindVolume(name));
        }
        return volumes;
    }

    PBOOT_MACHINE Machine = nullptr;
};

// The clusters of the file Name ("\\name", from the root) on Volume, and
// its size.
inline std::vector<ULONGLONG> ClustersOf(PDEVICE_OBJECT Volume, const std::u16string& Name,
                                         ULONGLONG* Size = nullptr) {
    FSP_VOLUME* fs = FsGetVolume(Volume);
    for (FSP_STREAM* stream : FspVolumeStreams(fs)) {
        if (stream->Name == Name) {
            std::lock_guard<std::mutex> guard(fs->Lock);
            if (Size != nullptr) {
                *Size = stream->FileSize;
            }
            return stream->Clusters;
        }
    }
    return {};
}

class SnapshotTest : public BootWithDriverTest {
  protected:
    // C:'s filter device record.
    FilterExtension* FilterOfC() {
        return static_cast<FilterExtension*>(Volumes()[0]->AttachedDevice->DeviceExtension);
    }
    UCHAR FlagsOfC() { return ReadVolumeFlags(FilterOfC()); }

    // A freeze of C: with its partial data file and change store on C:.
    static FreezeCall FreezeOfC(const char16_t* ChangeStore = u"C:\\changes.bmp") {
        FreezeCall call = {};
        call.VolumeName = u"C:";
        call.PartialDataFilePath = u"C:\\partial.dat";
        call.ChangeStorePath = ChangeStore;
        call.MaxQuiesceMs = 5000;
        call.QuietPeriodMs = 300;
        return call;
    }

    // Runs the freeze in a program of its own; the system time it took (ms).
    LONGLONG Freeze(FreezeCall& Call, BOOT_USER_ACCOUNT Account = BootUserAdministrator) {
        LARGE_INTEGER start, end;
        KeQuerySystemTime(&start);
        ULONG exitCode = 99;
        EXPECT_EQ(BootRunUserProgram(u"agent.exe", FreezeProgram, &Call, &exitCode, Account),
                  STATUS_SUCCESS);
        EXPECT_EQ(exitCode, 0u);
        KeQuerySystemTime(&end);
        return (end.QuadPart - start.QuadPart) / 10000;
    }

    // Sends Calls from one program.
    void Send(std::vector<ControlCall>& Calls, BOOT_USER_ACCOUNT Account = BootUserAdministrator) {
        ControlCalls context = {Calls.data(), static_cast<ULONG>(Calls.size())};
        ULONG exitCode = 99;
        ASSERT_EQ(BootRunUserProgram(u"agent.exe", ControlProgram, &context, &exitCode, Account),
                  STATUS_SUCCESS);
        ASSERT_EQ(exitCode, 0u);
    }
    ControlCall SendOne(ControlCall Call) {
        std::vector<ControlCall> calls = {Call};
        Send(calls);
        return calls[0];
    }
    // A program of its own running Routine(Context) on one thread, left
    // running; Finish waits for it and ends the process.
    struct Running {
        PBOOT_USER_PROCESS Process;
        PBOOT_USER_THREAD Thread;
    };
    Running Start(BOOT_USER_ROUTINE Routine, PVOID Context) {
        Running running = {};
        EXPECT_EQ(BootCreateUserProcess(u"agent.exe", &running.Process), STATUS_SUCCESS);
        EXPECT_EQ(BootStartUserThread(running.Process, Routine, Context, &running.Thread),
                  STATUS_SUCCESS);
        return running;
    }
    void Finish(Running& Program) {
        BootCloseUserThread(Program.Thread);
        BootDeleteUserProcess(Program.Process);
    }

    // Waits (host time, up to TimeoutMs) until Condition holds.
    static bool WaitFor(const std::function<bool()>& Condition, int TimeoutMs = 5000) {
        for (int waited = 0; waited < TimeoutMs; waited += 10) {
            if (Condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return Condition();
    }

    // Writes each 4 KiB piece of the first Bytes of Path once, by default
    // non-cached (at once to the volume).
    void WriteOnce(const char16_t* Path, ULONG Bytes = 4096, BOOLEAN Unbuffered = TRUE) {
        WriterJob job;
        job.Path = Path;
        job.Bytes = Bytes;
        job.Unbuffered = Unbuffered;
        job.Stop = true;
        ULONG exitCode = 99;
        ASSERT_EQ(BootRunUserProgram(u"writer.exe", WriterProgram, &job, &exitCode),
                  STATUS_SUCCESS);
        ASSERT_EQ(exitCode, 0u) << "error " << job.Error;
    }

    // Entries of the event log with EventId.
    static ULONG Events(NTSTATUS EventId) {
        ULONG count = 0;
        for (ULONG i = 0; i < EvlpEntryCount(); i++) {
            EVLP_ENTRY entry;
            count += EvlpGetEntry(i, &entry) && entry.EventId == EventId;
        }
        return count;
    }

    ULONG Thaw(ULONG Handle) {
        ControlCall call = SendOne(VolumeCall(IOCTL_QVD_THAW_VOLUME, Handle));
        return RecordOf<QvdVolumeRequest>(call)->Result;
    }
};
