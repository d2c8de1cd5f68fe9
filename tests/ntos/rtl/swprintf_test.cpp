// Wide formatted output with the kernel C library's conventions.
#include "expect_bugcheck.h"
#include "bugcodes.h"
#include "nt/rtl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// Formats with swprintf and checks the returned count against the text.
template <typename... Args> std::u16string Format(const char16_t* Fmt, Args... A) {
    WCHAR Buffer[256];
    std::fill(std::begin(Buffer), std::end(Buffer), u'#');
    int Count = swprintf(Buffer, Fmt, A...);
    std::u16string Out(Buffer);
    EXPECT_EQ(Count, (int)Out.size()) << "return value is the length without terminator";
    return Out;
}

TEST(Swprintf, StringsAndCharactersAreWideUnlessMarkedNarrow) {
    EXPECT_EQ(Format(u"%s|%ls|%ws", u"a", u"b", u"c"), u"a|b|c");
    EXPECT_EQ(Format(u"%hs|%S", "narrow", "upper"), u"narrow|upper");
    EXPECT_EQ(Format(u"%.*ls|%.*hs", 3, u"abcdef", 2, "xyz"), u"abc|xy");
    EXPECT_EQ(Format(u"%.2s", u"abc"), u"ab");
    EXPECT_EQ(Format(u"[%5s][%-5s]", u"ab", u"cd"), u"[   ab][cd   ]");
    EXPECT_EQ(Format(u"%s|%hs", (const WCHAR*)NULL, (const char*)NULL), u"(null)|(null)");
    EXPECT_EQ(Format(u"%hs", "caf\xE9 \x80"), u"café €") << "narrow text is code page 1252";
    EXPECT_EQ(Format(u"%c%wc%lc|%hc%C", u'a', u'b', u'\x3A9', 'x', 'y'), u"abΩ|xy");
    EXPECT_EQ(Format(u"[%3c] 100%%", u'z'), u"[  z] 100%");
}

TEST(Swprintf, SignedAndUnsignedIntegers) {
    EXPECT_EQ(Format(u"%d %i %ld", -5, 0, (LONG)-2147483647 - 1), u"-5 0 -2147483648");
    EXPECT_EQ(Format(u"%u %lu", 7u, (ULONG)0xFFFFFFFFu), u"7 4294967295");
    EXPECT_EQ(Format(u"%x %X %lx", 0xbeefu, 0xbeefu, (ULONG)0xABCDEF01u), u"beef BEEF abcdef01");
    EXPECT_EQ(Format(u"%08lX", (ULONG)0xC000009Au), u"C000009A");
    EXPECT_EQ(Format(u"%08lX", (ULONG)0x1Fu), u"0000001F");
}

TEST(SwprintfDeathTest, UnsupportedConversionsStopTheMachine) {
    WCHAR Buffer[32];
    EXPECT_BUGCHECK(swprintf(Buffer, u"%f", 1.5), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "conversion not supported");
    int Count = 0;
    EXPECT_BUGCHECK(swprintf(Buffer, u"%n", &Count), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "conversion not supported");
}

} // namespace
