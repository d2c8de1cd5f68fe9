// IRQL and spin locks: mutual exclusion between threads and the misuse the
// verifier catches.
#include "ke_test_util.h"

#include <vector>
#include <memory>

namespace {

class SpinLockTest : public KernelTest {};

TEST_F(SpinLockTest, ExcludesOtherThreadsAndRestoresIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // guarded by lock; a race here shows under the thread sanitizer
    {
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int t = 0; t < 4; ++t) {
            threads.push_back(std::make_unique<TestThread>([&] {
                for (int i = 0; i < 2000; ++i) {
                    KIRQL old;
                    KeAcquireSpinLock(&lock, &old);
                    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                    counter = counter + 1;
                    KeReleaseSpinLock(&lock, old);
                    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
                }
            }));
        }
    }
    EXPECT_EQ(counter, 8000);
}

TEST_F(SpinLockTest, DpcLevelFormsNeedDispatchLevel) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
}

using SpinLockDeathTest = SpinLockTest;

TEST_F(SpinLockDeathTest, ReleasingALockNotHeldBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KfReleaseSpinLock(&lock, PASSIVE_LEVEL);
        },
        testing::ExitedWithCode(3), "STOP: 0x00000010(.|\n)*released by a thread that does not hold it");
}

TEST_F(SpinLockDeathTest, RecursiveAcquireBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL a;
            KIRQL b;
            KeAcquireSpinLock(&lock, &a);
            KeAcquireSpinLock(&lock, &b);
        },
        testing::ExitedWithCode(3), "acquired again by the thread that holds it");
}

TEST_F(SpinLockDeathTest, AcquireAboveDispatchBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KIRQL ignored;
            KeRaiseIrql(HIGH_LEVEL, &old);
            KeAcquireSpinLock(&lock, &ignored);
        },
        testing::ExitedWithCode(3), "spin lock acquired above DISPATCH_LEVEL");
}

TEST_F(SpinLockDeathTest, LoweringAboveCurrentBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(KeLowerIrql(DISPATCH_LEVEL), testing::ExitedWithCode(3),
                "IRQL lowered to a level above the current one");
}

TEST(KernelThreadDeathTest, UnknownHostThreadBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(KeGetCurrentIrql(), testing::ExitedWithCode(3),
                "called from a thread the kernel does not know");
}

} // namespace
