// A bug check ends the process and names the code, the rule and the caller.
#include "bugcodes.h"
#include "ntos/verifier/bugcheck.h"

#include <gtest/gtest.h>

TEST(BugCheckDeathTest, NamesCodeAndRule) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "pool freed twice", VF_CALLER(), 7),
                testing::ExitedWithCode(3), "STOP: 0x000000C4 \\(0x7, 0x0, 0x0, 0x0\\)(.|\n)*rule: pool freed twice");
}

TEST(BugCheckDeathTest, KeBugCheckExReportsParameters) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(KeBugCheckEx(0x44, 1, 2, 3, 4), testing::ExitedWithCode(3),
                "STOP: 0x00000044 \\(0x1, 0x2, 0x3, 0x4\\)");
}
