// evlog/errlog.cpp - error-log packets: IoAllocateErrorLogEntry,
// IoWriteErrorLogEntry, IoFreeErrorLogEntry.
//
// Kernel mode, IRQL <= DISPATCH_LEVEL. A packet is a nonpaged pool block of
// exactly the size the driver asked for, so a packet that is neither written
// nor freed shows as leaked pool. Writing decodes the packet into a log
// entry at once, reading nothing outside the packet, and frees it.
#include "ntos/evlog/evlp.h"
#include "ntos/verifier/bugcheck.h"

#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

constexpr ULONG EvlpPacketTag = EX_POOL_TAG('I', 'o', 'E', 'r');

// What the log needs of a packet that has been given out and not yet
// written or freed.
struct EVLP_OUTSTANDING {
    std::u16string Source; // the allocating driver's name, taken at allocation
    UCHAR EntrySize;       // bytes of the packet
};

// Guards Outstanding.
std::mutex PacketLock;
std::unordered_map<PVOID, EVLP_OUTSTANDING> Outstanding;

void EvlpCheckIrql(const char* Routine, const void* Caller) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL,
                   (std::string(Routine) + " called above DISPATCH_LEVEL").c_str(), Caller, irql);
}

// Takes the record of a packet out of Outstanding; a packet the log did not
// give out, or one already written or freed, is a bug check.
EVLP_OUTSTANDING EvlpTakeOutstanding(PVOID ElEntry, const char* Routine, const void* Caller) {
    std::unique_lock guard(PacketLock);
    auto it = Outstanding.find(ElEntry);
    if (it == Outstanding.end()) {
        guard.unlock();
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   (std::string(Routine) +
                    " given an error-log entry that is not outstanding (not from "
                    "IoAllocateErrorLogEntry, or already written or freed)")
                       .c_str(),
                   Caller, (ULONG_PTR)ElEntry);
    }
    EVLP_OUTSTANDING record = std::move(it->second);
    Outstanding.erase(it);
    return record;
}

// The last component of "\Driver\<name>".
std::u16string EvlpSourceName(PDRIVER_OBJECT Driver) {
    if (Driver == NULL || Driver->DriverName.Buffer == NULL)
        return std::u16string();
    std::u16string_view name(Driver->DriverName.Buffer, Driver->DriverName.Length / sizeof(WCHAR));
    const size_t slash = name.find_last_of(u'\\');
    return std::u16string(slash == name.npos ? name : name.substr(slash + 1));
}

// Decodes a packet of Size bytes into an entry without reading past it.
EVLP_ENTRY EvlpDecodePacket(const UCHAR* Packet, ULONG Size, std::u16string&& Source) {
    EVLP_ENTRY entry{};
    std::memcpy(&entry.Packet, Packet, sizeof(IO_ERROR_LOG_PACKET));
    entry.EventId = entry.Packet.ErrorCode;
    entry.Severity = static_cast<UCHAR>(static_cast<ULONG>(entry.EventId) >> 30);
    entry.Source = std::move(Source);

    const ULONG dumpStart = offsetof(IO_ERROR_LOG_PACKET, DumpData);
    const ULONG dumpBytes = std::min<ULONG>(entry.Packet.DumpDataSize, Size - dumpStart);
    entry.DumpData.resize(dumpBytes / sizeof(ULONG));
    if (!entry.DumpData.empty()) {
        std::memcpy(entry.DumpData.data(), Packet + dumpStart,
                    entry.DumpData.size() * sizeof(ULONG));
    }

    if (entry.Packet.NumberOfStrings == 0 || entry.Packet.StringOffset == 0)
        return entry;
    ULONG at = entry.Packet.StringOffset;
    for (USHORT s = 0; s < entry.Packet.NumberOfStrings && at + sizeof(WCHAR) <= Size; ++s) {
        std::u16string str;
        BOOLEAN terminated = FALSE;
        for (; at + sizeof(WCHAR) <= Size; at += sizeof(WCHAR)) {
            WCHAR c;
            std::memcpy(&c, Packet + at, sizeof c);
            if (c == 0) {
                terminated = TRUE;
                at += sizeof(WCHAR);
                break;
            }
            str.push_back(c);
        }
        entry.Strings.push_back(std::move(str));
        if (!terminated)
            break;
    }
    return entry;
}

} // namespace

PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    EvlpCheckIrql("IoAllocateErrorLogEntry", VF_CALLER());
    if (IoObject == NULL)
        return NULL;
    PDRIVER_OBJECT driver;
    switch (*static_cast<const CSHORT*>(IoObject)) {
    case IO_TYPE_DEVICE:
        driver = static_cast<PDEVICE_OBJECT>(IoObject)->DriverObject;
        break;
    case IO_TYPE_DRIVER:
        driver = static_cast<PDRIVER_OBJECT>(IoObject);
        break;
    default:
        return NULL;
    }
    if (EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE)
        return NULL;
    std::u16string source = EvlpSourceName(driver);
    PVOID packet = ExAllocatePoolWithTag(NonPagedPool, EntrySize, EvlpPacketTag);
    if (packet == NULL)
        return NULL;
    std::memset(packet, 0, EntrySize);
    std::lock_guard guard(PacketLock);
    Outstanding.emplace(packet, EVLP_OUTSTANDING{std::move(source), EntrySize});
    return packet;
}

VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
    EvlpCheckIrql("IoWriteErrorLogEntry", VF_CALLER());
    EVLP_OUTSTANDING record = EvlpTakeOutstanding(ElEntry, "IoWriteErrorLogEntry", VF_CALLER());
    EVLP_ENTRY entry = EvlpDecodePacket(static_cast<const UCHAR*>(ElEntry), record.EntrySize,
                                        std::move(record.Source));
    ExFreePoolWithTag(ElEntry, EvlpPacketTag);
    EvlpAppendEntry(std::move(entry));
}

VOID NTAPI IoFreeErrorLogEntry(PVOID ElEntry) {
    EvlpCheckIrql("IoFreeErrorLogEntry", VF_CALLER());
    EvlpTakeOutstanding(ElEntry, "IoFreeErrorLogEntry", VF_CALLER());
    ExFreePoolWithTag(ElEntry, EvlpPacketTag);
}

VOID EvlpForgetOutstandingPackets() {
    std::lock_guard guard(PacketLock);
    Outstanding.clear();
}
