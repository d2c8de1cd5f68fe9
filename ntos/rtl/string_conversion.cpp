// rtl/string_conversion.cpp - conversion of counted strings to the ANSI code
// page, and the release of the buffers such conversions allocate.
// PASSIVE_LEVEL (the buffers are paged pool).
#include "nt/ex.h"
#include "nt/rtl.h"
#include "ntos/rtl/rtlp.h"

namespace {

constexpr ULONG AnsiStringTag = EX_POOL_TAG('R', 't', 'l', 'A');

} // namespace

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    // One byte per character in this code page, plus the terminator.
    SIZE_T Chars = SourceString->Length / sizeof(WCHAR);
    SIZE_T Needed = Chars + 1;
    if (Needed > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER_2;
    }
    NTSTATUS Status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        PCHAR Buffer = (PCHAR)ExAllocatePoolWithTag(PagedPool, Needed, AnsiStringTag);
        if (Buffer == NULL) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = Buffer;
        DestinationString->MaximumLength = (USHORT)Needed;
    } else if (Needed > DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0) {
            return STATUS_BUFFER_OVERFLOW;
        }
        Chars = DestinationString->MaximumLength - 1u;
        Status = STATUS_BUFFER_OVERFLOW;
    }
    for (SIZE_T i = 0; i < Chars; i++) {
        DestinationString->Buffer[i] = RtlpUnicodeCharToAnsi(SourceString->Buffer[i]);
    }
    DestinationString->Buffer[Chars] = ANSI_NULL;
    DestinationString->Length = (USHORT)Chars;
    return Status;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer != NULL) {
        ExFreePool(AnsiString->Buffer);
        AnsiString->Buffer = NULL;
        AnsiString->Length = AnsiString->MaximumLength = 0;
    }
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != NULL) {
        ExFreePool(UnicodeString->Buffer);
        UnicodeString->Buffer = NULL;
        UnicodeString->Length = UnicodeString->MaximumLength = 0;
    }
}
