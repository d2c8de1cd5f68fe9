// rtl/large_integer.cpp - the 64-bit arithmetic routines the kernel exports
// for 32-bit callers. Any IRQL.
#include "nt/rtl.h"
#include "nt/seh.h"

LARGE_INTEGER RtlEnlargedIntegerMultiply(LONG Multiplicand, LONG Multiplier) {
    LARGE_INTEGER Result;
    Result.QuadPart = (LONGLONG)Multiplicand * (LONGLONG)Multiplier;
    return Result;
}

LARGE_INTEGER RtlEnlargedUnsignedMultiply(ULONG Multiplicand, ULONG Multiplier) {
    LARGE_INTEGER Result;
    Result.QuadPart = (LONGLONG)((ULONGLONG)Multiplicand * (ULONGLONG)Multiplier);
    return Result;
}

LARGE_INTEGER RtlExtendedIntegerMultiply(LARGE_INTEGER Multiplicand, LONG Multiplier) {
    // Wraps like the processor's multiply rather than overflowing.
    LARGE_INTEGER Result;
    Result.QuadPart =
        (LONGLONG)((ULONGLONG)Multiplicand.QuadPart * (ULONGLONG)(LONGLONG)Multiplier);
    return Result;
}

LARGE_INTEGER RtlLargeIntegerDivide(LARGE_INTEGER Dividend, LARGE_INTEGER Divisor,
                                    PLARGE_INTEGER Remainder) {
    if (Divisor.QuadPart == 0) {
        RtlRaiseStatus(STATUS_INTEGER_DIVIDE_BY_ZERO);
    }
    ULONGLONG A = (ULONGLONG)Dividend.QuadPart;
    ULONGLONG B = (ULONGLONG)Divisor.QuadPart;
    LARGE_INTEGER Result;
    Result.QuadPart = (LONGLONG)(A / B);
    if (Remainder != NULL) {
        Remainder->QuadPart = (LONGLONG)(A % B);
    }
    return Result;
}

LARGE_INTEGER RtlExtendedLargeIntegerDivide(LARGE_INTEGER Dividend, ULONG Divisor,
                                            PULONG Remainder) {
    if (Divisor == 0) {
        RtlRaiseStatus(STATUS_INTEGER_DIVIDE_BY_ZERO);
    }
    ULONGLONG A = (ULONGLONG)Dividend.QuadPart;
    LARGE_INTEGER Result;
    Result.QuadPart = (LONGLONG)(A / Divisor);
    if (Remainder != NULL) {
        *Remainder = (ULONG)(A % Divisor);
    }
    return Result;
}

LARGE_INTEGER RtlConvertLongToLargeInteger(LONG SignedInteger) {
    LARGE_INTEGER Result;
    Result.QuadPart = SignedInteger;
    return Result;
}

LARGE_INTEGER RtlConvertUlongToLargeInteger(ULONG UnsignedInteger) {
    LARGE_INTEGER Result;
    Result.QuadPart = UnsignedInteger;
    return Result;
}
