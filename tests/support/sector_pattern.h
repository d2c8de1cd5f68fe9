// sector_pattern.h - self-describing sectors for integrity tests. Each
// sector a test writes carries a magic, the index of the volume sector it
// was written for, a sequence number and a CRC-32 (zlib) over the rest, so a
// wrong sector read back tells what went wrong: torn (the CRC or magic does
// not hold), misplaced (another sector's content), or written after the
// freeze (its sequence number is at or above the freeze's).
#pragma once

#include <cstddef>
#include <cstdint>

// Header at the start of every pattern sector; the rest of the sector is
// filler derived from the index and the sequence number.
struct SectorHeader {
    uint32_t Magic;       // SECTOR_PATTERN_MAGIC
    uint32_t Crc;         // crc32 of the sector with this field zero
    uint64_t SectorIndex; // volume byte offset / sector size
    uint64_t Sequence;    // increasing with each write of any sector
};

constexpr uint32_t SECTOR_PATTERN_MAGIC = 0x53445153; // "SQDS"

enum class SectorVerdict {
    Good,       // intact, in its place, written before the freeze
    Torn,       // magic or CRC wrong: a partial or foreign write
    Misplaced,  // intact but written for another sector
    PostFreeze, // intact and in place, but written after the freeze
};

// Fills Size bytes at Sector (Size >= sizeof(SectorHeader)).
void MakeSector(void* Sector, size_t Size, uint64_t SectorIndex, uint64_t Sequence);

// Judges a sector read at SectorIndex of a volume frozen when sequence
// numbers below FreezeSequence had been written.
SectorVerdict CheckSector(const void* Sector, size_t Size, uint64_t SectorIndex,
                          uint64_t FreezeSequence);

const char* SectorVerdictName(SectorVerdict Verdict);
