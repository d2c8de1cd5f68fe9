// The free-space watch on the partial data file's volume: the status bits,
// the broken state and its event, and recovery with and without StayBroken.
#include "snapshot_fixture.h"

namespace {

class SpaceWatchTest : public SnapshotTest {
  protected:
    // Freezes C: with limits of 1 MiB (warn) and 512 KiB (min), and reports
    // progress to its end, so writes are watched but need no preserving.
    ULONG FreezeWatched(ULONG Flags) {
        FreezeCall freeze = FreezeOfC();
        freeze.WarnFreeKB = 1024;
        freeze.MinFreeKB = 512;
        freeze.FreezeFlags = Flags;
        Freeze(freeze);
        EXPECT_EQ(freeze.Reply.Result, QVD_RESULT_SUCCESS);
        const ULONG handle = freeze.Reply.VolumeHandle;
        EXPECT_EQ(RecordOf<QvdProgressRequest>(SendOne(ProgressCall(handle, 8ull << 20)))->Result,
                  QVD_RESULT_SUCCESS);
        return handle;
    }
    // Leaves Kb kilobytes free on C:.
    void LeaveFree(ULONGLONG Kb) {
        FSP_VOLUME* volume = FsGetVolume(Volumes()[0]);
        LONGLONG freeClusters;
        {
            std::lock_guard<std::mutex> guard(volume->Lock);
            freeClusters = static_cast<LONGLONG>(volume->FreeClusters);
        }
        FsAdjustFreeSpace(volume, freeClusters - static_cast<LONGLONG>(Kb * 1024 / volume->ClusterSize));
    }
    // Writes twice (the first write's query gives the second its figures)
    // and returns the Status the agent then sees.
    ULONG StatusAfterWrites(ULONG Handle) {
        WriteOnce(u"C:\\data.bin");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        WriteOnce(u"C:\\data.bin");
        return RecordOf<QvdProgressRequest>(SendOne(ProgressCall(Handle, 8ull << 20)))->Status;
    }
};

TEST_F(SpaceWatchTest, LowThenOutOfSpaceThenRecovery) {
    WriteOnce(u"C:\\data.bin"); // the file exists before the freeze
    const ULONG handle = FreezeWatched(0);
    EXPECT_EQ(StatusAfterWrites(handle), 0u);
    LeaveFree(768);
    EXPECT_EQ(StatusAfterWrites(handle), QVD_STATUS_LOW_SPACE);
    EXPECT_EQ(Events(0xC777000A), 0u);
    LeaveFree(256);
    EXPECT_EQ(StatusAfterWrites(handle),
              QVD_STATUS_LOW_SPACE | QVD_STATUS_OUT_OF_SPACE | QVD_STATUS_BROKEN);
    EXPECT_EQ(StatusAfterWrites(handle),
              QVD_STATUS_LOW_SPACE | QVD_STATUS_OUT_OF_SPACE | QVD_STATUS_BROKEN);
    EXPECT_EQ(Events(0xC777000A), 1u) << "logged once per break";
    LeaveFree(4096);
    EXPECT_EQ(StatusAfterWrites(handle), QVD_STATUS_OUT_OF_SPACE)
        << "a break for space alone mends; the out-of-space bit stays";
    EXPECT_EQ(Thaw(handle), QVD_RESULT_SUCCESS);
}

TEST_F(SpaceWatchTest, StayBrokenKeepsTheBreakWhenSpaceReturns) {
    WriteOnce(u"C:\\data.bin");
    const ULONG handle = FreezeWatched(QVD_FREEZE_STAY_BROKEN);
    LeaveFree(256);
    EXPECT_EQ(StatusAfterWrites(handle) & QVD_STATUS_BROKEN, QVD_STATUS_BROKEN);
    LeaveFree(4096);
    EXPECT_EQ(StatusAfterWrites(handle), QVD_STATUS_OUT_OF_SPACE | QVD_STATUS_BROKEN);
    EXPECT_EQ(Thaw(handle), QVD_RESULT_SUCCESS);
}

} // namespace
