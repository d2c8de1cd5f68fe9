// The watchdog: an agent that dies while its volume is frozen has the
// snapshot ended within one period; one that lives keeps it.
#include "snapshot_fixture.h"

namespace {

constexpr LONGLONG kMinute = 61ll * 10000000;

TEST_F(SnapshotTest, TheWatchdogThawsTheVolumeOfAnAgentThatDied) {
    FreezeCall freeze = FreezeOfC();
    Freeze(freeze); // the agent's thread ends holding its mutex
    ASSERT_EQ(freeze.Reply.Result, QVD_RESULT_SUCCESS);
    EXPECT_TRUE(FlagsOfC() & VOLUME_FROZEN) << "nothing happens before the period ends";

    KiClockJump(kMinute);
    EXPECT_TRUE(WaitFor([&] { return (FlagsOfC() & VOLUME_FROZEN) == 0; }));
    EXPECT_EQ(FilterOfC()->SnapshotContext, nullptr);
    EXPECT_EQ(Thaw(freeze.Reply.VolumeHandle), QVD_RESULT_SUCCESS)
        << "a later thaw finds the snapshot ended";
    EXPECT_EQ(Thaw(freeze.Reply.VolumeHandle), QVD_RESULT_INVALID);
}

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
