// win32/wsprintf.cpp - wsprintfW: the platform's small formatter.
//
// Conversions c, d, i, u, x, X, s (wide), S (narrow), with the flags '-', '0'
// and '#', a width and a precision, and the size prefixes l, h and w. Like the
// platform it writes at most 1024 characters including the terminator, knows
// no floating point and no '*' width, and prints an unknown conversion
// character as itself.
#include "windows.h"

namespace {

constexpr int BasepWsprintfLimit = 1024;

struct BASEP_OUTPUT {
    LPWSTR Buffer;
    int Length; // characters written so far, below BasepWsprintfLimit

    void Put(WCHAR C) {
        if (Length < BasepWsprintfLimit - 1) {
            Buffer[Length++] = C;
        }
    }
};

void BasepPad(BASEP_OUTPUT& Out, int Count, WCHAR C) {
    for (; Count > 0; --Count) {
        Out.Put(C);
    }
}

} // namespace

int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
    va_list args;
    va_start(args, lpFmt);
    BASEP_OUTPUT out{lpOut, 0};
    for (LPCWSTR p = lpFmt; *p != 0; ++p) {
        if (*p != u'%') {
            out.Put(*p);
            continue;
        }
        ++p;
        if (*p == u'%') {
            out.Put(u'%');
            continue;
        }
        bool left = false;
        bool zero = false;
        bool prefix = false;
        for (;; ++p) {
            if (*p == u'-') {
                left = true;
            } else if (*p == u'0') {
                zero = true;
            } else if (*p == u'#') {
                prefix = true;
            } else {
                break;
            }
        }
        int width = 0;
        for (; *p >= u'0' && *p <= u'9'; ++p) {
            width = width * 10 + (*p - u'0');
        }
        int precision = -1;
        if (*p == u'.') {
            precision = 0;
            for (++p; *p >= u'0' && *p <= u'9'; ++p) {
                precision = precision * 10 + (*p - u'0');
            }
        }
        bool narrow = false;
        if (*p == u'l' || *p == u'w') {
            ++p;
        } else if (*p == u'h') {
            narrow = true;
            ++p;
        }
        if (*p == 0) {
            break;
        }
        WCHAR text[16];
        int length = 0;
        int zeros = 0;
        const WCHAR* wide = nullptr;
        const char* bytes = nullptr;
        switch (*p) {
        case u'c':
            text[length++] = narrow ? static_cast<WCHAR>(static_cast<unsigned char>(va_arg(args, int)))
                                    : static_cast<WCHAR>(va_arg(args, int));
            wide = text;
            break;
        case u'C':
            text[length++] = static_cast<WCHAR>(static_cast<unsigned char>(va_arg(args, int)));
            wide = text;
            break;
        case u's':
        case u'S':
            if (*p == u'S' || narrow) {
                bytes = va_arg(args, const char*);
                if (bytes == nullptr) {
                    bytes = "(null)";
                }
                while (bytes[length] != 0 && (precision < 0 || length < precision)) {
                    ++length;
                }
            } else {
                wide = va_arg(args, const WCHAR*);
                if (wide == nullptr) {
                    wide = u"(null)";
                }
                while (wide[length] != 0 && (precision < 0 || length < precision)) {
                    ++length;
                }
            }
            break;
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X': {
            unsigned int value = va_arg(args, unsigned int);
            bool negative = (*p == u'd' || *p == u'i') && static_cast<int>(value) < 0;
            unsigned int magnitude = negative ? 0u - value : value;
            unsigned int base = (*p == u'x' || *p == u'X') ? 16 : 10;
            const char16_t* digits = *p == u'X' ? u"0123456789ABCDEF" : u"0123456789abcdef";
            WCHAR reversed[16];
            int n = 0;
            do {
                reversed[n++] = digits[magnitude % base];
                magnitude /= base;
            } while (magnitude != 0);
            if (precision == 0 && value == 0) {
                n = 0;
            }
            if (negative) {
                text[length++] = u'-';
            } else if (prefix && base == 16) {
                text[length++] = u'0';
                text[length++] = *p;
            }
            int signLength = length;
            zeros = precision > n ? precision - n : 0;
            if (zero && !left && precision < 0 && width > signLength + n) {
                zeros = width - signLength - n;
            }
            while (n > 0) {
                text[length++] = reversed[--n];
            }
            // Zeros go between the sign or prefix and the digits.
            int total = length + zeros;
            if (!left) {
                BasepPad(out, width - total, u' ');
            }
            for (int i = 0; i < signLength; ++i) {
                out.Put(text[i]);
            }
            BasepPad(out, zeros, u'0');
            for (int i = signLength; i < length; ++i) {
                out.Put(text[i]);
            }
            if (left) {
                BasepPad(out, width - total, u' ');
            }
            continue;
        }
        default:
            out.Put(*p);
            continue;
        }
        if (!left) {
            BasepPad(out, width - length, zero ? u'0' : u' ');
        }
        for (int i = 0; i < length; ++i) {
            out.Put(bytes != nullptr ? static_cast<WCHAR>(static_cast<unsigned char>(bytes[i])) : wide[i]);
        }
        if (left) {
            BasepPad(out, width - length, u' ');
        }
    }
    va_end(args);
    lpOut[out.Length] = 0;
    return out.Length;
}
