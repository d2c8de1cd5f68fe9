// expect_bugcheck.h - the one way tests expect a bug check: the statement
// runs in a child process, which must end as the verifier ends it (exit
// code 3) reporting the named bug check code and a rule matching Rule (an
// extended regular expression; "" accepts any rule).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "bugcodes.h"

// The report's first lines: "*** STOP: 0x0000000A (...)" then "*** rule: ...".
inline std::string BugCheckReport(unsigned long Code, const char* Rule) {
    char stop[32];
    std::snprintf(stop, sizeof(stop), "STOP: 0x%08lX ", Code);
    return std::string(stop) + "[^\n]*\n\\*\\*\\* rule: [^\n]*" + Rule;
}

#define EXPECT_BUGCHECK(statement, code, rule)                                                     \
    do {                                                                                           \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                                            \
        EXPECT_EXIT(statement, testing::ExitedWithCode(3), BugCheckReport(code, rule));            \
    } while (0)
