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

TEST(RtlCopyUnicodeString, ExactFitIsNotTerminatedAndLongerIsCut) {
    UNICODE_STRING Source;
    RtlInitUnicodeString(&Source, u"abcd");

    Target Roomy(10);
    RtlCopyUnicodeString(&Roomy.String, &Source);
    EXPECT_EQ(Text(Roomy.String), u"abcd");
    EXPECT_EQ(Roomy.Buffer[4], UNICODE_NULL);

    Target Exact(8);
    RtlCopyUnicodeString(&Exact.String, &Source);
    EXPECT_EQ(Text(Exact.String), u"abcd");
    EXPECT_EQ(Exact.Buffer[4], u'x') << "no room for a terminator, none written";

    Target Short(6);
    RtlCopyUnicodeString(&Short.String, &Source);
    EXPECT_EQ(Text(Short.String), u"abc");
    EXPECT_EQ(Short.Buffer[3], u'x');
}

TEST(RtlCopyUnicodeString, OddMaximumLengthCopiesWholeCharactersOnly) {
    UNICODE_STRING Source;
    RtlInitUnicodeString(&Source, u"abcd");
    Target Odd(7);
    RtlCopyUnicodeString(&Odd.String, &Source);
    EXPECT_EQ(Odd.String.Length, 6);
    EXPECT_EQ(Text(Odd.String), u"abc");
    EXPECT_EQ(Odd.Buffer[3], u'x') << "a NUL would need one byte more than the buffer has";
}

TEST(RtlCopyUnicodeString, NullSourceEmptiesDestination) {
    Target T(10, u"abc");
    RtlCopyUnicodeString(&T.String, NULL);
    EXPECT_EQ(T.String.Length, 0);
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
}

TEST(RtlAppendUnicode, OddMaximumLengthNeverGetsAHalfTerminator) {
    // One spare byte after the text: a WCHAR terminator would overrun it.
    Target T(9, u"ab");
    EXPECT_EQ(RtlAppendUnicodeToString(&T.String, u"cd"), STATUS_SUCCESS);
    EXPECT_EQ(T.String.Length, 8);
    EXPECT_EQ(T.Buffer[4], u'x');
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
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'a'), u'A');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'Z'), u'Z');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'_'), u'_');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'é'), u'É');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'÷'), u'÷');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'ÿ'), u'Ÿ');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'ā'), u'Ā');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'Ā'), u'Ā');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'ł'), u'Ł'); // pairs after U+0139 start on an odd code
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'Ł'), u'Ł');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'ŋ'), u'Ŋ');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'ž'), u'Ž');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'ς'), u'Σ');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'ω'), u'Ω');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'я'), u'Я');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'ё'), u'Ё');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'ｚ'), u'Ｚ');
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
