// rtl/codepage.cpp - conversions between WCHAR and the system's ANSI code
// page (Windows-1252), and the system's upcase table. Any IRQL.
#include "ntos/rtl/rtlp.h"

#include "nt/rtl.h"

namespace {

// Unicode characters of the bytes 0x80-0x9F; the rest of the code page is
// identical to Latin-1. The five bytes the code page leaves undefined map to
// the C1 control of the same value, as the system's table does.
const WCHAR Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

CHAR RtlpUnicodeCharToAnsi(WCHAR Character) {
    if (Character < 0x80 || (Character >= 0xA0 && Character <= 0xFF)) {
        return (CHAR)Character;
    }
    for (int i = 0; i < 32; i++) {
        if (Cp1252High[i] == Character) {
            return (CHAR)(0x80 + i);
        }
    }
    return '?';
}

WCHAR RtlpAnsiCharToUnicode(CHAR Character) {
    UCHAR Byte = (UCHAR)Character;
    if (Byte >= 0x80 && Byte < 0xA0) {
        return Cp1252High[Byte - 0x80];
    }
    return (WCHAR)Byte;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR C) {
    if (C < 0x80) {
        return (C >= u'a' && C <= u'z') ? (WCHAR)(C - 0x20) : C;
    }
    if (C < 0x100) {
        if (C == 0xFF) {
            return 0x178;
        }
        return (C >= 0xE0 && C != 0xF7) ? (WCHAR)(C - 0x20) : C;
    }
    if (C < 0x180) {
        // Latin Extended-A pairs: upper case first; the pairing parity
        // changes at 0x139 and again at 0x14A and 0x179. Dotless i and kra
        // have no pair here.
        if (C == 0x131 || C == 0x138 || C == 0x149 || C == 0x17F) {
            return C;
        }
        bool LowerIsOdd = C < 0x139 || (C >= 0x14A && C < 0x179);
        return ((C & 1) == (LowerIsOdd ? 1 : 0)) ? (WCHAR)(C - 1) : C;
    }
    if (C >= 0x3B1 && C <= 0x3CB) {
        return C == 0x3C2 ? (WCHAR)0x3A3 : (WCHAR)(C - 0x20); // final sigma
    }
    if (C == 0x3AC) {
        return 0x386;
    }
    if (C >= 0x3AD && C <= 0x3AF) {
        return (WCHAR)(C - 0x25);
    }
    if (C == 0x3CC) {
        return 0x38C;
    }
    if (C == 0x3CD || C == 0x3CE) {
        return (WCHAR)(C - 0x3F);
    }
    if (C >= 0x430 && C <= 0x44F) {
        return (WCHAR)(C - 0x20);
    }
    if (C >= 0x450 && C <= 0x45F) {
        return (WCHAR)(C - 0x50);
    }
    if (C >= 0xFF41 && C <= 0xFF5A) {
        return (WCHAR)(C - 0x20);
    }
    return C;
}
