// Pool fault injection: each mode fails the allocations it names, returns
// NULL without charging the tag, and is reproducible.
#include "ntos/kernel_fixture.h"
#include "ntos/ex/exp.h"

#include <string>

namespace {

constexpr ULONG kTagA = EX_POOL_TAG('Q', 'v', 'd', 'A');
constexpr ULONG kTagB = EX_POOL_TAG('Q', 'v', 'd', 'B');
constexpr ULONG kOtherTag = EX_POOL_TAG('T', 's', 't', 'X');

class PoolFaultTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        ExpResetPoolFaults();
    }
    void TearDown() override {
        ExpResetPoolFaults();
        KernelTest::TearDown();
    }

    // Allocates Count blocks of Tag and frees them; returns the pattern of
    // outcomes, 'x' for a failed allocation and '.' for a granted one.
    static std::string Outcomes(int Count, ULONG Tag) {
        std::string pattern;
        for (int i = 0; i < Count; ++i) {
            PVOID p = ExAllocatePoolWithTag(NonPagedPool, 32, Tag);
            pattern += p == nullptr ? 'x' : '.';
            if (p != nullptr) {
                ExFreePool(p);
            }
        }
        return pattern;
    }
};

TEST_F(PoolFaultTest, TagModeFailsTheNextCountOfThatTagOnly) {
    ExpFailPoolTag(kTagA, 2);
    EXPECT_EQ(Outcomes(2, kTagB), "..") << "another tag is not affected";
    EXPECT_EQ(Outcomes(4, kTagA), "xx..");
    EXPECT_EQ(ExpPoolInjectedFailures(), 2u);

    ExpFailPoolTag(kTagA, EXP_FAIL_ALWAYS);
    EXPECT_EQ(Outcomes(5, kTagA), "xxxxx");
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 100, kTagA), nullptr);
    ExpPoolTagUsage u = ExpQueryPoolTag(kTagA);
    EXPECT_EQ(u.PagedBlocks + u.PagedBytes, 0u) << "a failed allocation is not charged";
    ExpFailPoolTag(kTagA, 0);
    EXPECT_EQ(Outcomes(1, kTagA), ".");
}

TEST_F(PoolFaultTest, EveryNthFailsMultiplesOfN) {
    ExpFailPoolEveryNth(3);
    EXPECT_EQ(Outcomes(9, kTagA), "..x..x..x");
    ExpFailPoolEveryNth(0);
    EXPECT_EQ(Outcomes(3, kTagA), "...");
}

TEST_F(PoolFaultTest, NthFromNowFailsExactlyThatAllocationOnce) {
    Outcomes(5, kTagA); // earlier allocations do not count
    ExpFailPoolNthFromNow(3);
    EXPECT_EQ(Outcomes(6, kTagA), "..x...");
    ExpFailPoolNthFromNow(2);
    ExpFailPoolNthFromNow(0);
    EXPECT_EQ(Outcomes(3, kTagA), "...") << "N 0 cancels";
}

TEST_F(PoolFaultTest, ScopeLimitsCountedModesAndTheCounter) {
    ExpSetPoolFaultScope(kTagA, 0x00FFFFFF); // "Qvd?" tags only
    ExpFailPoolEveryNth(1);
    ExpMarkPoolAllocations();
    EXPECT_EQ(Outcomes(3, kOtherTag), "...");
    EXPECT_EQ(ExpPoolAllocationsSinceMark(), 0u);
    EXPECT_EQ(Outcomes(2, kTagB), "xx");
    EXPECT_EQ(ExpPoolAllocationsSinceMark(), 2u);
}

} // namespace
