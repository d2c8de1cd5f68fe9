// evlog/evlp.h - emulation-only interface of the event log: message tables
// of the event sources, the log's entries and how they read.
//
// Host code (the module loader, tests, the demo) calls these; a driver never
// does. Every routine is thread-safe and may be called at any IRQL.
//
// An entry posted with IoWriteErrorLogEntry is kept whole: its source (the
// name of the driver that allocated it, the last component of
// \Driver\<name>), the packet's fields, its dump data and its insertion
// strings. Its text is rendered when it is read, as the event viewer does,
// from the message table registered for its source: %1 is the source name,
// %2, %3, ... the insertion strings in order. The platform shows a named
// device's name as %1 of an entry allocated for a device object; the
// emulation shows the driver's name there too.
#pragma once

#include "ntddk.h"

#include <string>
#include <string_view>
#include <vector>

// Language the log renders in when the source's table holds it; otherwise
// the table's first language is used.
#define EVLP_SYSTEM_LANGUAGE 0x409

// ---------------------------------------------------------------------------
// Message tables
// ---------------------------------------------------------------------------

// Makes Table the message table of the event source SourceName (compared
// case-insensitively), replacing an earlier one. The table must outlive its
// registration. STATUS_INVALID_PARAMETER when a language's data is not a
// well-formed MESSAGE_RESOURCE_DATA (nothing is registered then).
NTSTATUS EvlpRegisterMessageTable(PCWSTR SourceName, PCMESSAGE_TABLE_RESOURCE Table);

// Forgets the table of SourceName; entries of that source then render the
// fallback text.
VOID EvlpUnregisterMessageTable(PCWSTR SourceName);

// Forgets every registered table.
VOID EvlpForgetMessageTables();

// The table registered for SourceName, or NULL.
PCMESSAGE_TABLE_RESOURCE EvlpLookupMessageTable(PCWSTR SourceName);

// Looks MessageId up in the LanguageId data of Table and stores its text
// (as stored, line breaks included) in *Text. FALSE when the language or
// the message is absent. Never reads outside the language's Size bytes.
BOOLEAN EvlpFindMessage(PCMESSAGE_TABLE_RESOURCE Table, USHORT LanguageId, ULONG MessageId,
                        std::u16string* Text);

// ---------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------

struct EVLP_ENTRY {
    ULONG RecordNumber;          // 1 for the first entry written since the log was cleared
    NTSTATUS EventId;            // the packet's ErrorCode
    UCHAR Severity;              // EventId >> 30: 0 success, 1 informational, 2 warning, 3 error
    std::u16string Source;       // driver name
    IO_ERROR_LOG_PACKET Packet;  // header fields as written; DumpData[0] as in the packet
    std::vector<ULONG> DumpData; // DumpDataSize bytes, as far as they lie inside the packet
    // Insertion strings %2, %3, ... found in the packet: NumberOfStrings of
    // them, fewer when the packet ends first. A string that reaches the end
    // of the packet without a terminator holds what lies inside the packet.
    std::vector<std::u16string> Strings;
    std::u16string Text; // rendered text, without the message's final line break
};

// Number of entries written since the log was cleared.
ULONG EvlpEntryCount();

// Copies entry Index (0 is the oldest) into *Entry and renders its text.
// FALSE when there is no such entry.
BOOLEAN EvlpGetEntry(ULONG Index, EVLP_ENTRY* Entry);

// Drops every entry; record numbers start again at 1.
VOID EvlpClearLog();

// Drops every entry and every registered table, and forgets packets that
// were allocated and never written (their pool blocks stay leaked). For the
// end of an emulated machine.
VOID EvlpResetEventLog();

// Adds an entry decoded from a written packet (the I/O side of the log);
// assigns its record number.
VOID EvlpAppendEntry(EVLP_ENTRY&& Entry);

// Forgets the packets allocated and not yet written or freed.
VOID EvlpForgetOutstandingPackets();

// ---------------------------------------------------------------------------
// Rendering
// ---------------------------------------------------------------------------

// Renders a message text as the event viewer does: %1 is Source, %2... are
// Strings; an insertion with no string stays as written. %0 ends the text,
// %% %. %! %space %t %r %n give '%' '.' '!' ' ' tab CR and CR LF. A
// printf-style !format! after an insertion number is skipped: every
// insertion is a string. A final line break is dropped.
std::u16string EvlpRenderMessage(std::u16string_view Template, std::u16string_view Source,
                                 const std::vector<std::u16string>& Strings);

// Text shown for an entry whose source has no table or whose table lacks the
// message: names the event and lists its strings.
std::u16string EvlpRenderFallback(NTSTATUS EventId, std::u16string_view Source,
                                  const std::vector<std::u16string>& Strings);

// UTF-16 text as UTF-8, for host output; an unpaired surrogate shows as U+FFFD.
std::string EvlpToUtf8(std::u16string_view Text);
