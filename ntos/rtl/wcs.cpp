// rtl/wcs.cpp - the kernel C library's string routines on WCHAR. Any IRQL.
#include "nt/rtl.h"

SIZE_T wcslen(PCWSTR String) {
    PCWSTR End = String;
    while (*End != UNICODE_NULL) {
        End++;
    }
    return (SIZE_T)(End - String);
}

PWSTR wcscpy(PWSTR Destination, PCWSTR Source) {
    PWSTR Out = Destination;
    while ((*Out++ = *Source++) != UNICODE_NULL) {
    }
    return Destination;
}

PWSTR wcscat(PWSTR Destination, PCWSTR Source) {
    wcscpy(Destination + wcslen(Destination), Source);
    return Destination;
}

PWSTR wcsncpy(PWSTR Destination, PCWSTR Source, SIZE_T Count) {
    SIZE_T i = 0;
    for (; i < Count && Source[i] != UNICODE_NULL; i++) {
        Destination[i] = Source[i];
    }
    for (; i < Count; i++) {
        Destination[i] = UNICODE_NULL;
    }
    return Destination;
}

int wcscmp(PCWSTR String1, PCWSTR String2) {
    while (*String1 != UNICODE_NULL && *String1 == *String2) {
        String1++;
        String2++;
    }
    return (int)*String1 - (int)*String2;
}

PCWSTR wcschr(PCWSTR String, WCHAR Character) {
    for (;; String++) {
        if (*String == Character) {
            return String;
        }
        if (*String == UNICODE_NULL) {
            return NULL;
        }
    }
}

PWSTR wcschr(PWSTR String, WCHAR Character) {
    return (PWSTR)wcschr((PCWSTR)String, Character);
}

PCWSTR wcsrchr(PCWSTR String, WCHAR Character) {
    PCWSTR Last = NULL;
    for (;; String++) {
        if (*String == Character) {
            Last = String;
        }
        if (*String == UNICODE_NULL) {
            return Last;
        }
    }
}

PWSTR wcsrchr(PWSTR String, WCHAR Character) {
    return (PWSTR)wcsrchr((PCWSTR)String, Character);
}

SIZE_T wcscspn(PCWSTR String, PCWSTR Reject) {
    SIZE_T i = 0;
    for (; String[i] != UNICODE_NULL; i++) {
        for (PCWSTR R = Reject; *R != UNICODE_NULL; R++) {
            if (*R == String[i]) {
                return i;
            }
        }
    }
    return i;
}

WCHAR towupper(WCHAR Character) {
    return (Character >= u'a' && Character <= u'z') ? (WCHAR)(Character - 0x20) : Character;
}

WCHAR towlower(WCHAR Character) {
    return (Character >= u'A' && Character <= u'Z') ? (WCHAR)(Character + 0x20) : Character;
}

int _wcsnicmp(PCWSTR String1, PCWSTR String2, SIZE_T Count) {
    for (SIZE_T i = 0; i < Count; i++) {
        int Difference = (int)towlower(String1[i]) - (int)towlower(String2[i]);
        if (Difference != 0 || String1[i] == UNICODE_NULL) {
            return Difference;
        }
    }
    return 0;
}

int _wcsicmp(PCWSTR String1, PCWSTR String2) {
    return _wcsnicmp(String1, String2, (SIZE_T)-1);
}
