// A bug check ends the process and names the code, the rule and the caller.
#include "expect_bugcheck.h"
#include "bugcodes.h"
#include "ntos/verifier/bugcheck.h"

#include <gtest/gtest.h>

TEST(BugCheckDeathTest, NamesCodeAndRule) {
    EXPECT_BUGCHECK(
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "pool freed twice", VF_CALLER(), 7),
        DRIVER_VERIFIER_DETECTED_VIOLATION,
        "\\(0x7, 0x0, 0x0, 0x0\\)(.|\n)*rule: pool freed twice");
}

TEST(BugCheckDeathTest, KeBugCheckExReportsParameters) {
    EXPECT_BUGCHECK(KeBugCheckEx(0x44, 1, 2, 3, 4), MULTIPLE_IRP_COMPLETE_REQUESTS,
                    "\\(0x1, 0x2, 0x3, 0x4\\)");
}
