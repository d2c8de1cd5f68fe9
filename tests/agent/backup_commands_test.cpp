// qvd-backup's commands through the real layers: a user program on a booted
// machine, win32, the I/O manager, the file system and the driver. A volume
// a dead agent left frozen, and a backup volume that fills up, stop the
// backup with the driver's reasons.
#include "agent_programs.h"
#include "backup_command.h"
#include "backup_machine.h"
#include "backup_program.h"
#include "ntos/boot/user_process.h"
#include "ntos/disk/disk.h"
#include "ntos/fs/fsp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <type_traits>

namespace {

constexpr uint64_t kVolumeBytes = 4ull << 20;
constexpr uint64_t kBlocks = kVolumeBytes / 4096;

class BackupCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BackupMachineShape shape;
        shape.VolumeBytes = kVolumeBytes;
        std::string error;
        Machine = BootBackupMachine(shape, &error);
        ASSERT_NE(Machine, nullptr) << error;
        Seed(0);
    }
    void TearDown() override {
        if (Machine != nullptr) {
            ShutDownBackupMachine(Machine);
        }
    }

    // Writes the two 1 MiB seed files on C: (Files of them) in Variant's bytes.
    void Seed(unsigned Variant, unsigned Files = 2) {
        SeedJob job{Files, 0, Variant};
        ULONG exitCode = 0;
        ASSERT_EQ(BootRunUserProgram(u"seed.exe", SeedProgram, &job, &exitCode), STATUS_SUCCESS);
        ASSERT_EQ(job.Failures, 0u);
    }

    static BackupOutcome Run(const std::vector<std::string>& Arguments,
                             BackupOutput Output = BackupOutput{true}) {
        BackupCommand command;
        command.Name = Arguments[0];
        command.Arguments.assign(Arguments.begin() + 1, Arguments.end());
        command.PartialDataFile = PartialDataFile;
        return RunBackupCommand(command, Output);
    }

    PBOOT_MACHINE Machine = nullptr;
    static inline std::string PartialDataFile;
};

TEST_F(BackupCommandsTest, FullIncrementalRestoreAndVerify) {
    // seed-0.bin is rewritten with other bytes (256 blocks and a file record)
    // while the full backup's volume is frozen: the incremental finds those
    // blocks in the change store that the full backup's freeze began.
    using Self = std::remove_pointer_t<decltype(this)>;
    BackupOutput rewriteWhileFrozen{true};
    rewriteWhileFrozen.Frozen = [](void* Test) { static_cast<Self*>(Test)->Seed(1, 1); };
    rewriteWhileFrozen.Context = this;
    const BackupOutcome full = Run({"full", "C:", "X:\\full.img"}, rewriteWhileFrozen);
    ASSERT_EQ(full.ExitCode, BackupExitOk) << full.Error;
    EXPECT_EQ(full.Backup.BytesRead, kVolumeBytes);

    const BackupOutcome incremental = Run({"incremental", "C:", "X:\\full.img", "X:\\inc.qvd"});
    ASSERT_EQ(incremental.ExitCode, BackupExitOk) << incremental.Error;
    EXPECT_FALSE(incremental.Backup.EveryBlock);
    EXPECT_GE(incremental.Backup.BlocksCopied, 256u);
    EXPECT_LT(incremental.Backup.BlocksCopied, 256u + 32) << "only the changed blocks";

    const BackupOutcome stale = Run({"verify", "X:\\full.img", "C:"});
    EXPECT_EQ(stale.ExitCode, BackupExitDiffers);
    EXPECT_GE(stale.Verify.BlocksDiffering, 256u);

    for (const char* target : {"X:\\restored.img", "S:"}) {
        const BackupOutcome restore = Run({"restore", target, "X:\\full.img", "X:\\inc.qvd"});
        ASSERT_EQ(restore.ExitCode, BackupExitOk) << target << ": " << restore.Error;
        EXPECT_EQ(restore.Restore.FilesApplied, 2u);
    }
    const BackupOutcome same = Run({"verify", "X:\\restored.img", "C:"});
    EXPECT_EQ(same.ExitCode, BackupExitOk) << same.Error;
    EXPECT_EQ(same.Verify.BytesCompared, kVolumeBytes);
    EXPECT_EQ(DiskSnapshotBackingStore(DiskFindVolume(u"\\DosDevices\\S:")),
              DiskSnapshotBackingStore(DiskFindVolume(u"\\DosDevices\\C:")))
        << "the volume restored to S: is C:";

    EXPECT_EQ(Run({"restore", "X:\\again.img", "X:\\inc.qvd"}).ExitCode, BackupExitBadFile)
        << "a delta alone is no image";

    // An incremental whose base is not the last backup copies every block.
    ASSERT_EQ(Run({"full", "C:", "X:\\b.img"}).ExitCode, BackupExitOk);
    const BackupOutcome unknown = Run({"incremental", "C:", "X:\\full.img", "X:\\inc2.qvd"});
    ASSERT_EQ(unknown.ExitCode, BackupExitOk) << unknown.Error;
    EXPECT_TRUE(unknown.Backup.EveryBlock) << "changes since full.img are not known";
    EXPECT_EQ(unknown.Backup.BlocksCopied, kBlocks);
    ASSERT_EQ(unknown.Notes.size(), 1u);
    EXPECT_NE(unknown.Notes[0].find("b.img.changes"), std::string::npos) << unknown.Notes[0];
    ASSERT_EQ(Run({"restore", "X:\\r.img", "X:\\full.img", "X:\\inc2.qvd"}).ExitCode, BackupExitOk);
    EXPECT_EQ(Run({"verify", "X:\\r.img", "C:"}).ExitCode, BackupExitOk);
}

// A snapshot its dead agent left behind stops the backup with the driver's
// reason; the watchdog that ends it is the lifecycle races' concern.
TEST_F(BackupCommandsTest, AVolumeADeadAgentLeftFrozenStopsTheBackup) {
    DyingAgent agent{u"C:", ~0u};
    ULONG exitCode = 0;
    ASSERT_EQ(BootRunUserProgram(u"dying.exe", DyingAgentProgram, &agent, &exitCode),
              STATUS_SUCCESS);
    ASSERT_EQ(agent.Result, 0u);
    const BackupOutcome blocked = Run({"full", "C:", "X:\\full.img"});
    EXPECT_EQ(blocked.ExitCode, BackupExitFailed);
    EXPECT_NE(blocked.Error.find("QVD_RESULT_ALREADY_FROZEN"), std::string::npos) << blocked.Error;
}

// Called in the agent's thread once C: is frozen: fills X: (the partial data
// file's volume) to 256 KiB free and writes to C:, twice, so that the driver's
// space watch sees it.
void FillBackupVolume(void* Context) {
    FSP_VOLUME* x = FsGetVolume(DiskFindVolume(u"\\DosDevices\\X:"));
    LONGLONG free;
    {
        std::lock_guard<std::mutex> guard(x->Lock);
        free = static_cast<LONGLONG>(x->FreeClusters);
    }
    *static_cast<LONGLONG*>(Context) = FsAdjustFreeSpace(x, free - (256 << 10) / x->ClusterSize);
    for (int i = 0; i < 2; i++) {
        EXPECT_TRUE(WriteDirect(u"C:\\seed-1.bin"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

TEST_F(BackupCommandsTest, ABackupVolumeThatFillsUpStopsTheBackupWithTheDriversReasons) {
    PartialDataFile = "X:\\partial.dat";
    LONGLONG taken = 0;
    BackupOutput output{true};
    output.Frozen = FillBackupVolume;
    output.Context = &taken;
    const BackupOutcome full = Run({"full", "C:", "S:\\full.img"}, output);
    PartialDataFile.clear();
    EXPECT_EQ(full.ExitCode, BackupExitBroken) << full.Error;
    EXPECT_NE(full.Error.find("low space, out of space"), std::string::npos) << full.Error;
    EXPECT_EQ(Run({"verify", "S:\\full.img", "C:"}).ExitCode, BackupExitFailed)
        << "no half image is left behind";

    FsAdjustFreeSpace(FsGetVolume(DiskFindVolume(u"\\DosDevices\\X:")), -taken);
    EXPECT_EQ(Run({"full", "C:", "X:\\full.img"}).ExitCode, BackupExitOk)
        << "the stopped backup thawed the volume";
}

} // namespace
