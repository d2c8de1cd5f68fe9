// IRQL and spin locks: mutual exclusion between threads and the misuse the
// verifier catches.
#include "expect_bugcheck.h"
#include "ke_test_util.h"

#include <vector>
#include <memory>

namespace {

class SpinLockTest : public KernelTest {};

TEST_F(SpinLockTest, ExcludesOtherThreadsAndRestoresIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0; // guarded by lock; a race here shows under the thread sanitizer
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

using SpinLockDeathTest = SpinLockTest;

TEST_F(SpinLockDeathTest, MisuseBugChecks) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KIRQL again;
    EXPECT_BUGCHECK(KfReleaseSpinLock(&lock, PASSIVE_LEVEL), SPIN_LOCK_NOT_OWNED,
                    "released by a thread that does not hold it");
    EXPECT_BUGCHECK(
        {
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLock(&lock, &again);
        },
        SPIN_LOCK_ALREADY_OWNED, "acquired again by the thread that holds it");
    EXPECT_BUGCHECK(
        {
            KeRaiseIrql(HIGH_LEVEL, &old);
            KeAcquireSpinLock(&lock, &again);
        },
        IRQL_NOT_LESS_OR_EQUAL, "spin lock acquired above DISPATCH_LEVEL");
    EXPECT_BUGCHECK(KeLowerIrql(DISPATCH_LEVEL), IRQL_NOT_LESS_OR_EQUAL,
                    "IRQL lowered to a level above the current one");
}

TEST(KernelThreadDeathTest, UnknownHostThreadBugChecks) {
    EXPECT_BUGCHECK(KeGetCurrentIrql(), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "called from a thread the kernel does not know");
}

} // namespace
