// Conversion of counted strings to the ANSI code page, into the caller's
// buffer or into paged pool.
#include "ntos/ex/exp.h"
#include "ntos/kernel_fixture.h"

#include <string>

namespace {

constexpr ULONG kAnsiTag = EX_POOL_TAG('R', 't', 'l', 'A');

class AnsiConversionTest : public KernelTest {};

std::string Text(const ANSI_STRING& S) {
    return std::string(S.Buffer, S.Length);
}

// Converts u"abcd" into a caller buffer of MaximumLength bytes filled with '#'.
struct CallerBuffer {
    CHAR Bytes[8];
    ANSI_STRING String;
    NTSTATUS Status;
    explicit CallerBuffer(USHORT MaximumLength, const WCHAR* Source = u"abcd") {
        memset(Bytes, '#', sizeof(Bytes));
        String = {0, MaximumLength, Bytes};
        UNICODE_STRING U;
        RtlInitUnicodeString(&U, Source);
        Status = RtlUnicodeStringToAnsiString(&String, &U, FALSE);
    }
};

TEST_F(AnsiConversionTest, CallerBufferExactFitOneShortAndEmpty) {
    CallerBuffer Exact(5);
    EXPECT_EQ(Exact.Status, STATUS_SUCCESS);
    EXPECT_EQ(Text(Exact.String), "abcd");
    EXPECT_EQ(Exact.Bytes[4], '\0');

    CallerBuffer Short(4);
    EXPECT_EQ(Short.Status, STATUS_BUFFER_OVERFLOW) << "a cut result is reported";
    EXPECT_EQ(Text(Short.String), "abc");
    EXPECT_EQ(Short.Bytes[3], '\0');
    EXPECT_EQ(Short.Bytes[4], '#') << "nothing written past MaximumLength";

    CallerBuffer None(0);
    EXPECT_EQ(None.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(None.String.Length, 0);
    EXPECT_EQ(None.Bytes[0], '#');

    CallerBuffer Empty(1, u"");
    EXPECT_EQ(Empty.Status, STATUS_SUCCESS);
    EXPECT_EQ(Empty.String.Length, 0);
    EXPECT_EQ(Empty.Bytes[0], '\0');
}

// An odd source length converts whole characters; characters outside the
// code page become question marks.
TEST_F(AnsiConversionTest, OddLengthAndCharactersOutsideTheCodePage) {
    WCHAR Source[] = u"abcd";
    UNICODE_STRING U = {7, 10, Source};
    CallerBuffer Out(8);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&Out.String, &U, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Text(Out.String), "abc");

    CallerBuffer Mapped(8, u"é€ア\x81");
    EXPECT_EQ(Mapped.Status, STATUS_SUCCESS);
    EXPECT_EQ(Text(Mapped.String), "\xE9\x80?\x81");
}

} // namespace
