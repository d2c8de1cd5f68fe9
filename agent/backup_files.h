// backup_files.h - the files of a backup: the full image (the volume's bytes,
// nothing else), the delta file of an incremental backup, and the driver's
// change-store file that tells which blocks changed.
//
// Delta file, little-endian:
//   0  8  magic "QVDDELTA"
//   8  4  version, 1
//   12 4  block size, 4096
//   16 8  volume bytes
//   24 8  blocks stored
//   32 4  flags: DELTA_EVERY_BLOCK when the backup fell back to every block
//   36 28 zero
//   64    bitmap, one bit per block of the volume (bit n: byte n / 8, bit
//         n mod 8, least significant first), then the stored blocks in
//         ascending order, each a whole block (zero past the volume's end).
#pragma once

#include "user_buffer.h"
#include "windows.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#define DELTA_BLOCK_SIZE 4096u
#define DELTA_VERSION 1u
#define DELTA_EVERY_BLOCK 0x1u

#pragma pack(push, 4)
struct DeltaHeader {
    char Magic[8];
    uint32_t Version;
    uint32_t BlockSize;
    uint64_t VolumeBytes;
    uint64_t BlocksStored;
    uint32_t Flags;
    uint8_t Reserved[28];
};
#pragma pack(pop)
static_assert(sizeof(DeltaHeader) == 64);

inline uint64_t BlocksOf(uint64_t VolumeBytes) {
    return (VolumeBytes + DELTA_BLOCK_SIZE - 1) / DELTA_BLOCK_SIZE;
}
inline bool BitSet(const std::vector<uint8_t>& Bitmap, uint64_t Block) {
    return (Bitmap[Block / 8] >> (Block % 8)) & 1;
}

// A change-store file as the driver left it at the freeze that reported it.
struct ChangeStoreFile {
    bool Clean = false;        // closed cleanly: header written, size as expected
    uint64_t BlocksMarked = 0; // header counters
    uint64_t BlocksNewlyMarked = 0;
    std::vector<uint8_t> Bitmap; // one bit per 4096-byte block
};
// Reads the store at Path for a volume of VolumeBytes; throws when it cannot
// be read. A store that was never closed cleanly (block size 0) or whose size
// does not fit the volume comes back with Clean false.
ChangeStoreFile ReadChangeStore(const std::u16string& Path, uint64_t VolumeBytes);

// A synchronous file of the agent, closed by its destructor.
class AgentFile {
  public:
    AgentFile(const std::u16string& Path, DWORD Access, DWORD Disposition);
    ~AgentFile();
    AgentFile(const AgentFile&) = delete;
    AgentFile& operator=(const AgentFile&) = delete;

    HANDLE Handle() const { return handle_; }
    uint64_t Size() const;
    // All of it, or throw. Buffer may lie anywhere: the transfer goes
    // through the file's own buffer in this process's memory.
    void ReadAt(uint64_t Offset, void* Buffer, uint32_t Length);
    void WriteAt(uint64_t Offset, const void* Buffer, uint32_t Length);

  private:
    std::u16string path_;
    HANDLE handle_;
    std::unique_ptr<UserBuffer> bounce_; // BounceBytes, allocated at first use
};

// What a backup file holds: a full image, or a delta with its header.
struct BackupFileInfo {
    bool IsDelta = false;
    uint64_t VolumeBytes = 0; // an image's size, or the delta's volume
    DeltaHeader Header = {};  // when IsDelta
};
BackupFileInfo InspectBackupFile(AgentFile& File);

// "X:\full.img" gives "X:\full.img.changes": the change store a backup asks
// for beside its output, so that the next incremental finds it.
std::u16string ChangeStoreFor(const std::u16string& Output);
bool SamePath(const std::u16string& A, const std::u16string& B);
std::string Narrow(const std::u16string& Text);
std::u16string Widen(const std::string& Text);
