// evlog/eventlog.cpp - the system event log: the entries written so far and
// how a reader sees them.
//
// Host side of the emulated event log. Entries are kept in the order they
// were written; a reader gets a copy, rendered from the source's message
// table at the time it reads, as the event viewer renders at display time.
#include "ntos/evlog/evlp.h"

#include <mutex>

namespace {

// Guards Entries and NextRecordNumber.
std::mutex LogLock;
std::vector<EVLP_ENTRY> Entries;
ULONG NextRecordNumber = 1;

std::u16string EvlpRenderEntry(const EVLP_ENTRY& Entry) {
    PCMESSAGE_TABLE_RESOURCE table = EvlpLookupMessageTable(Entry.Source.c_str());
    std::u16string text;
    if (table != NULL &&
        (EvlpFindMessage(table, EVLP_SYSTEM_LANGUAGE, (ULONG)Entry.EventId, &text) ||
         EvlpFindMessage(table, table->Languages[0].LanguageId, (ULONG)Entry.EventId, &text)))
        return EvlpRenderMessage(text, Entry.Source, Entry.Strings);
    return EvlpRenderFallback(Entry.EventId, Entry.Source, Entry.Strings);
}

} // namespace

VOID EvlpAppendEntry(EVLP_ENTRY&& Entry) {
    std::lock_guard guard(LogLock);
    Entry.RecordNumber = NextRecordNumber++;
    Entries.push_back(std::move(Entry));
}

ULONG EvlpEntryCount() {
    std::lock_guard guard(LogLock);
    return static_cast<ULONG>(Entries.size());
}

BOOLEAN EvlpGetEntry(ULONG Index, EVLP_ENTRY* Entry) {
    {
        std::lock_guard guard(LogLock);
        if (Index >= Entries.size())
            return FALSE;
        *Entry = Entries[Index];
    }
    Entry->Text = EvlpRenderEntry(*Entry);
    return TRUE;
}

VOID EvlpClearLog() {
    std::lock_guard guard(LogLock);
    Entries.clear();
    NextRecordNumber = 1;
}

VOID EvlpResetEventLog() {
    EvlpClearLog();
    EvlpForgetMessageTables();
    EvlpForgetOutstandingPackets();
}
