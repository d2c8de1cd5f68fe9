// The watchdog leaves the snapshot of an agent that lives (its mutex released
// normally) in place, period after period.
#include "snapshot_fixture.h"

namespace {

constexpr LONGLONG kMinute = 61ll * 10000000;

TEST_F(SnapshotTest, AMutexReleasedNormallyKeepsTheSnapshotAcrossPeriods) {
    FreezeCall freeze = FreezeOfC();
    freeze.KeepMutex = TRUE;
    Freeze(freeze);
    ASSERT_EQ(freeze.Reply.Result, QVD_RESULT_SUCCESS);
    for (int period = 0; period < 3; period++) {
        KiClockJump(kMinute);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(FlagsOfC() & VOLUME_FROZEN);
    EXPECT_EQ(Thaw(freeze.Reply.VolumeHandle), QVD_RESULT_SUCCESS);
}

} // namespace
