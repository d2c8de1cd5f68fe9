// disk/mount_names.cpp - the names the mount manager gives a volume: its
// unique ID and its persistent "\??\Volume{GUID}" name.
//
// A partition of a basic disk identifies itself by its disk's signature and
// its starting offset (12 bytes); a CD-ROM by its device name. The mount
// manager keeps one GUID per unique ID for good: here the GUID is derived
// from the unique ID, so a volume keeps its GUID name across boots of the
// same machine as it does on the platform, and two volumes never share one.
// Host code, any IRQL.
#include "ntos/disk/diskp.h"

#include <cstdio>

namespace {

// A disk signature that looks like the random one a disk gets when it is
// first partitioned, the same for the same volume number every boot.
ULONG DiskpDiskSignature(ULONG Number) {
    ULONG value = Number * 0x9E3779B9u + 0x7F4A7C15u;
    value ^= value >> 16;
    value *= 0x85EBCA6Bu;
    value ^= value >> 13;
    return value;
}

// 64-bit FNV-1a of Bytes, started from Seed.
ULONGLONG DiskpHash(const std::vector<UCHAR>& Bytes, ULONGLONG Seed) {
    ULONGLONG hash = Seed;
    for (UCHAR byte : Bytes) {
        hash ^= byte;
        hash *= 0x100000001B3ULL;
    }
    return hash;
}

} // namespace

VOID DiskpAssignMountNames(DISKP_VOLUME* Volume) {
    std::vector<UCHAR>& id = Volume->UniqueId;
    id.clear();
    if (Volume->CdRom) {
        const auto* name = reinterpret_cast<const UCHAR*>(Volume->DeviceName.data());
        id.assign(name, name + Volume->DeviceName.size() * sizeof(WCHAR));
    } else {
        const ULONG signature = DiskpDiskSignature(Volume->Number);
        for (int i = 0; i < 4; ++i) {
            id.push_back(static_cast<UCHAR>(signature >> (8 * i)));
        }
        for (int i = 0; i < 8; ++i) {
            id.push_back(static_cast<UCHAR>(DiskpPartitionOffset >> (8 * i)));
        }
    }

    // A random-looking (version 4) GUID from the unique ID.
    const ULONGLONG high = DiskpHash(id, 0xCBF29CE484222325ULL);
    const ULONGLONG low = DiskpHash(id, 0x84222325CBF29CE4ULL);
    const ULONG data1 = static_cast<ULONG>(high >> 32);
    const USHORT data2 = static_cast<USHORT>(high >> 16);
    const USHORT data3 = static_cast<USHORT>((high & 0x0FFF) | 0x4000);
    const USHORT data4 = static_cast<USHORT>(((low >> 48) & 0x3FFF) | 0x8000);
    const ULONGLONG node = low & 0xFFFFFFFFFFFFULL;
    char text[64];
    std::snprintf(text, sizeof(text), "\\??\\Volume{%08x-%04x-%04x-%04x-%012llx}", data1, data2,
                  data3, data4, static_cast<unsigned long long>(node));
    Volume->GuidLinkName.assign(text, text + std::char_traits<char>::length(text));
}
