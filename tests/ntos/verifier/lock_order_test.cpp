// Deadlock detection: an order cycle between owned locks bug-checks with the
// stacks of both orders before any thread waits; consistent orders, recursion
// and locks that are new at an old address do not.
#include "expect_bugcheck.h"
#include "ntos/ke/ke_test_util.h"
#include "ntos/kernel_fixture.h"
#include "ntos/verifier/lock_order.h"

#include <string>

enum class LockKind { Spin, Resource, Mutex };

struct TestLock {
    LockKind Kind;
    KSPIN_LOCK Spin;
    KIRQL Irql;
    ERESOURCE Resource;
    KMUTEX Mutex;

    explicit TestLock(LockKind K) : Kind(K) {
        KeInitializeSpinLock(&Spin);
        ExInitializeResourceLite(&Resource);
        KeInitializeMutex(&Mutex, 0);
    }
    ~TestLock() { ExDeleteResourceLite(&Resource); }
    void Take() {
        if (Kind == LockKind::Spin) {
            KeAcquireSpinLock(&Spin, &Irql);
        } else if (Kind == LockKind::Resource) {
            KeEnterCriticalRegion();
            ExAcquireResourceExclusiveLite(&Resource, TRUE);
        } else {
            KeWaitForSingleObject(&Mutex, Executive, KernelMode, FALSE, nullptr);
        }
    }
    void Give() {
        if (Kind == LockKind::Spin) {
            KeReleaseSpinLock(&Spin, Irql);
        } else if (Kind == LockKind::Resource) {
            ExReleaseResourceLite(&Resource);
            KeLeaveCriticalRegion();
        } else {
            KeReleaseMutex(&Mutex, FALSE);
        }
    }
};

// Two code paths that nest locks; exported names, so that the report's stacks
// show which path recorded which order.
__attribute__((noinline)) void LockOrderFirstPath(TestLock& Outer, TestLock& Inner) {
    Outer.Take();
    Inner.Take();
    Inner.Give();
    Outer.Give();
    asm volatile("");
}

__attribute__((noinline)) void LockOrderSecondPath(TestLock& Outer, TestLock& Inner) {
    Outer.Take();
    Inner.Take();
    Inner.Give();
    Outer.Give();
    asm volatile("");
}

namespace {

using LockOrderTest = KernelTest;
using LockOrderDeathTest = KernelTest;

// One thread takes A then B and ends; later another takes B then A. They
// never overlap, so nothing deadlocks, yet the second one bug-checks.
void RecordOrderThenInvert(LockKind KindA, LockKind KindB) {
    TestLock a(KindA);
    TestLock b(KindB);
    {
        TestThread first([&] { LockOrderFirstPath(a, b); });
    }
    LockOrderSecondPath(b, a);
}

TEST_F(LockOrderDeathTest, InvertedOrderBugChecksWithBothStacks) {
    const std::string report = "\\(0x1001, 0x[0-9A-F]+, 0x[0-9A-F]+, 0x[0-9A-F]+\\)(.|\n)*"
                               "lock order cycle(.|\n)*recorded earlier(.|\n)*LockOrderFirstPath"
                               "(.|\n)*this thread's stack follows(.|\n)*LockOrderSecondPath";
    const struct {
        LockKind A, B;
    } pairs[] = {{LockKind::Spin, LockKind::Spin},
                 {LockKind::Resource, LockKind::Mutex},
                 {LockKind::Mutex, LockKind::Resource}};
    for (const auto& p : pairs) {
        SCOPED_TRACE(static_cast<int>(p.A) * 10 + static_cast<int>(p.B));
        EXPECT_BUGCHECK(RecordOrderThenInvert(p.A, p.B), DRIVER_VERIFIER_DETECTED_VIOLATION,
                        report.c_str());
    }
}

// Interlocked list routines take their spin lock inside the call: S -> L
// there, L -> T and T -> S by hand close the cycle.
void CycleThroughAnInterlockedListLock() {
    TestLock s(LockKind::Spin), t(LockKind::Spin), l(LockKind::Spin);
    LIST_ENTRY list, entry;
    InitializeListHead(&list);
    s.Take();
    ExInterlockedInsertTailList(&list, &entry, &l.Spin);
    s.Give();
    LockOrderFirstPath(l, t);
    LockOrderSecondPath(t, s);
}

TEST_F(LockOrderDeathTest, CycleThroughThreeLocksAndAnInterlockedListLock) {
    EXPECT_BUGCHECK(CycleThroughAnInterlockedListLock(), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "\\(0x1001, (.|\n)*lock order cycle");
}

TEST_F(LockOrderTest, ConsistentOrdersFromManyThreadsAndRecursionAreAccepted) {
    TestLock r(LockKind::Resource), m(LockKind::Mutex), s(LockKind::Spin);
    auto nest = [&] {
        for (int i = 0; i < 200; ++i) {
            r.Take();
            m.Take();
            r.Take(); // recursive: orders nothing after the mutex
            m.Take();
            s.Take();
            s.Give();
            m.Give();
            r.Give();
            m.Give();
            r.Give();
        }
    };
    {
        TestThread t1(nest);
        TestThread t2(nest);
        nest();
    }
    EXPECT_EQ(VfLockOrdersSeen(), 3u) << "resource -> mutex, resource -> spin, mutex -> spin";
}

TEST_F(LockOrderTest, ALockInitialisedAgainIsANewLock) {
    TestLock a(LockKind::Spin), b(LockKind::Spin);
    LockOrderFirstPath(a, b);
    KeInitializeSpinLock(&a.Spin);
    LockOrderSecondPath(b, a);
    EXPECT_EQ(VfLockOrdersSeen(), 2u);
}

// Taking a resource shared is ordered after what is held, even though a
// shared hold orders nothing taken after it.
TEST_F(LockOrderTest, ASharedAcquisitionIsOrderedAfterWhatIsHeld) {
    TestLock a(LockKind::Resource), m(LockKind::Mutex);
    m.Take();
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&a.Resource, TRUE);
    ExReleaseResourceLite(&a.Resource);
    KeLeaveCriticalRegion();
    m.Give();
    EXPECT_EQ(VfLockOrdersSeen(), 1u) << "mutex before the shared resource";
}

void ReleaseOutOfOrder() {
    TestLock a(LockKind::Spin), b(LockKind::Spin);
    a.Take();
    b.Take();
    KeReleaseSpinLockFromDpcLevel(&a.Spin);
}

void FreeAHeldLock() {
    constexpr ULONG tag = 0x74736554; // 'Test'
    auto* lock = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, 64, tag));
    KeInitializeSpinLock(lock);
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    ExFreePoolWithTag(lock, tag);
}

TEST_F(LockOrderDeathTest, SpinLocksReleasedOutOfOrderOrFreedWhileHeld) {
    EXPECT_BUGCHECK(ReleaseOutOfOrder(), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "\\(0x1003, (.|\n)*spin lock released before a spin lock taken after it");
    EXPECT_BUGCHECK(FreeAHeldLock(), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "\\(0x100B, (.|\n)*freed while a lock in it is held");
}

} // namespace
