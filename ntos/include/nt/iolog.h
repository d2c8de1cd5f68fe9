// nt/iolog.h - error-log entries and message-table resources.
//
// Drivers report events to the system event log by filling an
// IO_ERROR_LOG_PACKET from IoAllocateErrorLogEntry and posting it with
// IoWriteErrorLogEntry. The log renders each entry from the message table that
// the source driver's image carries (resource type 11, name 1, one binary
// MESSAGE_RESOURCE_DATA per language); MESSAGE_TABLE_RESOURCE is how an image
// of the emulated machine hands that resource to the module loader.
#pragma once

#include "ntdef.h"

// Header of an error-log entry. Layout as on the 32-bit platform: DeviceOffset
// is 8-aligned, so DumpData starts at 40 and the packet with its first dump
// word is 48 bytes. The host's alignment rules give the same offsets.
typedef struct _IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;    // bytes of DumpData, a multiple of 4
    USHORT NumberOfStrings; // insertion strings %2, %3, ... at StringOffset
    USHORT StringOffset;    // bytes from the packet start; 0 without strings
    USHORT EventCategory;
    NTSTATUS ErrorCode; // message id in the source's message table
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

static_assert(offsetof(IO_ERROR_LOG_PACKET, ErrorCode) == 12);
static_assert(offsetof(IO_ERROR_LOG_PACKET, DeviceOffset) == 32);
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpData) == 40);
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48);

// Largest EntrySize IoAllocateErrorLogEntry accepts: the platform's value,
// derived there from the size of the message port's messages.
#define ERROR_LOG_MAXIMUM_SIZE 152

// Allocates a zeroed error-log packet of EntrySize bytes for a device or
// driver object. NULL when EntrySize is below the packet header or above
// ERROR_LOG_MAXIMUM_SIZE, when IoObject is neither a device nor a driver,
// or when no pool is available. IRQL <= DISPATCH_LEVEL.
PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);

// Posts a filled packet to the event log and frees it. IRQL <= DISPATCH_LEVEL.
VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry);

// Frees a packet that is not going to be written. IRQL <= DISPATCH_LEVEL.
VOID NTAPI IoFreeErrorLogEntry(PVOID ElEntry);

// Message-table resource as stored in an image: one MESSAGE_RESOURCE_DATA
// per language. Blocks name runs of consecutive ids, sorted ascending; each
// block's entries follow one another at OffsetToEntries (from the start of
// the data), each Length bytes long including its header and padding.
#define RT_MESSAGETABLE 11
#define MESSAGE_RESOURCE_UNICODE 0x0001

typedef struct _MESSAGE_RESOURCE_ENTRY {
    USHORT Length; // bytes, this header included, a multiple of 4
    USHORT Flags;  // MESSAGE_RESOURCE_UNICODE: Text is UTF-16
    UCHAR Text[1]; // NUL-terminated
} MESSAGE_RESOURCE_ENTRY, *PMESSAGE_RESOURCE_ENTRY;

typedef struct _MESSAGE_RESOURCE_BLOCK {
    ULONG LowId;
    ULONG HighId;
    ULONG OffsetToEntries;
} MESSAGE_RESOURCE_BLOCK, *PMESSAGE_RESOURCE_BLOCK;

typedef struct _MESSAGE_RESOURCE_DATA {
    ULONG NumberOfBlocks;
    MESSAGE_RESOURCE_BLOCK Blocks[1];
} MESSAGE_RESOURCE_DATA, *PMESSAGE_RESOURCE_DATA;

// One language of an image's message-table resource.
typedef struct _MESSAGE_TABLE_LANGUAGE {
    USHORT LanguageId; // e.g. 0x409
    ULONG Size;        // bytes of Data
    const UCHAR* Data; // a MESSAGE_RESOURCE_DATA, 4-aligned
} MESSAGE_TABLE_LANGUAGE, *PMESSAGE_TABLE_LANGUAGE;

// The message-table resource (type RT_MESSAGETABLE, name 1) of an image.
typedef struct _MESSAGE_TABLE_RESOURCE {
    ULONG NumberOfLanguages;
    const MESSAGE_TABLE_LANGUAGE* Languages;
} MESSAGE_TABLE_RESOURCE, *PMESSAGE_TABLE_RESOURCE;
typedef const MESSAGE_TABLE_RESOURCE* PCMESSAGE_TABLE_RESOURCE;
