// demo/file_pattern.h - self-describing file contents for the demo's
// writers: every 16-byte unit of a file names the file, its generation and
// its own offset, so a wrong byte read back tells whether it is stale (an
// older generation), misplaced (another offset) or foreign (another file).
// Plain C++; used by the user programs.
#pragma once

#include <cstddef>
#include <cstdint>

#define FILE_PATTERN_MAGIC 0x46445651u // "QVDF"
#define FILE_PATTERN_UNIT 16u

// Identity of one version of one file.
struct FilePatternId {
    uint32_t Writer;     // writer thread that owns the file
    uint32_t Slot;       // which of its files
    uint32_t Generation; // how many times the file was rewritten before
};

// Bytes of that version: between 64 KiB and 512 KiB, never a multiple of
// the sector size, so that the last write is always a partial sector.
uint32_t FilePatternSize(const FilePatternId& Id);

// Fills Buffer with the bytes [Offset, Offset + Length) of the version Id.
void FilePatternFill(const FilePatternId& Id, uint64_t Offset, uint8_t* Buffer, size_t Length);

// Compares Data with bytes [0, Length) of Id; the offset of the first
// wrong byte, or Length when all match.
size_t FilePatternCheck(const FilePatternId& Id, const uint8_t* Data, size_t Length);
