// sector_pattern.cpp - making and judging self-describing sectors.
#include "support/sector_pattern.h"

#include <zlib.h>

#include <cstring>

namespace {

uint32_t SectorCrc(const unsigned char* Sector, size_t Size) {
    SectorHeader header;
    std::memcpy(&header, Sector, sizeof(header));
    header.Crc = 0;
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(&header), sizeof(header));
    return static_cast<uint32_t>(
        crc32(crc, Sector + sizeof(header), static_cast<uInt>(Size - sizeof(header))));
}

} // namespace

void MakeSector(void* Sector, size_t Size, uint64_t SectorIndex, uint64_t Sequence) {
    auto* bytes = static_cast<unsigned char*>(Sector);
    // Filler that differs from sector to sector and write to write, so a
    // stale or shifted copy never matches by chance.
    uint64_t word = SectorIndex * 0x9E3779B97F4A7C15ull ^ Sequence;
    for (size_t at = sizeof(SectorHeader); at < Size; at += sizeof(word)) {
        word = word * 6364136223846793005ull + 1442695040888963407ull;
        std::memcpy(bytes + at, &word, sizeof(word));
    }
    SectorHeader header = {SECTOR_PATTERN_MAGIC, 0, SectorIndex, Sequence};
    std::memcpy(bytes, &header, sizeof(header));
    header.Crc = SectorCrc(bytes, Size);
    std::memcpy(bytes, &header, sizeof(header));
}

SectorVerdict CheckSector(const void* Sector, size_t Size, uint64_t SectorIndex,
                          uint64_t FreezeSequence) {
    auto* bytes = static_cast<const unsigned char*>(Sector);
    SectorHeader header;
    std::memcpy(&header, bytes, sizeof(header));
    if (header.Magic != SECTOR_PATTERN_MAGIC || header.Crc != SectorCrc(bytes, Size)) {
        return SectorVerdict::Torn;
    }
    if (header.SectorIndex != SectorIndex) {
        return SectorVerdict::Misplaced;
    }
    return header.Sequence >= FreezeSequence ? SectorVerdict::PostFreeze : SectorVerdict::Good;
}

const char* SectorVerdictName(SectorVerdict Verdict) {
    switch (Verdict) {
    case SectorVerdict::Good:
        return "good";
    case SectorVerdict::Torn:
        return "torn";
    case SectorVerdict::Misplaced:
        return "misplaced";
    case SectorVerdict::PostFreeze:
        return "written after the freeze";
    }
    return "?";
}
