// Counted strings: lengths in bytes, truncation to whole characters, NUL
// termination only when room remains, append failures leave the target as is.
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

TEST(RtlInitString, LengthsCountBytesAndNullGivesEmpty) {
    UNICODE_STRING U;
    RtlInitUnicodeString(&U, u"abc");
    EXPECT_EQ(U.Length, 6);
    EXPECT_EQ(U.MaximumLength, 8);
    RtlInitUnicodeString(&U, u"");
    EXPECT_EQ(U.Length, 0);
    EXPECT_EQ(U.MaximumLength, 2);
    RtlInitUnicodeString(&U, NULL);
    EXPECT_EQ(U.Length, 0);
    EXPECT_EQ(U.MaximumLength, 0);
    EXPECT_EQ(U.Buffer, nullptr);

    ANSI_STRING A;
    RtlInitAnsiString(&A, "abcd");
    EXPECT_EQ(A.Length, 4);
    EXPECT_EQ(A.MaximumLength, 5);
}

TEST(RtlInitString, OverlongStringIsCutToAnEvenLengthThatFits) {
    std::u16string Long(40000, u'a');
    UNICODE_STRING U;
    RtlInitUnicodeString(&U, Long.c_str());
    EXPECT_EQ(U.Length, 0xFFFC);
    EXPECT_EQ(U.MaximumLength, 0xFFFE);
}

// Whole characters are copied as far as they fit; a terminator only when a
// whole WCHAR of room remains.
TEST(RtlCopyUnicodeString, CutsToWholeCharactersAndTerminatesOnlyWithRoom) {
    UNICODE_STRING Source;
    RtlInitUnicodeString(&Source, u"abcd");
    const struct {
        USHORT MaximumLength;
        std::u16string Expected;
        WCHAR After; // the buffer's character after the copied text
    } Cases[] = {
        {10, u"abcd", UNICODE_NULL}, {8, u"abcd", u'x'}, {7, u"abc", u'x'}, {6, u"abc", u'x'}};
    for (const auto& C : Cases) {
        Target T(C.MaximumLength);
        RtlCopyUnicodeString(&T.String, &Source);
        EXPECT_EQ(Text(T.String), C.Expected) << "MaximumLength " << C.MaximumLength;
        EXPECT_EQ(T.Buffer[C.Expected.size()], C.After) << "MaximumLength " << C.MaximumLength;
    }
    Target T(10, u"abc");
    RtlCopyUnicodeString(&T.String, NULL);
    EXPECT_EQ(T.String.Length, 0) << "a NULL source empties the destination";
}

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

TEST(RtlAppendUnicode, StringToStringFollowsTheSameRules) {
    UNICODE_STRING Tail;
    RtlInitUnicodeString(&Tail, u"\\dir");
    Target T(14, u"C:");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&T.String, &Tail), STATUS_SUCCESS);
    EXPECT_EQ(Text(T.String), u"C:\\dir");
    EXPECT_EQ(T.Buffer[6], UNICODE_NULL);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&T.String, &Tail), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(T.String), u"C:\\dir");

    UNICODE_STRING Empty = {0, 0, NULL};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&T.String, &Empty), STATUS_SUCCESS);
}

TEST(RtlCompareUnicode, OrdersByCharacterThenLength) {
    UNICODE_STRING A, B, Prefix, Upper;
    RtlInitUnicodeString(&A, u"abc");
    RtlInitUnicodeString(&B, u"abd");
    RtlInitUnicodeString(&Prefix, u"ab");
    RtlInitUnicodeString(&Upper, u"ABC");

    EXPECT_LT(RtlCompareUnicodeString(&A, &B, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&B, &A, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&A, &Prefix, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&Prefix, &A, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&A, &Upper, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&A, &Upper, TRUE), 0);

    EXPECT_FALSE(RtlEqualUnicodeString(&A, &Upper, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&A, &Upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&A, &Prefix, TRUE));
}

TEST(RtlCompareUnicode, ComparesCountedTextNotTerminators) {
    // Buffers that continue past Length must not affect the result.
    WCHAR Long[] = u"abcXYZ";
    UNICODE_STRING A = {6, 14, Long};
    UNICODE_STRING B;
    RtlInitUnicodeString(&B, u"abc");
    EXPECT_TRUE(RtlEqualUnicodeString(&A, &B, FALSE));
    EXPECT_EQ(RtlCompareUnicodeString(&A, &B, FALSE), 0);
}

TEST(RtlPrefixUnicodeString, FirstMustBeAPrefixOfSecond) {
    UNICODE_STRING Dev, Vol, Other, Empty;
    RtlInitUnicodeString(&Dev, u"\\Device\\");
    RtlInitUnicodeString(&Vol, u"\\device\\HarddiskVolume1");
    RtlInitUnicodeString(&Other, u"\\DosDevices\\C:");
    RtlInitUnicodeString(&Empty, u"");
    EXPECT_FALSE(RtlPrefixUnicodeString(&Dev, &Vol, FALSE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&Dev, &Vol, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&Vol, &Dev, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&Dev, &Other, TRUE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&Empty, &Dev, FALSE));
}

TEST(RtlUpcaseUnicodeChar, FoldsLettersOfTheCommonScripts) {
    // Pairs after U+0139 start on an odd code (ł -> Ł).
    const std::u16string Lower = u"aZ_é÷ÿāĀłŁŋžςωяёｚ";
    const std::u16string Upper = u"AZ_É÷ŸĀĀŁŁŊŽΣΩЯЁＺ";
    for (size_t I = 0; I < Lower.size(); ++I) {
        EXPECT_EQ(RtlUpcaseUnicodeChar(Lower[I]), Upper[I]) << "character " << I;
    }
}

TEST(RtlCompareMemory, CountsLeadingEqualBytes) {
    const char A[] = "abcdef";
    const char B[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(A, B, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(A, A, 6), 6u);
    EXPECT_EQ(RtlCompareMemory(A, B, 0), 0u);
    EXPECT_TRUE(RtlEqualMemory(A, B, 3));
    EXPECT_FALSE(RtlEqualMemory(A, B, 4));
}

} // namespace
