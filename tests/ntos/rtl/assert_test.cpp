// assert_test.cpp - ASSERT and PAGED_CODE end the machine naming what failed,
// and let the caller go on when it holds.
#include "expect_bugcheck.h"
#include "ntddk.h"
#include "ntos/kernel_fixture.h"

static int PagedRoutine() {
    PAGED_CODE();
    return 1;
}

TEST_F(KernelTest, AssertionsBugCheckNamingTheExpressionAndOnlyWhenFalse) {
    int answer = 42;
    EXPECT_TRUE(ASSERT(answer == 42));
    EXPECT_BUGCHECK(ASSERT(answer == 41), KMODE_EXCEPTION_NOT_HANDLED,
                    "assertion failed: answer == 41 at .*assert_test.cpp:[0-9]+");
    EXPECT_BUGCHECK(ASSERTMSG("the answer", answer < 0), KMODE_EXCEPTION_NOT_HANDLED,
                    "answer < 0 \\(the answer\\)");
}

TEST_F(KernelTest, PagedCodeRunsUpToApcLevelOnly) {
    EXPECT_EQ(PagedRoutine(), 1);
    KIRQL irql = KfRaiseIrql(APC_LEVEL);
    EXPECT_EQ(PagedRoutine(), 1);
    KfLowerIrql(irql);
    EXPECT_BUGCHECK(
        {
            KfRaiseIrql(DISPATCH_LEVEL);
            PagedRoutine();
        },
        KMODE_EXCEPTION_NOT_HANDLED, "pageable code called above APC_LEVEL");
}
