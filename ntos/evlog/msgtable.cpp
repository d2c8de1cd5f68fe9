// evlog/msgtable.cpp - message tables of the event sources, and message lookup
// in a binary MESSAGE_RESOURCE_DATA.
//
// Host side of the emulated event log. A table comes from an image and is
// checked whole when it is registered; lookups still bound every read by the
// language's size.
#include "ntos/evlog/evlp.h"

#include <cstring>
#include <map>
#include <mutex>

namespace {

// Registered tables by lower-cased source name. Guarded by TableLock.
std::mutex TableLock;
std::map<std::u16string, PCMESSAGE_TABLE_RESOURCE> Tables;

std::u16string EvlpFoldName(PCWSTR Name) {
    std::u16string folded;
    for (; *Name; ++Name)
        folded.push_back(*Name >= u'A' && *Name <= u'Z' ? char16_t(*Name + (u'a' - u'A')) : *Name);
    return folded;
}

ULONG EvlpRead32(const UCHAR* P) {
    ULONG v;
    std::memcpy(&v, P, sizeof v);
    return v;
}

USHORT EvlpRead16(const UCHAR* P) {
    USHORT v;
    std::memcpy(&v, P, sizeof v);
    return v;
}

// Walks the entries of one block up to MessageId (or all of them when it is
// not in the block). Returns the offset of the wanted entry, 0 when not
// wanted or not found, and -1 when the data is malformed.
long long EvlpWalkBlock(const UCHAR* Data, ULONG Size, ULONG LowId, ULONG HighId, ULONG Offset,
                        ULONG MessageId, BOOLEAN Want) {
    for (ULONG64 id = LowId; id <= HighId; ++id) {
        if (Offset > Size || Size - Offset < 4)
            return -1;
        const USHORT length = EvlpRead16(Data + Offset);
        if (length < 4 || length > Size - Offset)
            return -1;
        if (Want && id == MessageId)
            return Offset;
        Offset += length;
    }
    return 0;
}

// Checks one language's MESSAGE_RESOURCE_DATA, or finds MessageId in it.
// Returns the entry's offset, 0 when absent, -1 when malformed.
long long EvlpScan(const UCHAR* Data, ULONG Size, ULONG MessageId, BOOLEAN Want) {
    if (Data == NULL || Size < 4)
        return -1;
    const ULONG blocks = EvlpRead32(Data);
    if (blocks > (Size - 4) / sizeof(MESSAGE_RESOURCE_BLOCK))
        return -1;
    for (ULONG b = 0; b < blocks; ++b) {
        const UCHAR* block = Data + 4 + b * sizeof(MESSAGE_RESOURCE_BLOCK);
        const ULONG low = EvlpRead32(block);
        const ULONG high = EvlpRead32(block + 4);
        const ULONG offset = EvlpRead32(block + 8);
        if (low > high)
            return -1;
        if (Want && (MessageId < low || MessageId > high))
            continue;
        const long long found = EvlpWalkBlock(Data, Size, low, high, offset, MessageId, Want);
        if (found != 0 || Want)
            return found;
    }
    return 0;
}

} // namespace

NTSTATUS EvlpRegisterMessageTable(PCWSTR SourceName, PCMESSAGE_TABLE_RESOURCE Table) {
    if (SourceName == NULL || *SourceName == 0 || Table == NULL || Table->NumberOfLanguages == 0 ||
        Table->Languages == NULL)
        return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < Table->NumberOfLanguages; ++i) {
        const MESSAGE_TABLE_LANGUAGE& lang = Table->Languages[i];
        if (EvlpScan(lang.Data, lang.Size, 0, FALSE) < 0)
            return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(TableLock);
    Tables[EvlpFoldName(SourceName)] = Table;
    return STATUS_SUCCESS;
}

VOID EvlpUnregisterMessageTable(PCWSTR SourceName) {
    std::lock_guard guard(TableLock);
    Tables.erase(EvlpFoldName(SourceName));
}

PCMESSAGE_TABLE_RESOURCE EvlpLookupMessageTable(PCWSTR SourceName) {
    std::lock_guard guard(TableLock);
    auto it = Tables.find(EvlpFoldName(SourceName));
    return it == Tables.end() ? NULL : it->second;
}

VOID EvlpForgetMessageTables() {
    std::lock_guard guard(TableLock);
    Tables.clear();
}

BOOLEAN EvlpFindMessage(PCMESSAGE_TABLE_RESOURCE Table, USHORT LanguageId, ULONG MessageId,
                        std::u16string* Text) {
    for (ULONG i = 0; i < Table->NumberOfLanguages; ++i) {
        const MESSAGE_TABLE_LANGUAGE& lang = Table->Languages[i];
        if (lang.LanguageId != LanguageId)
            continue;
        const long long offset = EvlpScan(lang.Data, lang.Size, MessageId, TRUE);
        if (offset <= 0)
            return FALSE;
        const UCHAR* entry = lang.Data + offset;
        const USHORT length = EvlpRead16(entry);
        const USHORT flags = EvlpRead16(entry + 2);
        Text->clear();
        if (flags & MESSAGE_RESOURCE_UNICODE) {
            for (USHORT at = 4; at + 1 < length; at += 2) {
                const char16_t c = EvlpRead16(entry + at);
                if (c == 0)
                    break;
                Text->push_back(c);
            }
        } else {
            for (USHORT at = 4; at < length && entry[at] != 0; ++at)
                Text->push_back(entry[at]);
        }
        return TRUE;
    }
    return FALSE;
}
