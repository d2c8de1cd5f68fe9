// remlock_test.cpp - remove locks: removal waits for every holder, refuses
// new ones, and a release no acquisition accounts for is a bug check.
#include "expect_bugcheck.h"
#include "ntos/ke/ke_test_util.h"

#include <atomic>

class RemoveLockTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        IoInitializeRemoveLock(&Lock, EX_POOL_TAG('T', 'e', 's', 't'), 0, 0);
    }

    IO_REMOVE_LOCK Lock;
    int TagA = 0;
    int TagB = 0;
};

TEST_F(RemoveLockTest, RemovalWaitsForHoldersAndRefusesNewAcquisitions) {
    ASSERT_EQ(IoAcquireRemoveLock(&Lock, &TagA), STATUS_SUCCESS);
    KEVENT holding;
    KeInitializeEvent(&holding, NotificationEvent, FALSE);
    std::atomic<bool> released{false};
    TestThread holder([&] {
        ASSERT_EQ(IoAcquireRemoveLock(&Lock, &TagB), STATUS_SUCCESS);
        KeSetEvent(&holding, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER shortly = RelativeMs(100);
        KeDelayExecutionThread(KernelMode, FALSE, &shortly);
        EXPECT_EQ(IoAcquireRemoveLock(&Lock, &TagB), STATUS_DELETE_PENDING)
            << "an acquisition once removal began";
        released = true;
        IoReleaseRemoveLock(&Lock, &TagB);
    });
    KeWaitForSingleObject(&holding, Executive, KernelMode, FALSE, nullptr);
    IoReleaseRemoveLockAndWait(&Lock, &TagA);
    EXPECT_TRUE(released) << "removal returned while another thread held the lock";
    EXPECT_EQ(IoAcquireRemoveLock(&Lock, &TagA), STATUS_DELETE_PENDING);
}

TEST_F(RemoveLockTest, TagsAreCountedEachAndBeyondTheTrackedRoom) {
    int tags[IO_REMOVE_LOCK_TRACKED_TAGS + 4];
    for (int& tag : tags) {
        ASSERT_EQ(IoAcquireRemoveLock(&Lock, &tag), STATUS_SUCCESS);
    }
    ASSERT_EQ(IoAcquireRemoveLock(&Lock, &TagA), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&Lock, &TagA), STATUS_SUCCESS);
    for (int& tag : tags) {
        IoReleaseRemoveLock(&Lock, &tag);
    }
    IoReleaseRemoveLock(&Lock, &TagA);
    // One acquisition with TagA is left: removal gives it back and returns.
    IoReleaseRemoveLockAndWait(&Lock, &TagA);
}

TEST_F(RemoveLockTest, MisuseIsABugCheck) {
    EXPECT_BUGCHECK(IoReleaseRemoveLock(&Lock, &TagA), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "tag that holds no acquisition");
    ASSERT_EQ(IoAcquireRemoveLock(&Lock, &TagA), STATUS_SUCCESS);
    EXPECT_BUGCHECK(IoReleaseRemoveLock(&Lock, &TagB), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "tag that holds no acquisition");
    EXPECT_BUGCHECK(IoReleaseRemoveLockAndWait(&Lock, &TagB), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "tag that holds no acquisition");
    EXPECT_BUGCHECK(
        {
            IoReleaseRemoveLockAndWait(&Lock, &TagA);
            IoReleaseRemoveLockAndWait(&Lock, &TagA);
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION, "called twice");
    EXPECT_BUGCHECK(
        {
            KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
            IoReleaseRemoveLockAndWait(&Lock, &TagA);
            KfLowerIrql(irql);
        },
        IRQL_NOT_LESS_OR_EQUAL, "above PASSIVE_LEVEL");
    IO_REMOVE_LOCK never = {};
    EXPECT_BUGCHECK(IoAcquireRemoveLock(&never, &TagA), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "without IoInitializeRemoveLock");
    IoReleaseRemoveLock(&Lock, &TagA);
}

TEST_F(RemoveLockTest, HighWatermarkLimitsTheAcquisitionsHeldAtOnce) {
    IoInitializeRemoveLock(&Lock, EX_POOL_TAG('T', 'e', 's', 't'), 0, 2);
    ASSERT_EQ(IoAcquireRemoveLock(&Lock, &TagA), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&Lock, &TagA), STATUS_SUCCESS);
    EXPECT_BUGCHECK(IoAcquireRemoveLock(&Lock, &TagA), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "high watermark");
    IoReleaseRemoveLock(&Lock, &TagA);
    ASSERT_EQ(IoAcquireRemoveLock(&Lock, &TagB), STATUS_SUCCESS);
    IoReleaseRemoveLock(&Lock, &TagA);
    IoReleaseRemoveLock(&Lock, &TagB);
}
