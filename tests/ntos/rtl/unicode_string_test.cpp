// Counted strings: lengths in bytes, NUL termination only when room remains,
// append failures leave the target as is; upper-casing of characters.
#include "nt/rtl.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Text(const UNICODE_STRING& S) {
    return std::u16string(S.Buffer, S.Length / sizeof(WCHAR));
}

// A destination of MaximumLength bytes over a buffer filled with 'x'.
struct Target {
    WCHAR Buffer[16];
    UNICODE_STRING String;
    explicit Target(USHORT MaximumLength, const char16_t* Initial = u"") {
        for (WCHAR& C : Buffer) {
            C = u'x';
        }
        String.Buffer = Buffer;
        String.MaximumLength = MaximumLength;
        String.Length = 0;
        EXPECT_EQ(RtlAppendUnicodeToString(&String, Initial), STATUS_SUCCESS);
    }
};

// Lengths count bytes, NULL gives an empty string, and an overlong string is
// cut to an even length that fits.
TEST(RtlInitString, LengthsInBytes) {
    const std::u16string Long(40000, u'a');
    const struct {
        const WCHAR* Source;
        USHORT Length, MaximumLength;
    } Cases[] = {{u"abc", 6, 8}, {u"", 0, 2}, {nullptr, 0, 0}, {Long.c_str(), 0xFFFC, 0xFFFE}};
    for (const auto& C : Cases) {
        UNICODE_STRING U;
        RtlInitUnicodeString(&U, C.Source);
        EXPECT_EQ(U.Length, C.Length) << "got/expected Length for a source of " << C.Length;
        EXPECT_EQ(U.MaximumLength, C.MaximumLength);
        EXPECT_EQ(U.Buffer, C.Source);
    }
}

// Whole characters are copied as far as they fit; a terminator only when a
// whole WCHAR of room remains.
TEST(RtlAppendUnicode, FitsExactlyOrFailsWithoutChange) {
    Target T(12, u"ab");
    EXPECT_EQ(RtlAppendUnicodeToString(&T.String, u"cd"), STATUS_SUCCESS);
    EXPECT_EQ(Text(T.String), u"abcd");
    EXPECT_EQ(T.Buffer[4], UNICODE_NULL);

    EXPECT_EQ(RtlAppendUnicodeToString(&T.String, u"efg"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(T.String), u"abcd");
    EXPECT_EQ(T.Buffer[4], UNICODE_NULL);

    EXPECT_EQ(RtlAppendUnicodeToString(&T.String, u"ef"), STATUS_SUCCESS);
    EXPECT_EQ(Text(T.String), u"abcdef");
    EXPECT_EQ(T.Buffer[6], u'x') << "full buffer is not terminated";

    EXPECT_EQ(RtlAppendUnicodeToString(&T.String, u""), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&T.String, NULL), STATUS_SUCCESS);
    EXPECT_EQ(T.String.Length, 12);

    // One spare byte after the text: a WCHAR terminator would overrun it.
    Target Odd(9, u"ab");
    EXPECT_EQ(RtlAppendUnicodeToString(&Odd.String, u"cd"), STATUS_SUCCESS);
    EXPECT_EQ(Odd.String.Length, 8);
    EXPECT_EQ(Odd.Buffer[4], u'x');
}

TEST(RtlUpcaseUnicodeChar, FoldsLettersOfTheCommonScripts) {
    // Pairs after U+0139 start on an odd code (ł -> Ł).
    const std::u16string Lower = u"aZ_é÷ÿāĀłŁŋžςωяёｚ";
    const std::u16string Upper = u"AZ_É÷ŸĀĀŁŁŊŽΣΩЯЁＺ";
    for (size_t I = 0; I < Lower.size(); ++I) {
        EXPECT_EQ(RtlUpcaseUnicodeChar(Lower[I]), Upper[I]) << "character " << I;
    }
}

} // namespace
