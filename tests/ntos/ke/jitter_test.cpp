// Scheduling jitter: points of contention are delayed only while it is on.
#include "ke_test_util.h"
#include "ntos/ke/kernel.h"

#include <chrono>

namespace {

class JitterTest : public KernelTest {
  protected:
    void TearDown() override {
        KiSetSchedulingJitter(0, 0, 0);
        KernelTest::TearDown();
    }
    // Host milliseconds that 200 spin lock acquisitions and event signals take.
    static double ContentionPointsMs() {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 100; i++) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, old);
            KeSetEvent(&event, 0, FALSE);
        }
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    }
};

TEST_F(JitterTest, DelaysContentionPointsOnlyWhileOn) {
    KiSetSchedulingJitter(7, 100, 1000); // every point, up to 1 ms: about 100 ms in all
    EXPECT_GT(ContentionPointsMs(), 20.0);
    KiSetSchedulingJitter(7, 0, 1000);
    EXPECT_LT(ContentionPointsMs(), 20.0);
}

} // namespace
