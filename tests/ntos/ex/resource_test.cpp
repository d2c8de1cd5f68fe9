// Executive resources: recursion, Wait=FALSE, waiter ordering, release for
// another thread, conversion to shared, the misuse rules, and a stress run
// that checks mutual exclusion.
#include "expect_bugcheck.h"
#include "ntos/ke/ke_test_util.h"
#include "ntos/kernel_fixture.h"
#include "ntos/ex/exp.h"

#include <atomic>

namespace {

class ResourceTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        ExInitializeResourceLite(&Resource);
    }
    void TearDown() override {
        ExDeleteResourceLite(&Resource);
        KernelTest::TearDown();
    }

    // Acquires the resource (waiting) inside a critical region, runs While,
    // and releases it again.
    template <class Body> void Hold(bool Exclusive, Body While) {
        KeEnterCriticalRegion();
        if (Exclusive) {
            ExAcquireResourceExclusiveLite(&Resource, TRUE);
        } else {
            ExAcquireResourceSharedLite(&Resource, TRUE);
        }
        While();
        ExReleaseResourceLite(&Resource);
        KeLeaveCriticalRegion();
    }

    // Runs Acquire on its own thread inside a critical region; TRUE when it
    // was granted (the hold is released before the thread ends).
    template <class Acquire> BOOLEAN TryFromOtherThread(Acquire acquire) {
        BOOLEAN granted = FALSE;
        {
            TestThread t([&] {
                KeEnterCriticalRegion();
                granted = acquire(&Resource);
                if (granted) {
                    ExReleaseResourceLite(&Resource);
                }
                KeLeaveCriticalRegion();
            });
        }
        return granted;
    }

    ERESOURCE Resource;
};
using ResourceDeathTest = ResourceTest;

BOOLEAN SharedNoWait(PERESOURCE r) {
    return ExAcquireResourceSharedLite(r, FALSE);
}
BOOLEAN ExclusiveNoWait(PERESOURCE r) {
    return ExAcquireResourceExclusiveLite(r, FALSE);
}
BOOLEAN StarveNoWait(PERESOURCE r) {
    return ExAcquireSharedStarveExclusive(r, FALSE);
}

// The exclusive owner acquires again, even without waiting; others may not.
TEST_F(ResourceTest, ExclusiveOwnerAcquiresRecursivelyAndOthersReturnAtOnce) {
    KeEnterCriticalRegion();
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&Resource, TRUE));
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&Resource, FALSE));
    EXPECT_TRUE(ExAcquireResourceSharedLite(&Resource, FALSE)) << "shared by the exclusive owner";
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&Resource));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&Resource), 3u);

    ExReleaseResourceLite(&Resource);
    ExReleaseResourceLite(&Resource);
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&Resource)) << "one hold left";
    EXPECT_FALSE(TryFromOtherThread(SharedNoWait));
    EXPECT_FALSE(TryFromOtherThread(ExclusiveNoWait));
    EXPECT_FALSE(TryFromOtherThread(StarveNoWait));
    ExReleaseResourceLite(&Resource);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&Resource));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&Resource), 0u);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(TryFromOtherThread(ExclusiveNoWait)) << "free after the last release";
}

TEST_F(ResourceTest, SharedHoldAdmitsOnlySharedHolds) {
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&Resource, TRUE);
    EXPECT_TRUE(TryFromOtherThread(SharedNoWait)) << "shared joins shared";
    EXPECT_FALSE(TryFromOtherThread(ExclusiveNoWait));
    EXPECT_FALSE(ExAcquireResourceExclusiveLite(&Resource, FALSE)) << "no upgrade of a shared hold";
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&Resource), 1u);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&Resource));
    ExReleaseResourceLite(&Resource);
    KeLeaveCriticalRegion();
}

TEST_F(ResourceTest, SharedRequestsWaitBehindAnExclusiveWaiter) {
    std::atomic<int> exclusiveGot{0}, sharedGot{0};
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&Resource, TRUE);

    TestThread writer([&] {
        Hold(true, [&] {
            exclusiveGot = 1;
            EXPECT_EQ(sharedGot.load(), 0) << "the reader queued behind the writer waits for it";
            LARGE_INTEGER d = RelativeMs(20);
            KeDelayExecutionThread(KernelMode, FALSE, &d);
        });
    });
    WaitUntil([&] { return ExGetExclusiveWaiterCount(&Resource) == 1; });

    TestThread reader([&] {
        Hold(false, [&] {
            sharedGot = 1;
            EXPECT_EQ(exclusiveGot.load(), 1);
        });
    });
    WaitUntil([&] { return ExGetSharedWaiterCount(&Resource) == 1; });

    EXPECT_FALSE(TryFromOtherThread(SharedNoWait)) << "new reader refused while a writer waits";
    EXPECT_TRUE(TryFromOtherThread(StarveNoWait)) << "the starve variant passes the writer";
    EXPECT_TRUE(ExAcquireResourceSharedLite(&Resource, FALSE)) << "a holder re-acquires";
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&Resource), 2u);
    EXPECT_FALSE(ExAcquireSharedWaitForExclusive(&Resource, FALSE))
        << "wait-for-exclusive queues even a holder";
    EXPECT_EQ(exclusiveGot.load(), 0);

    ExReleaseResourceLite(&Resource);
    ExReleaseResourceLite(&Resource);
    KeLeaveCriticalRegion();
    writer.Join();
    reader.Join();
    EXPECT_EQ(sharedGot.load(), 1);
    EXPECT_EQ(ExGetExclusiveWaiterCount(&Resource), 0u);
    EXPECT_EQ(ExGetSharedWaiterCount(&Resource), 0u);
}

TEST_F(ResourceTest, ReleaseForThreadFreesAnotherThreadsHoldForAWaiter) {
    std::atomic<ERESOURCE_THREAD> owner{0};
    std::atomic<bool> released{false}, got{false};
    // The holder stays alive until its hold is given back for it, so that no
    // new thread can reuse its identity meanwhile.
    TestThread holder([&] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&Resource, TRUE);
        owner = ExGetCurrentResourceThread();
        WaitUntil([&] { return released.load(); });
        EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&Resource));
        KeLeaveCriticalRegion();
    });
    WaitUntil([&] { return owner.load() != 0; });
    EXPECT_NE(owner.load(), ExGetCurrentResourceThread());

    TestThread waiter([&] { Hold(true, [&] { got = true; }); });
    WaitUntil([&] { return ExGetExclusiveWaiterCount(&Resource) == 1; });
    EXPECT_FALSE(got.load());
    ExReleaseResourceForThreadLite(&Resource, owner.load());
    waiter.Join();
    EXPECT_TRUE(got.load());
    released = true;
}

// At APC_LEVEL no critical region is needed.
TEST_F(ResourceTest, ReleaseForThreadWorksForASharedHoldAtDispatchLevel) {
    KIRQL irql;
    KeRaiseIrql(APC_LEVEL, &irql);
    ExAcquireResourceSharedLite(&Resource, TRUE);
    KeLowerIrql(irql);
    ERESOURCE_THREAD me = ExGetCurrentResourceThread();
    TestThread completer([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExReleaseResourceForThreadLite(&Resource, me);
        KeLowerIrql(old);
    });
    completer.Join();
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&Resource), 0u);
    EXPECT_TRUE(TryFromOtherThread(ExclusiveNoWait));
}

TEST_F(ResourceTest, ConvertToSharedLetsSharedWaitersInButNotWriters) {
    std::atomic<bool> readerIn{false}, writerIn{false};
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Resource, TRUE);
    ExAcquireResourceExclusiveLite(&Resource, TRUE);

    TestThread reader([&] { Hold(false, [&] { readerIn = true; }); });
    WaitUntil([&] { return ExGetSharedWaiterCount(&Resource) == 1; });
    TestThread writer([&] { Hold(true, [&] { writerIn = true; }); });
    WaitUntil([&] { return ExGetExclusiveWaiterCount(&Resource) == 1; });

    ExConvertExclusiveToSharedLite(&Resource);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&Resource));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&Resource), 2u) << "the recursion count is kept";
    reader.Join();
    EXPECT_TRUE(readerIn.load()) << "shared waiter admitted while we hold it shared";
    EXPECT_FALSE(writerIn.load());

    ExReleaseResourceLite(&Resource);
    ExReleaseResourceLite(&Resource);
    KeLeaveCriticalRegion();
    writer.Join();
    EXPECT_TRUE(writerIn.load());
}

// Random exclusive (sometimes recursive) and shared holds of every kind on
// six threads: an exclusive holder is always alone.
TEST_F(ResourceTest, StressKeepsExclusiveHoldersAlone) {
    std::atomic<int> exclusive{0}, shared{0}, violations{0};
    auto check = [&](bool Holds) { violations += Holds ? 0 : 1; };
    auto worker = [&](unsigned seed) {
        return [&, seed] {
            unsigned state = seed;
            for (int i = 0; i < 1500; ++i) {
                state = state * 1103515245u + 12345u;
                const unsigned kind = (state >> 16) % 4;
                const bool recurse = (state >> 20) & 1;
                const bool stall = (state >> 24) % 8 == 0;
                KeEnterCriticalRegion();
                if (kind == 0) {
                    ExAcquireResourceExclusiveLite(&Resource, TRUE);
                    check(!recurse || ExAcquireResourceSharedLite(&Resource, TRUE));
                    check(exclusive.fetch_add(1) == 0 && shared.load() == 0);
                    check(ExIsResourceAcquiredExclusiveLite(&Resource));
                    KeStallExecutionProcessor(stall ? 5 : 0);
                    check(shared.load() == 0);
                    exclusive.fetch_sub(1);
                    if (recurse)
                        ExReleaseResourceLite(&Resource);
                } else {
                    check(kind == 1   ? ExAcquireResourceSharedLite(&Resource, TRUE)
                          : kind == 2 ? ExAcquireSharedStarveExclusive(&Resource, TRUE)
                                      : ExAcquireSharedWaitForExclusive(&Resource, TRUE));
                    shared.fetch_add(1);
                    KeStallExecutionProcessor(stall ? 5 : 0);
                    check(exclusive.load() == 0);
                    shared.fetch_sub(1);
                }
                ExReleaseResourceLite(&Resource);
                KeLeaveCriticalRegion();
            }
        };
    };
    {
        TestThread t0(worker(1)), t1(worker(2)), t2(worker(3));
        TestThread t3(worker(4)), t4(worker(5)), t5(worker(6));
    }
    EXPECT_EQ(violations.load(), 0);
    EXPECT_GT(Resource.ContentionCount, 0u) << "the run never made a thread wait";
    EXPECT_EQ(ExGetExclusiveWaiterCount(&Resource) + ExGetSharedWaiterCount(&Resource), 0u);
    EXPECT_TRUE(TryFromOtherThread(ExclusiveNoWait)) << "free at the end";
}

TEST_F(ResourceDeathTest, AcquiringAgainstTheRulesBugChecks) {
    EXPECT_BUGCHECK(ExAcquireResourceExclusiveLite(&Resource, FALSE),
                    DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "resource acquired outside a critical region");
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAcquireResourceExclusiveLite(&Resource, FALSE);
        },
        IRQL_NOT_LESS_OR_EQUAL, "resource acquired above APC_LEVEL");
    ERESOURCE deleted;
    ExInitializeResourceLite(&deleted);
    ExDeleteResourceLite(&deleted);
    KeEnterCriticalRegion();
    EXPECT_BUGCHECK(ExAcquireResourceSharedLite(&deleted, TRUE), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "resource used without ExInitializeResourceLite or after ExDeleteResourceLite");
    KeLeaveCriticalRegion();
}

TEST_F(ResourceDeathTest, MisusingAHoldBugChecks) {
    KeEnterCriticalRegion();
    EXPECT_BUGCHECK(ExReleaseResourceLite(&Resource), RESOURCE_NOT_OWNED,
                    "resource released by a thread that does not own it");
    ExAcquireResourceSharedLite(&Resource, TRUE);
    EXPECT_BUGCHECK(ExReleaseResourceForThreadLite(&Resource, ExGetCurrentResourceThread() + 8),
                    RESOURCE_NOT_OWNED, "");
    EXPECT_BUGCHECK(ExDeleteResourceLite(&Resource), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "resource deleted while it is held or waited for");
    EXPECT_BUGCHECK(ExAcquireResourceExclusiveLite(&Resource, TRUE),
                    DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "resource acquired exclusively by a thread that holds it shared");
    ExReleaseResourceLite(&Resource);
    KeLeaveCriticalRegion();
}

} // namespace
