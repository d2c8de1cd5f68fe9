// nt/rtl.h - run-time library: counted strings, memory, lists, 64-bit
// arithmetic and the kernel's C string routines on 16-bit WCHAR.
//
// Kernel mode, any IRQL unless a routine says otherwise (routines that
// allocate pool follow the pool's IRQL rules). The C string routines are
// C++ overloads for char16_t in the global namespace; they coexist with the
// host C library's wchar_t routines of the same names, which driver code
// never calls (WCHAR is char16_t, wide literals are u"...").
#pragma once

#include <cstdarg>
#include <cstring>

#include "ntdef.h"
#include "ntstatus.h"

#ifndef KERNEL_SECURITY_CHECK_FAILURE
#define KERNEL_SECURITY_CHECK_FAILURE 0x00000139
#endif

#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)

// ---------------------------------------------------------------------------
// Counted strings
// ---------------------------------------------------------------------------

// Points DestinationString at SourceString (not copied). Length is the
// string's size in bytes without the terminator, MaximumLength includes it;
// a NULL source gives an empty string with a NULL buffer. Strings longer than
// a counted string can describe are cut to its largest even length.
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);

// Copies SourceString into DestinationString's buffer, cut to whole
// characters that fit in its MaximumLength; NUL-terminates when room
// remains. A NULL source empties the destination.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);

// Append Source to Destination. STATUS_BUFFER_TOO_SMALL (Destination
// unchanged) when the result would exceed Destination->MaximumLength;
// NUL-terminates when a whole character of room remains.
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);

// Converts to the system's ANSI code page (Windows-1252; characters it lacks
// become '?'). With AllocateDestinationString the buffer comes from paged
// pool (free it with RtlFreeAnsiString; STATUS_NO_MEMORY when pool fails).
// Otherwise the caller's buffer receives what fits before a terminating NUL
// and STATUS_BUFFER_OVERFLOW reports a cut result (a zero MaximumLength
// receives nothing). IRQL: PASSIVE_LEVEL.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);

// Frees a buffer that a conversion routine allocated; the string becomes
// empty. A NULL buffer is ignored.
VOID RtlFreeAnsiString(PANSI_STRING AnsiString);
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// Comparisons. RtlCompareUnicodeString returns <0, 0 or >0: the difference
// of the first differing characters, else of the lengths.
// RtlPrefixUnicodeString is TRUE when String1 is a prefix of String2.
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive);
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                               BOOLEAN CaseInSensitive);

// The system's upcase table: Basic Latin, Latin-1, Latin Extended-A, Greek,
// Cyrillic and the full-width Latin letters. Other characters are unchanged.
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------

#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlEqualMemory(Source1, Source2, Length) (!memcmp((Source1), (Source2), (Length)))

// Number of leading bytes that are equal in both blocks (Length when all are).
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---------------------------------------------------------------------------
// Lists
// ---------------------------------------------------------------------------

// Reports a list whose links do not point back at each other (an entry
// removed twice, or inserted into two lists). Ends the machine.
[[noreturn]] void RtlpFatalListEntryError(PLIST_ENTRY Entry);

inline void RtlpCheckListEntry(PLIST_ENTRY Entry) {
    if (Entry->Flink->Blink != Entry || Entry->Blink->Flink != Entry) {
        RtlpFatalListEntryError(Entry);
    }
}

inline VOID InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return ListHead->Flink == ListHead;
}

// TRUE when the list that held Entry is empty afterwards.
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    RtlpCheckListEntry(Entry);
    PLIST_ENTRY Flink = Entry->Flink;
    PLIST_ENTRY Blink = Entry->Blink;
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return Flink == Blink;
}

// Remove and return the first / last entry. The list must not be empty.
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    RemoveEntryList(Entry);
    return Entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Blink;
    RemoveEntryList(Entry);
    return Entry;
}

inline VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    RtlpCheckListEntry(ListHead);
    PLIST_ENTRY Flink = ListHead->Flink;
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}

inline VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    RtlpCheckListEntry(ListHead);
    PLIST_ENTRY Blink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}

inline VOID PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry) {
    Entry->Next = ListHead->Next;
    ListHead->Next = Entry;
}

// Returns NULL when the list is empty.
inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead) {
    PSINGLE_LIST_ENTRY Entry = ListHead->Next;
    if (Entry != NULL) {
        ListHead->Next = Entry->Next;
    }
    return Entry;
}

// ---------------------------------------------------------------------------
// 64-bit arithmetic
// ---------------------------------------------------------------------------

LARGE_INTEGER RtlEnlargedIntegerMultiply(LONG Multiplicand, LONG Multiplier);
LARGE_INTEGER RtlEnlargedUnsignedMultiply(ULONG Multiplicand, ULONG Multiplier);
// Low 64 bits of the product.
LARGE_INTEGER RtlExtendedIntegerMultiply(LARGE_INTEGER Multiplicand, LONG Multiplier);
// Unsigned divisions; Remainder is optional. A zero divisor raises
// STATUS_INTEGER_DIVIDE_BY_ZERO, as the processor's divide fault does.
LARGE_INTEGER RtlLargeIntegerDivide(LARGE_INTEGER Dividend, LARGE_INTEGER Divisor,
                                    PLARGE_INTEGER Remainder);
LARGE_INTEGER RtlExtendedLargeIntegerDivide(LARGE_INTEGER Dividend, ULONG Divisor,
                                            PULONG Remainder);
LARGE_INTEGER RtlConvertLongToLargeInteger(LONG SignedInteger);
LARGE_INTEGER RtlConvertUlongToLargeInteger(ULONG UnsignedInteger);

// ---------------------------------------------------------------------------
// C string routines on WCHAR
// ---------------------------------------------------------------------------

// Formatted output with the kernel C library's wide conventions: %s, %ls,
// %ws are wide strings and %hs, %S narrow ones; %c, %lc, %wc wide characters
// and %hc, %C narrow ones; a NULL string prints "(null)". Flags - + space
// # 0, width and precision (numbers or *), size prefixes h, l (32-bit, as
// LONG), ll/I64 (64-bit), I (pointer-sized); conversions d i u x X o p c s %.
// Floating point and %n are not supported and bug-check.
// swprintf returns the characters written without the terminator.
// _snwprintf writes at most Count characters: it returns the length when it
// fits (terminated only when fewer than Count), else -1 with Count written
// and no terminator.
int swprintf(PWSTR Buffer, PCWSTR Format, ...);
int _snwprintf(PWSTR Buffer, SIZE_T Count, PCWSTR Format, ...);
int _vsnwprintf(PWSTR Buffer, SIZE_T Count, PCWSTR Format, va_list Arguments);

SIZE_T wcslen(PCWSTR String);
PWSTR wcscpy(PWSTR Destination, PCWSTR Source);
PWSTR wcscat(PWSTR Destination, PCWSTR Source);
// Copies at most Count characters; pads with NULs up to Count, and does not
// terminate when Source has Count characters or more.
PWSTR wcsncpy(PWSTR Destination, PCWSTR Source, SIZE_T Count);
int wcscmp(PCWSTR String1, PCWSTR String2);
PWSTR wcschr(PWSTR String, WCHAR Character);
PCWSTR wcschr(PCWSTR String, WCHAR Character);
PWSTR wcsrchr(PWSTR String, WCHAR Character);
PCWSTR wcsrchr(PCWSTR String, WCHAR Character);
SIZE_T wcscspn(PCWSTR String, PCWSTR Reject);
// Case-insensitive comparisons fold with towlower, as the C locale does.
int _wcsicmp(PCWSTR String1, PCWSTR String2);
int _wcsnicmp(PCWSTR String1, PCWSTR String2, SIZE_T Count);
// C locale: only A-Z and a-z change.
WCHAR towupper(WCHAR Character);
WCHAR towlower(WCHAR Character);

// Decimal conversion of a narrow string (leading blanks, optional sign,
// digits). This is the host C library's routine; the result is meant to be
// stored into a LONG.
extern "C" long atol(const char* String) noexcept;
