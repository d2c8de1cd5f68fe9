// Pool blocks: per-tag accounting, alignment, the leak check, and the misuse
// the pool turns into bug checks.
#include "expect_bugcheck.h"
#include "ntos/kernel_fixture.h"
#include "ntos/ex/exp.h"

#include <cstdint>

namespace {

constexpr ULONG kTagA = EX_POOL_TAG('Q', 'v', 'd', 'A');
constexpr ULONG kTagB = EX_POOL_TAG('Q', 'v', 'd', 'B');
constexpr ULONG kOtherTag = EX_POOL_TAG('T', 's', 't', 'X');

class PoolTest : public KernelTest {};
using PoolDeathTest = PoolTest;

// The cache-aligned kinds count with their base kind.
TEST_F(PoolTest, CacheAlignedPagedPoolCountsAsPaged) {
    PVOID block = ExAllocatePoolWithTag(PagedPoolCacheAligned, 7, kTagB);
    ExpPoolTagUsage usage = ExpQueryPoolTag(kTagB);
    EXPECT_EQ(usage.PagedBlocks, 1u);
    EXPECT_EQ(usage.PagedBytes, 7u);
    EXPECT_EQ(usage.NonPagedBlocks, 0u);
    ExFreePool(block);
}

TEST_F(PoolTest, BlocksAreAlignedAndDistinct) {
    PVOID blocks[32];
    for (int i = 0; i < 32; ++i) {
        POOL_TYPE type = (i % 2) ? PagedPool : NonPagedPool;
        blocks[i] = ExAllocatePoolWithTag(type, static_cast<SIZE_T>(i), kTagA);
        ASSERT_NE(blocks[i], nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[i]) % 16, 0u) << "size " << i;
        std::memset(blocks[i], 0x5A, static_cast<size_t>(i)); // the whole block is usable
    }
    PVOID aligned = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 1, kTagA);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 64, 0u);
    ExFreePool(aligned);
    for (PVOID p : blocks) {
        ExFreePool(p);
    }
}

// A leak check names each leaking tag of its scope with count and bytes.
TEST_F(PoolDeathTest, LeakedTagsAreReportedWithinTheirScope) {
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
    ExpVerifyNoPoolLeaks(kTagA, 0x00FFFFFF); // only "Qvd?" tags: passes
    EXPECT_BUGCHECK(ExpVerifyNoPoolLeaks(), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "pool leaked: tag 'TstX' holds 1 blocks \\(8 bytes\\)");
    ExFreePool(other);
    EXPECT_BUGCHECK(
        {
            ExAllocatePoolWithTag(PagedPool, 100, kTagA);
            ExAllocatePoolWithTag(NonPagedPool, 28, kTagA);
            ExpVerifyNoPoolLeaks(kTagA, 0x00FFFFFF);
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION,
        "rule: pool leaked: tag 'QvdA' holds 2 blocks \\(128 bytes\\)");
}

TEST_F(PoolDeathTest, BadFreesAndRequestsBugCheck) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 64, kTagA);
    int local = 0;
    EXPECT_BUGCHECK(ExFreePool(&local), BAD_POOL_CALLER,
                    "\\(0x46(.|\n)*rule: freed memory that is not a pool block");
    EXPECT_BUGCHECK(ExFreePool(static_cast<UCHAR*>(p) + 16), BAD_POOL_CALLER,
                    "freed memory that is not a pool block");
    EXPECT_BUGCHECK(ExFreePoolWithTag(p, kTagB), BAD_POOL_CALLER,
                    "freed with a tag it was not allocated with");
    EXPECT_BUGCHECK(ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 16, kTagA), BAD_POOL_CALLER,
                    "must-succeed pool is not supported");
    ExFreePoolWithTag(p, kTagA);
    EXPECT_BUGCHECK(ExFreePool(p), BAD_POOL_CALLER, "\\(0x7(.|\n)*rule: pool block freed twice");
}

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer the guards and freed blocks are poisoned, so the bad
// access itself is reported.
TEST_F(PoolDeathTest, OverrunAndUseAfterFreeAreReportedAtTheAccess) {
    EXPECT_EXIT(
        {
            auto* p = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTagA));
            p[10] = 0;
        },
        testing::ExitedWithCode(1), "use-after-poison");
    EXPECT_EXIT(
        {
            auto* p = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTagA));
            ExFreePool(const_cast<UCHAR*>(p));
            p[0] = 1;
        },
        testing::ExitedWithCode(1), "use-after-poison");
}
#else
TEST_F(PoolDeathTest, OverrunPastTheBlockIsCaughtAtFree) {
    EXPECT_BUGCHECK(
        {
            auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTagA));
            p[10] = 0;
            ExFreePool(p);
        },
        BAD_POOL_HEADER, "pool block overrun");
    EXPECT_BUGCHECK(
        {
            auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 10, kTagA));
            p[-1] = 0;
            ExFreePool(p);
        },
        BAD_POOL_HEADER, "pool block overrun");
}
#endif

TEST_F(PoolDeathTest, OnlyNonPagedPoolAtDispatchLevel) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 64, kTagA));
    KeLowerIrql(old);
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 16, kTagA);
        },
        BAD_POOL_CALLER, "\\(0x8(.|\n)*paged pool allocated at DISPATCH_LEVEL or above");
    PVOID p = ExAllocatePoolWithTag(PagedPool, 16, kTagA);
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExFreePool(p);
        },
        BAD_POOL_CALLER, "paged pool freed at DISPATCH_LEVEL or above");
    ExFreePool(p);
}

TEST_F(PoolDeathTest, FreeingPoolThatHoldsALiveResourceBugChecks) {
    struct Record {
        ULONG Header;
        ERESOURCE Lock;
    };
    auto* r = static_cast<Record*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Record), kTagA));
    ExInitializeResourceLite(&r->Lock);
    EXPECT_BUGCHECK(ExFreePool(r), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "pool freed while it holds a resource that was not deleted");
    ExDeleteResourceLite(&r->Lock);
    ExFreePool(r);
}

} // namespace
