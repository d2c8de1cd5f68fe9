// The C string routines on 16-bit WCHAR the driver uses.
#include "nt/rtl.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WcsRoutines, SpanAndCaseInsensitivePrefixComparison) {
    EXPECT_EQ(wcscspn(u"C:\\dir", u"\\/"), 2u);
    EXPECT_EQ(wcscspn(u"none", u"\\/"), 4u);
    EXPECT_EQ(wcscspn(u"", u"\\"), 0u);

    EXPECT_EQ(_wcsnicmp(u"\\DEVICE\\x", u"\\device\\y", 8), 0);
    EXPECT_NE(_wcsnicmp(u"\\DEVICE\\x", u"\\device\\y", 9), 0);
    EXPECT_EQ(_wcsnicmp(u"ab", u"AB", 10), 0) << "stops at the terminator";
    EXPECT_NE(_wcsnicmp(u"pagefile", u"pagefile.sys", 12), 0);
    // Folded to lower case, letters sort after '_' (upper case would sort before).
    EXPECT_GT(_wcsnicmp(u"A", u"_", 1), 0);
    EXPECT_NE(_wcsnicmp(u"\xE9", u"\xC9", 1), 0) << "C locale: only ASCII letters fold";
}

} // namespace
