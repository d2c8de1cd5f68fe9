// rtl/unicode_string.cpp - counted strings: initialisation, copy, append and
// comparison. Any IRQL.
#include "nt/rtl.h"

namespace {

// Largest even byte length a counted string can hold with room for a NUL.
constexpr SIZE_T MaxUnicodeLength = (MAXUSHORT & ~1) - sizeof(WCHAR);
constexpr SIZE_T MaxAnsiLength = MAXUSHORT - sizeof(CHAR);

// Compares the first Count characters; the difference of the first pair
// that differs, else 0.
LONG CompareChars(PCWSTR A, PCWSTR B, SIZE_T Count, BOOLEAN CaseInSensitive) {
    for (SIZE_T i = 0; i < Count; i++) {
        WCHAR Ca = CaseInSensitive ? RtlUpcaseUnicodeChar(A[i]) : A[i];
        WCHAR Cb = CaseInSensitive ? RtlUpcaseUnicodeChar(B[i]) : B[i];
        if (Ca != Cb) {
            return (LONG)Ca - (LONG)Cb;
        }
    }
    return 0;
}

// Appends Length bytes of Source after Destination's text.
NTSTATUS AppendChars(PUNICODE_STRING Destination, PCWSTR Source, SIZE_T Length) {
    Length &= ~(SIZE_T)1;
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    SIZE_T Current = Destination->Length & ~1u;
    if (Current + Length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PWSTR End = Destination->Buffer + Current / sizeof(WCHAR);
    memmove(End, Source, Length);
    Destination->Length = (USHORT)(Current + Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        End[Length / sizeof(WCHAR)] = UNICODE_NULL;
    }
    return STATUS_SUCCESS;
}

} // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = (PWSTR)SourceString;
    if (SourceString == NULL) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    SIZE_T Length = wcslen(SourceString) * sizeof(WCHAR);
    if (Length > MaxUnicodeLength) {
        Length = MaxUnicodeLength;
    }
    DestinationString->Length = (USHORT)Length;
    DestinationString->MaximumLength = (USHORT)(Length + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    DestinationString->Buffer = (PCHAR)SourceString;
    if (SourceString == NULL) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    SIZE_T Length = strlen(SourceString);
    if (Length > MaxAnsiLength) {
        Length = MaxAnsiLength;
    }
    DestinationString->Length = (USHORT)Length;
    DestinationString->MaximumLength = (USHORT)(Length + sizeof(CHAR));
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        return;
    }
    // Whole characters only: an odd MaximumLength must not split one.
    SIZE_T Length = SourceString->Length;
    if (Length > DestinationString->MaximumLength) {
        Length = DestinationString->MaximumLength;
    }
    Length &= ~(SIZE_T)1;
    memmove(DestinationString->Buffer, SourceString->Buffer, Length);
    DestinationString->Length = (USHORT)Length;
    if (Length + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[Length / sizeof(WCHAR)] = UNICODE_NULL;
    }
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == NULL) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING SourceString;
    RtlInitUnicodeString(&SourceString, Source);
    return AppendChars(Destination, Source, SourceString.Length);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    return AppendChars(Destination, Source->Buffer, Source->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return CompareChars(String1->Buffer, String2->Buffer, String1->Length / sizeof(WCHAR),
                        CaseInSensitive) == 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    USHORT Common = String1->Length < String2->Length ? String1->Length : String2->Length;
    LONG Result =
        CompareChars(String1->Buffer, String2->Buffer, Common / sizeof(WCHAR), CaseInSensitive);
    return Result != 0 ? Result : (LONG)String1->Length - (LONG)String2->Length;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                               BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    return CompareChars(String1->Buffer, String2->Buffer, String1->Length / sizeof(WCHAR),
                        CaseInSensitive) == 0;
}
