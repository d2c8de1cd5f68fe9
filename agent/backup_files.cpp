// backup_files.cpp - reading and writing the backup's files.
#include "backup_files.h"
#include "fileapi.h"
#include "qvd_error.h"

#include <algorithm>
#include <cstring>

namespace {

// The change-store header: blocks marked, blocks newly marked, block size, zero.
constexpr uint32_t ChangeStoreHeaderBytes = 24;
constexpr uint32_t ChangeStoreBlockSize = 4096;
constexpr uint32_t BounceBytes = 1u << 20;

} // namespace

AgentFile::AgentFile(const std::u16string& Path, DWORD Access, DWORD Disposition) : path_(Path) {
    const DWORD share = (Access & GENERIC_WRITE) ? 0 : FILE_SHARE_READ;
    handle_ = CreateFileW(Path.c_str(), Access, share, nullptr, Disposition, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        ThrowLastError("opening " + Narrow(Path));
    }
}

AgentFile::~AgentFile() {
    CloseHandle(handle_);
}

uint64_t AgentFile::Size() const {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(handle_, &size)) {
        ThrowLastError("size of " + Narrow(path_));
    }
    return static_cast<uint64_t>(size.QuadPart);
}

void AgentFile::ReadAt(uint64_t Offset, void* Buffer, uint32_t Length) {
    if (!bounce_) {
        bounce_ = std::make_unique<UserBuffer>(BounceBytes);
    }
    for (uint32_t done = 0; done < Length;) {
        const uint32_t piece = std::min<uint32_t>(BounceBytes, Length - done);
        const uint64_t at = Offset + done;
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        if (!ReadFile(handle_, bounce_->Data(), piece, &got, &where)) {
            ThrowLastError("reading " + Narrow(path_) + " at byte " + std::to_string(at));
        }
        if (got != piece) {
            throw QvdError(QvdErrorKind::Data, 0,
                           Narrow(path_) + " ends early, at byte " + std::to_string(at + got));
        }
        std::memcpy(static_cast<uint8_t*>(Buffer) + done, bounce_->Data(), piece);
        done += piece;
    }
}

void AgentFile::WriteAt(uint64_t Offset, const void* Buffer, uint32_t Length) {
    if (!bounce_) {
        bounce_ = std::make_unique<UserBuffer>(BounceBytes);
    }
    for (uint32_t done = 0; done < Length;) {
        const uint32_t piece = std::min<uint32_t>(BounceBytes, Length - done);
        const uint64_t at = Offset + done;
        std::memcpy(bounce_->Data(), static_cast<const uint8_t*>(Buffer) + done, piece);
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD put = 0;
        if (!WriteFile(handle_, bounce_->Data(), piece, &put, &where) || put != piece) {
            ThrowLastError("writing " + Narrow(path_) + " at byte " + std::to_string(at));
        }
        done += piece;
    }
}

ChangeStoreFile ReadChangeStore(const std::u16string& Path, uint64_t VolumeBytes) {
    AgentFile file(Path, GENERIC_READ, OPEN_EXISTING);
    ChangeStoreFile store;
    const uint64_t bitmapBytes = (VolumeBytes + 32767) / 32768;
    if (file.Size() != ChangeStoreHeaderBytes + bitmapBytes) {
        return store;
    }
    uint8_t header[ChangeStoreHeaderBytes];
    file.ReadAt(0, header, sizeof(header));
    uint32_t blockSize = 0;
    std::memcpy(&store.BlocksMarked, header, 8);
    std::memcpy(&store.BlocksNewlyMarked, header + 8, 8);
    std::memcpy(&blockSize, header + 16, 4);
    if (blockSize != ChangeStoreBlockSize) {
        return store;
    }
    // The file's bitmap has a bit for each 4096-byte block, rounded up to
    // whole bytes of 8 blocks; the agent's bitmaps use the same bits.
    store.Bitmap.assign(bitmapBytes, 0);
    file.ReadAt(ChangeStoreHeaderBytes, store.Bitmap.data(), uint32_t(bitmapBytes));
    store.Clean = true;
    return store;
}

BackupFileInfo InspectBackupFile(AgentFile& File) {
    BackupFileInfo info;
    const uint64_t size = File.Size();
    if (size >= sizeof(DeltaHeader)) {
        File.ReadAt(0, &info.Header, sizeof(info.Header));
        if (std::memcmp(info.Header.Magic, "QVDDELTA", 8) == 0) {
            if (info.Header.Version != DELTA_VERSION || info.Header.BlockSize != DELTA_BLOCK_SIZE) {
                throw QvdError(QvdErrorKind::Data, 0, "a delta file of an unknown version");
            }
            const uint64_t blocks = BlocksOf(info.Header.VolumeBytes);
            const uint64_t expected = sizeof(DeltaHeader) + (blocks + 7) / 8 +
                                      info.Header.BlocksStored * DELTA_BLOCK_SIZE;
            if (size != expected || info.Header.BlocksStored > blocks) {
                throw QvdError(QvdErrorKind::Data, 0,
                               "a delta file of " + std::to_string(size) + " bytes, expected " +
                                   std::to_string(expected) + " (truncated or damaged)");
            }
            info.IsDelta = true;
            info.VolumeBytes = info.Header.VolumeBytes;
            return info;
        }
    }
    info.Header = {};
    info.VolumeBytes = size;
    return info;
}

std::u16string ChangeStoreFor(const std::u16string& Output) {
    return Output + u".changes";
}

bool SamePath(const std::u16string& A, const std::u16string& B) {
    if (A.size() != B.size()) {
        return false;
    }
    for (size_t i = 0; i < A.size(); i++) {
        auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
        if (upper(A[i]) != upper(B[i])) {
            return false;
        }
    }
    return true;
}

std::string Narrow(const std::u16string& Text) {
    std::string narrow;
    for (char16_t c : Text) {
        narrow.push_back(c < 0x80 ? char(c) : '?');
    }
    return narrow;
}

std::u16string Widen(const std::string& Text) {
    return std::u16string(Text.begin(), Text.end());
}
