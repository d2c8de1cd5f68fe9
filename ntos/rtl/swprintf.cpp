// rtl/swprintf.cpp - the kernel C library's wide formatted output
// (swprintf, _snwprintf, _vsnwprintf). Any IRQL.
//
// Conventions are the platform C library's, not the host's: in wide output
// %s and %c take wide arguments and %hs, %S, %hc, %C narrow ones; 'l' means
// a 32-bit LONG, I64 and ll 64 bits, I pointer-sized. Narrow text converts
// through the system's ANSI code page.
#include "bugcodes.h"
#include "nt/rtl.h"
#include "ntos/rtl/rtlp.h"
#include "ntos/verifier/bugcheck.h"

namespace {

// Where formatted characters go. Characters past Capacity are counted but
// not stored.
struct OutputSink {
    PWSTR Buffer;
    SIZE_T Capacity; // characters the buffer may receive
    SIZE_T Count;    // characters produced so far

    void Put(WCHAR C) {
        if (Count < Capacity) {
            Buffer[Count] = C;
        }
        Count++;
    }
    void Repeat(WCHAR C, SIZE_T N) {
        for (SIZE_T i = 0; i < N; i++) {
            Put(C);
        }
    }
};

enum class SizePrefix { None, Short, Long, LongLong, Pointer, Wide };

struct Conversion {
    bool Left = false;
    bool Plus = false;
    bool Space = false;
    bool Alternate = false;
    bool Zero = false;
    SIZE_T Width = 0;
    bool HasPrecision = false;
    SIZE_T Precision = 0;
    SizePrefix Size = SizePrefix::None;
};

void PutPadded(OutputSink& Out, const Conversion& Conv, SIZE_T Length, const WCHAR* Wide,
               const CHAR* Narrow) {
    SIZE_T Pad = Conv.Width > Length ? Conv.Width - Length : 0;
    if (!Conv.Left) {
        Out.Repeat(Conv.Zero ? u'0' : u' ', Pad);
    }
    for (SIZE_T i = 0; i < Length; i++) {
        Out.Put(Wide != NULL ? Wide[i] : RtlpAnsiCharToUnicode(Narrow[i]));
    }
    if (Conv.Left) {
        Out.Repeat(u' ', Pad);
    }
}

void PutString(OutputSink& Out, const Conversion& Conv, bool IsNarrow, const void* Argument) {
    static const CHAR NullText[] = "(null)";
    const CHAR* Narrow = IsNarrow ? (const CHAR*)Argument : NULL;
    const WCHAR* Wide = IsNarrow ? NULL : (const WCHAR*)Argument;
    if (Argument == NULL) {
        Narrow = NullText;
        Wide = NULL;
    }
    SIZE_T Limit = Conv.HasPrecision ? Conv.Precision : (SIZE_T)-1;
    SIZE_T Length = 0;
    if (Wide != NULL) {
        while (Length < Limit && Wide[Length] != UNICODE_NULL) {
            Length++;
        }
    } else {
        while (Length < Limit && Narrow[Length] != ANSI_NULL) {
            Length++;
        }
    }
    PutPadded(Out, Conv, Length, Wide, Narrow);
}

void PutInteger(OutputSink& Out, const Conversion& Conv, WCHAR Type, ULONGLONG Magnitude,
                bool Negative) {
    static const char LowerDigits[] = "0123456789abcdef";
    static const char UpperDigits[] = "0123456789ABCDEF";
    unsigned Base = (Type == u'o') ? 8 : (Type == u'x' || Type == u'X' || Type == u'p') ? 16 : 10;
    const char* Digits = (Type == u'x') ? LowerDigits : UpperDigits;

    WCHAR Text[24];
    SIZE_T Length = 0;
    for (ULONGLONG V = Magnitude; V != 0; V /= Base) {
        Text[Length++] = (WCHAR)Digits[V % Base];
    }
    // Without a precision a zero still prints one digit; precision 0 prints none.
    SIZE_T MinDigits = Conv.HasPrecision ? Conv.Precision : 1;
    if (Type == u'o' && Conv.Alternate && MinDigits <= Length) {
        MinDigits = Length + 1; // the alternate form starts with a zero
    }
    SIZE_T Zeros = MinDigits > Length ? MinDigits - Length : 0;

    WCHAR Prefix[2];
    SIZE_T PrefixLength = 0;
    bool Signed = (Type == u'd' || Type == u'i');
    if (Signed && Negative) {
        Prefix[PrefixLength++] = u'-';
    } else if (Signed && Conv.Plus) {
        Prefix[PrefixLength++] = u'+';
    } else if (Signed && Conv.Space) {
        Prefix[PrefixLength++] = u' ';
    } else if ((Type == u'x' || Type == u'X') && Conv.Alternate && Magnitude != 0) {
        Prefix[PrefixLength++] = u'0';
        Prefix[PrefixLength++] = (WCHAR)Type;
    }

    SIZE_T Total = PrefixLength + Zeros + Length;
    SIZE_T Pad = Conv.Width > Total ? Conv.Width - Total : 0;
    bool PadWithZeros = Conv.Zero && !Conv.Left && !Conv.HasPrecision;
    if (!Conv.Left && !PadWithZeros) {
        Out.Repeat(u' ', Pad);
    }
    for (SIZE_T i = 0; i < PrefixLength; i++) {
        Out.Put(Prefix[i]);
    }
    if (PadWithZeros) {
        Out.Repeat(u'0', Pad);
    }
    Out.Repeat(u'0', Zeros);
    while (Length > 0) {
        Out.Put(Text[--Length]);
    }
    if (Conv.Left) {
        Out.Repeat(u' ', Pad);
    }
}

// Formats into Out; returns the number of characters produced.
SIZE_T FormatWide(OutputSink& Out, PCWSTR Format, va_list Arguments, const void* Caller) {
    va_list Args;
    va_copy(Args, Arguments);
    PCWSTR F = Format;
    while (*F != UNICODE_NULL) {
        if (*F != u'%') {
            Out.Put(*F++);
            continue;
        }
        F++;
        Conversion Conv;
        for (;; F++) {
            if (*F == u'-') {
                Conv.Left = true;
            } else if (*F == u'+') {
                Conv.Plus = true;
            } else if (*F == u' ') {
                Conv.Space = true;
            } else if (*F == u'#') {
                Conv.Alternate = true;
            } else if (*F == u'0') {
                Conv.Zero = true;
            } else {
                break;
            }
        }
        if (*F == u'*') {
            int Width = va_arg(Args, int);
            if (Width < 0) {
                Conv.Left = true;
                Width = -Width;
            }
            Conv.Width = (SIZE_T)Width;
            F++;
        } else {
            while (*F >= u'0' && *F <= u'9') {
                Conv.Width = Conv.Width * 10 + (SIZE_T)(*F++ - u'0');
            }
        }
        if (*F == u'.') {
            F++;
            Conv.HasPrecision = true;
            if (*F == u'*') {
                int Precision = va_arg(Args, int);
                Conv.HasPrecision = Precision >= 0; // a negative precision is none
                Conv.Precision = Precision >= 0 ? (SIZE_T)Precision : 0;
                F++;
            } else {
                while (*F >= u'0' && *F <= u'9') {
                    Conv.Precision = Conv.Precision * 10 + (SIZE_T)(*F++ - u'0');
                }
            }
        }
        if (*F == u'h') {
            Conv.Size = SizePrefix::Short;
            F++;
        } else if (*F == u'l' && F[1] == u'l') {
            Conv.Size = SizePrefix::LongLong;
            F += 2;
        } else if (*F == u'l') {
            Conv.Size = SizePrefix::Long;
            F++;
        } else if (*F == u'w') {
            Conv.Size = SizePrefix::Wide;
            F++;
        } else if (*F == u'I' && F[1] == u'6' && F[2] == u'4') {
            Conv.Size = SizePrefix::LongLong;
            F += 3;
        } else if (*F == u'I' && F[1] == u'3' && F[2] == u'2') {
            Conv.Size = SizePrefix::Long;
            F += 3;
        } else if (*F == u'I') {
            Conv.Size = SizePrefix::Pointer;
            F++;
        }

        WCHAR Type = *F;
        if (Type == UNICODE_NULL) {
            break; // a lone '%' at the end prints nothing
        }
        F++;
        bool ForceWide = Conv.Size == SizePrefix::Long || Conv.Size == SizePrefix::Wide;
        switch (Type) {
        case u'%':
            Out.Put(u'%');
            break;
        case u'c':
        case u'C': {
            bool IsNarrow = Conv.Size == SizePrefix::Short || (Type == u'C' && !ForceWide);
            int Value = va_arg(Args, int);
            WCHAR C = IsNarrow ? RtlpAnsiCharToUnicode((CHAR)Value) : (WCHAR)Value;
            PutPadded(Out, Conv, 1, &C, NULL);
            break;
        }
        case u's':
        case u'S': {
            bool IsNarrow = Conv.Size == SizePrefix::Short || (Type == u'S' && !ForceWide);
            PutString(Out, Conv, IsNarrow, va_arg(Args, const void*));
            break;
        }
        case u'd':
        case u'i': {
            LONGLONG Value;
            if (Conv.Size == SizePrefix::LongLong || Conv.Size == SizePrefix::Pointer) {
                Value = va_arg(Args, LONGLONG);
            } else if (Conv.Size == SizePrefix::Short) {
                Value = (SHORT)va_arg(Args, int);
            } else {
                Value = (LONG)va_arg(Args, int);
            }
            ULONGLONG Magnitude = Value < 0 ? 0 - (ULONGLONG)Value : (ULONGLONG)Value;
            PutInteger(Out, Conv, Type, Magnitude, Value < 0);
            break;
        }
        case u'u':
        case u'o':
        case u'x':
        case u'X': {
            ULONGLONG Value;
            if (Conv.Size == SizePrefix::LongLong || Conv.Size == SizePrefix::Pointer) {
                Value = va_arg(Args, ULONGLONG);
            } else if (Conv.Size == SizePrefix::Short) {
                Value = (USHORT)va_arg(Args, unsigned);
            } else {
                Value = (ULONG)va_arg(Args, unsigned);
            }
            PutInteger(Out, Conv, Type, Value, false);
            break;
        }
        case u'p': {
            Conversion Pointer;
            Pointer.HasPrecision = true;
            Pointer.Precision = 2 * sizeof(PVOID);
            Pointer.Width = Conv.Width;
            Pointer.Left = Conv.Left;
            PutInteger(Out, Pointer, u'p', (ULONG_PTR)va_arg(Args, PVOID), false);
            break;
        }
        default:
            va_end(Args);
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "swprintf conversion not supported (floating point, %n or unknown)", Caller,
                       (ULONG_PTR)Type);
        }
    }
    va_end(Args);
    return Out.Count;
}

int FormatBounded(PWSTR Buffer, SIZE_T Count, PCWSTR Format, va_list Arguments,
                  const void* Caller) {
    OutputSink Out{Buffer, Count, 0};
    SIZE_T Length = FormatWide(Out, Format, Arguments, Caller);
    if (Length > Count) {
        return -1;
    }
    if (Length < Count) {
        Buffer[Length] = UNICODE_NULL;
    }
    return (int)Length;
}

} // namespace

int swprintf(PWSTR Buffer, PCWSTR Format, ...) {
    va_list Arguments;
    va_start(Arguments, Format);
    OutputSink Out{Buffer, (SIZE_T)-1, 0};
    SIZE_T Length = FormatWide(Out, Format, Arguments, VF_CALLER());
    va_end(Arguments);
    Buffer[Length] = UNICODE_NULL;
    return (int)Length;
}

int _snwprintf(PWSTR Buffer, SIZE_T Count, PCWSTR Format, ...) {
    va_list Arguments;
    va_start(Arguments, Format);
    int Result = FormatBounded(Buffer, Count, Format, Arguments, VF_CALLER());
    va_end(Arguments);
    return Result;
}

int _vsnwprintf(PWSTR Buffer, SIZE_T Count, PCWSTR Format, va_list Arguments) {
    return FormatBounded(Buffer, Count, Format, Arguments, VF_CALLER());
}
