// An agent freezes C: through the control device, reads its progress and
// extent list, and thaws it; a live agent's snapshot outlasts the watchdog.
#include "snapshot_fixture.h"

namespace {

TEST_F(SnapshotTest, FreezeReportProgressAndThaw) {
    FreezeCall freeze = FreezeOfC();
    const LONGLONG elapsed = Freeze(freeze);
    ASSERT_EQ(freeze.Status, STATUS_SUCCESS);
    ASSERT_EQ(freeze.Reply.Result, QVD_RESULT_SUCCESS);
    const ULONG handle = freeze.Reply.VolumeHandle;
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(freeze.Reply.PreviousChangeStoreName[0], 0) << "no store before the first snapshot";
    EXPECT_GE(elapsed, 300) << "a quiet volume still waits the quiet period";
    EXPECT_LT(elapsed, 5000) << "... and freezes once quiet, not at the limit";
    EXPECT_EQ(FlagsOfC() & (VOLUME_FROZEN | VOLUME_QUIESCING | VOLUME_OWNER_RECORDED),
              VOLUME_FROZEN | VOLUME_OWNER_RECORDED);

    const ULONGLONG size = 8ull << 20;
    std::vector<ControlCall> calls = {
        ProgressCall(handle, 0),
        ProgressCall(handle, size - 1),
        ProgressCall(handle, size),
        ProgressCall(handle, size + 512),
        ProgressCall(handle, 0),
        VolumeCall(IOCTL_QVD_ENABLE_EXTENT_LIST, handle),
        VolumeCall(IOCTL_QVD_ENABLE_EXTENT_LIST, handle),
        ProgressCall(handle, 512),
        ExtentListCall(handle, 0, 47),
        ExtentListCall(handle, 0, 23),
        VolumeCall(IOCTL_QVD_THAW_VOLUME, handle),
        VolumeCall(IOCTL_QVD_THAW_VOLUME, handle),
        ProgressCall(handle, 0),
        VolumeCall(IOCTL_QVD_THAW_VOLUME, handle + 1000),
    };
    Send(calls);
    struct Expected {
        ULONG Result;
        ULONG_PTR Bytes;
    };
    const Expected expected[] = {
        {QVD_RESULT_SUCCESS, 24},      {QVD_RESULT_SUCCESS, 24},      {QVD_RESULT_SUCCESS, 24},
        {QVD_RESULT_BAD_POSITION, 24}, {QVD_RESULT_BAD_POSITION, 24}, {QVD_RESULT_SUCCESS, 8},
        {QVD_RESULT_INVALID, 8},       {QVD_RESULT_INVALID, 24},      {QVD_RESULT_SUCCESS, 24},
        {QVD_RESULT_INVALID, 24},      {QVD_RESULT_SUCCESS, 8},       {QVD_RESULT_INVALID, 8},
        {QVD_RESULT_INVALID, 8},       {QVD_RESULT_INVALID, 8},
    };
    for (size_t i = 0; i < calls.size(); i++) {
        EXPECT_EQ(calls[i].Status, STATUS_SUCCESS) << "call " << i;
        EXPECT_EQ(RecordOf<QvdResultRecord>(calls[i])->Result, expected[i].Result) << "call " << i;
        EXPECT_EQ(calls[i].Information, expected[i].Bytes) << "call " << i;
    }
    EXPECT_EQ(RecordOf<QvdProgressRequest>(calls[0])->Status, 0u);
    EXPECT_EQ(RecordOf<QvdExtentListRequest>(calls[8])->Count, 0u) << "nothing preserved";
    EXPECT_EQ(RecordOf<QvdExtentListRequest>(calls[8])->Cursor, 0u);
    EXPECT_EQ(FlagsOfC() & (VOLUME_FROZEN | VOLUME_OWNER_RECORDED | VOLUME_EXTENT_LIST), 0);
}

// The watchdog leaves the snapshot of an agent that lives (its mutex released
// normally) in place, period after period.
TEST_F(SnapshotTest, AMutexReleasedNormallyKeepsTheSnapshotAcrossPeriods) {
    FreezeCall freeze = FreezeOfC();
    freeze.KeepMutex = TRUE;
    Freeze(freeze);
    ASSERT_EQ(freeze.Reply.Result, QVD_RESULT_SUCCESS);
    for (int period = 0; period < 3; period++) {
        KiClockJump(61ll * 10000000); // a watchdog period
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(FlagsOfC() & VOLUME_FROZEN);
    EXPECT_EQ(Thaw(freeze.Reply.VolumeHandle), QVD_RESULT_SUCCESS);
}

} // namespace
