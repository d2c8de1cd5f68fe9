// 64-bit arithmetic routines: full-width products and unsigned division.
#include "nt/rtl.h"
#include "nt/seh.h"

#include <gtest/gtest.h>

namespace {

LARGE_INTEGER Large(LONGLONG V) {
    LARGE_INTEGER L;
    L.QuadPart = V;
    return L;
}

TEST(LargeIntegerArithmetic, ProductsDoNotOverflow32Bits) {
    EXPECT_EQ(RtlEnlargedIntegerMultiply(-65536, 65536).QuadPart, -4294967296LL);
    EXPECT_EQ(RtlEnlargedUnsignedMultiply(0xFFFFFFFFu, 0xFFFFFFFFu).QuadPart,
              (LONGLONG)0xFFFFFFFE00000001ULL);
    EXPECT_EQ(RtlExtendedIntegerMultiply(Large(1LL << 40), -3).QuadPart, -3LL << 40);
    EXPECT_EQ(RtlConvertLongToLargeInteger(-1).QuadPart, -1);
    EXPECT_EQ(RtlConvertUlongToLargeInteger(0xFFFFFFFFu).QuadPart, 0xFFFFFFFFLL);
}

TEST(LargeIntegerArithmetic, DivisionIsUnsignedWithRemainder) {
    LARGE_INTEGER Rem;
    EXPECT_EQ(RtlLargeIntegerDivide(Large(1000000000007LL), Large(1000), &Rem).QuadPart,
              1000000000LL);
    EXPECT_EQ(Rem.QuadPart, 7);
    EXPECT_EQ(RtlLargeIntegerDivide(Large(-1), Large(2), NULL).QuadPart, (LONGLONG)(~0ULL / 2));

    ULONG SmallRem = 0;
    EXPECT_EQ(
        RtlExtendedLargeIntegerDivide(Large(10000000LL * 61 + 5), 10000000, &SmallRem).QuadPart,
        61);
    EXPECT_EQ(SmallRem, 5u);
    EXPECT_EQ(RtlExtendedLargeIntegerDivide(Large(-2), 2, NULL).QuadPart, (LONGLONG)(~0ULL / 2));
}

TEST(LargeIntegerArithmetic, DivisionByZeroRaises) {
    void (*const Divisions[])() = {[] { RtlExtendedLargeIntegerDivide(Large(5), 0, NULL); },
                                   [] { RtlLargeIntegerDivide(Large(5), Large(0), NULL); }};
    for (auto Divide : Divisions) {
        NTSTATUS Caught = STATUS_SUCCESS;
        _SEH2_TRY {
            Divide();
        }
        _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            Caught = GetExceptionCode();
        }
        _SEH2_END;
        EXPECT_EQ(Caught, STATUS_INTEGER_DIVIDE_BY_ZERO);
    }
}

} // namespace
