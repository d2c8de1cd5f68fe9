// event_log.cpp - entries of the driver's message table in the system event
// log: formatting the insertion strings and writing the error-log packet.
//
// Kernel mode. Writers at PASSIVE_LEVEL share one string buffer, taken and
// given back through a synchronization event; writers above PASSIVE_LEVEL
// never touch it and write their entries without strings.
#include "frame/frame.h"

#include <stdarg.h>

// Bytes of the packet header up to and including its first dump word, and
// the largest packet the I/O manager hands out.
#define LOG_PACKET_HEADER_BYTES ((ULONG)sizeof(IO_ERROR_LOG_PACKET))
#define LOG_PACKET_MAXIMUM_BYTES 152u
// String data that fits the largest packet.
#define LOG_STRING_MAXIMUM_BYTES (LOG_PACKET_MAXIMUM_BYTES - LOG_PACKET_HEADER_BYTES)
// Where the strings start: the dump data field.
#define LOG_STRING_OFFSET ((USHORT)offsetof(IO_ERROR_LOG_PACKET, DumpData))

static_assert(LOG_STRING_MAXIMUM_BYTES == 104);
static_assert(LOG_STRING_OFFSET == 40);

// The shared insertion-string buffer; used only between a wait for
// LogBufferFree and its signal.
static WCHAR LogBuffer[LOG_BUFFER_UNITS];
// Synchronization event, signalled while nobody formats into LogBuffer.
static KEVENT LogBufferFree;

VOID EventLogInit(VOID) {
    PAGED_CODE();
    KeInitializeEvent(&LogBufferFree, SynchronizationEvent, TRUE);
}

//
// CompleteStringBytes - the bytes of the strings at Data that end, with
// their terminators, within the first Limit bytes; *Strings receives how
// many such strings there are (at most Count).
//
static ULONG CompleteStringBytes(const WCHAR* Data, ULONG Limit, ULONG Count, ULONG* Strings) {
    ULONG units = Limit / sizeof(WCHAR);
    ULONG end = 0;
    ULONG found = 0;
    for (ULONG unit = 0; unit < units && found < Count; unit++) {
        if (Data[unit] == 0) {
            found++;
            end = unit + 1;
        }
    }
    *Strings = found;
    return end * sizeof(WCHAR);
}

VOID WriteLogPacket(NTSTATUS MessageId, const VOID* Data, ULONG DataLength, ULONG StringCount) {
    if (LOG_PACKET_HEADER_BYTES + DataLength > LOG_PACKET_MAXIMUM_BYTES) {
        DataLength = CompleteStringBytes((const WCHAR*)Data, LOG_STRING_MAXIMUM_BYTES, StringCount,
                                         &StringCount);
    }
    PIO_ERROR_LOG_PACKET packet = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(
        DriverGlobals.DriverObject, (UCHAR)(LOG_PACKET_HEADER_BYTES + DataLength));
    if (packet == NULL) {
        return;
    }
    RtlZeroMemory(packet, LOG_PACKET_HEADER_BYTES + DataLength);
    packet->ErrorCode = MessageId;
    packet->NumberOfStrings = (USHORT)StringCount;
    if (StringCount != 0) {
        packet->StringOffset = LOG_STRING_OFFSET;
        RtlCopyMemory((PUCHAR)packet + LOG_STRING_OFFSET, Data, DataLength);
    }
    IoWriteErrorLogEntry(packet);
}

//
// DecimalRoom - code units reserved for a value under the letter d: 2 for
// 0, else the decimal digits of the value read as unsigned, plus 2 (room
// for a sign and the terminator).
//
static ULONG DecimalRoom(ULONG Value) {
    ULONG digits = 0;
    for (; Value != 0; Value /= 10) {
        digits++;
    }
    return digits == 0 ? 2 : digits + 2;
}

//
// NarrowLength, WideLength - length of a string as far as it can matter:
// a string of Limit characters or more cannot fit, so counting stops there.
//
static ULONG NarrowLength(PCSTR String, ULONG Limit) {
    ULONG length = 0;
    while (length < Limit && String[length] != 0) {
        length++;
    }
    return length;
}

static ULONG WideLength(PCWSTR String, ULONG Limit) {
    ULONG length = 0;
    while (length < Limit && String[length] != 0) {
        length++;
    }
    return length;
}

//
// FormatLogStrings - formats the values of TypeString into LogBuffer.
// Returns the code units left unused; *Count receives the strings written.
// The caller holds the buffer. IRQL: PASSIVE_LEVEL.
//
static ULONG FormatLogStrings(PCSTR TypeString, va_list Values, ULONG* Count) {
    ULONG room = LOG_BUFFER_UNITS;
    PWSTR position = LogBuffer;
    for (PCSTR letter = TypeString; *letter != 0 && room > 0; letter++) {
        ULONG needed;
        PCWSTR wide = NULL;
        PCSTR narrow = NULL;
        ULONG number = 0;
        switch (*letter) {
        case 'S':
            wide = va_arg(Values, PCWSTR);
            needed = WideLength(wide, room) + 1;
            break;
        case 's':
            narrow = va_arg(Values, PCSTR);
            needed = NarrowLength(narrow, room) + 1;
            break;
        case 'd':
            number = va_arg(Values, ULONG);
            needed = DecimalRoom(number);
            break;
        case 'x':
            number = va_arg(Values, ULONG);
            needed = 9;
            break;
        case 'c':
            number = (ULONG)va_arg(Values, int);
            needed = 2;
            break;
        default:
            continue;
        }
        if (needed > room) {
            continue;
        }
        int written;
        switch (*letter) {
        case 'S':
            written = swprintf(position, u"%.*ls", (int)room, wide);
            break;
        case 's':
            written = swprintf(position, u"%.*hs", (int)room, narrow);
            break;
        case 'd':
            written = swprintf(position, u"%ld", (LONG)number);
            break;
        case 'x':
            written = swprintf(position, u"%08lX", number);
            break;
        default:
            written = swprintf(position, u"%hc", (int)(CHAR)number);
            break;
        }
        position += written + 1;
        room -= (ULONG)written + 1;
        (*Count)++;
    }
    return room;
}

VOID LogEvent(NTSTATUS MessageId, PCSTR TypeString, ...) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        WriteLogPacket(MessageId, NULL, 0, 0);
        return;
    }
    KeWaitForSingleObject(&LogBufferFree, Executive, KernelMode, FALSE, NULL);
    va_list values;
    va_start(values, TypeString);
    _SEH2_TRY {
        ULONG count = 0;
        ULONG room = LOG_BUFFER_UNITS;
        if (TypeString != NULL) {
            room = FormatLogStrings(TypeString, values, &count);
        }
        WriteLogPacket(MessageId, LogBuffer, sizeof(WCHAR) * (LOG_BUFFER_UNITS - room), count);
    }
    _SEH2_FINALLY {
        va_end(values);
        KeSetEvent(&LogBufferFree, IO_NO_INCREMENT, FALSE);
    }
    _SEH2_END;
}
