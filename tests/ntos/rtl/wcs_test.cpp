// The C string routines on 16-bit WCHAR.
#include "nt/rtl.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WcsRoutines, CopyConcatenateAndMeasure) {
    WCHAR Buffer[32];
    EXPECT_EQ(wcscpy(Buffer, u"\\??\\"), Buffer);
    EXPECT_EQ(wcscat(Buffer, u"C:"), Buffer);
    EXPECT_EQ(std::u16string(Buffer), u"\\??\\C:");
    EXPECT_EQ(wcslen(Buffer), 6u);
    EXPECT_EQ(wcslen(u""), 0u);
}

TEST(WcsRoutines, NcpyPadsShortSourcesAndLeavesLongOnesUnterminated) {
    WCHAR Buffer[6] = {u'x', u'x', u'x', u'x', u'x', u'x'};
    wcsncpy(Buffer, u"ab", 5);
    EXPECT_EQ(std::u16string(Buffer, 6), std::u16string(u"ab\0\0\0x", 6));

    WCHAR Exact[4] = {u'x', u'x', u'x', u'x'};
    wcsncpy(Exact, u"abc", 3);
    EXPECT_EQ(std::u16string(Exact, 4), u"abcx");
}

TEST(WcsRoutines, CompareAndSearch) {
    EXPECT_EQ(wcscmp(u"abc", u"abc"), 0);
    EXPECT_LT(wcscmp(u"ab", u"abc"), 0);
    EXPECT_GT(wcscmp(u"abd", u"abc"), 0);
    EXPECT_GT(wcscmp(u"\xFFFF", u"a"), 0) << "characters compare unsigned";

    const WCHAR* Path = u"\\Device\\Volume1\\file";
    EXPECT_EQ(wcschr(Path, u'\\'), Path);
    EXPECT_EQ(wcsrchr(Path, u'\\'), Path + 15);
    EXPECT_EQ(wcschr(Path, u'?'), nullptr);
    EXPECT_EQ(wcsrchr(Path, u'?'), nullptr);
    EXPECT_EQ(wcschr(Path, UNICODE_NULL), Path + wcslen(Path));

    EXPECT_EQ(wcscspn(u"C:\\dir", u"\\/"), 2u);
    EXPECT_EQ(wcscspn(u"none", u"\\/"), 4u);
    EXPECT_EQ(wcscspn(u"", u"\\"), 0u);
}

TEST(WcsRoutines, CaseInsensitiveComparisonFoldsToLowerCase) {
    EXPECT_EQ(_wcsicmp(u"PageFile.SYS", u"pagefile.sys"), 0);
    EXPECT_NE(_wcsicmp(u"pagefile", u"pagefile.sys"), 0);
    EXPECT_EQ(_wcsnicmp(u"\\DEVICE\\x", u"\\device\\y", 8), 0);
    EXPECT_NE(_wcsnicmp(u"\\DEVICE\\x", u"\\device\\y", 9), 0);
    EXPECT_EQ(_wcsnicmp(u"ab", u"AB", 10), 0) << "stops at the terminator";
    // Folded to lower case, letters sort after '_' (upper case would sort before).
    EXPECT_GT(_wcsicmp(u"A", u"_"), 0);
    EXPECT_EQ(towupper(u'q'), u'Q');
    EXPECT_EQ(towlower(u'Q'), u'q');
    EXPECT_EQ(towupper(u'é'), u'é') << "C locale";
}

} // namespace
