// frozen_volume.cpp - freezing, reading and thawing one volume.
#include "frozen_volume.h"
#include "fileapi.h"
#include "ioapiset.h"
#include "securitybaseapi.h"
#include "synchapi.h"

#include <cstring>

namespace {

// IOCTL_DISK_GET_PARTITION_INFO and the part of its answer the agent reads.
constexpr DWORD DiskGetPartitionInfo = 0x00074004;
constexpr size_t PartitionInformationBytes = 32;
constexpr size_t PartitionLengthOffset = 8;

HANDLE OpenVolume(const std::u16string& Volume, DWORD Access) {
    const std::u16string path = VolumeDevicePath(Volume);
    HANDLE handle = CreateFileW(path.c_str(), Access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ThrowLastError("opening volume " + std::string(path.begin(), path.end()));
    }
    return handle;
}

} // namespace

void EnableBackupPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        ThrowLastError("OpenProcessToken");
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    BOOL done =
        LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &privileges.Privileges[0].Luid) &&
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(token);
    if (!done || error == ERROR_NOT_ALL_ASSIGNED) {
        throw QvdError(QvdErrorKind::Win32, done ? error : ERROR_ACCESS_DENIED,
                       "the backup privilege is not held: run as an administrator or a backup "
                       "operator (" +
                           Win32ErrorName(done ? error : ERROR_ACCESS_DENIED) + ")");
    }
}

std::u16string VolumeDevicePath(const std::u16string& Volume) {
    if (Volume.size() == 2 && Volume[1] == u':') {
        return u"\\\\.\\" + Volume;
    }
    if (!Volume.empty() && Volume.back() == u'\\') {
        return Volume.substr(0, Volume.size() - 1);
    }
    return Volume;
}

uint64_t QueryVolumeBytes(HANDLE Volume) {
    uint8_t answer[PartitionInformationBytes] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(Volume, DiskGetPartitionInfo, nullptr, 0, answer, sizeof(answer),
                         &returned, nullptr)) {
        ThrowLastError("IOCTL_DISK_GET_PARTITION_INFO");
    }
    uint64_t bytes = 0;
    std::memcpy(&bytes, answer + PartitionLengthOffset, sizeof(bytes));
    return bytes;
}

FrozenVolume::FrozenVolume(QvdControl& Control, const FreezeSettings& Settings)
    : control_(Control), partialDataFile_(Settings.PartialDataFile) {
    EnableBackupPrivilege();
    // Cached data of the volume's files goes down before the freeze, so that
    // it is part of the image and the volume can become quiet.
    HANDLE flush = OpenVolume(Settings.Volume, GENERIC_READ | GENERIC_WRITE);
    const BOOL flushed = FlushFileBuffers(flush);
    const DWORD flushError = GetLastError();
    CloseHandle(flush);
    if (!flushed) {
        throw QvdError(QvdErrorKind::Win32, flushError,
                       "flushing the volume failed: " + Win32ErrorName(flushError));
    }
    volume_ = OpenVolume(Settings.Volume, GENERIC_READ);
    try {
        bytes_ = QueryVolumeBytes(volume_);
        mutex_ = CreateMutexW(nullptr, TRUE, nullptr);
        if (mutex_ == nullptr) {
            ThrowLastError("CreateMutexW");
        }
        const QvdFreezeRequest answer = control_.FreezeVolume(Settings, mutex_);
        CheckResult("FreezeVolume", answer.Result);
        handle_ = answer.VolumeHandle;
        frozen_ = true;
        for (size_t i = 0; i < QVD_CHANGE_STORE_NAME_CHARS && answer.PreviousChangeStoreName[i];
             i++) {
            previousStore_.push_back(char16_t(answer.PreviousChangeStoreName[i]));
        }
        previousIncomplete_ = (answer.FreezeFlags & QVD_FREEZE_CHANGE_STORE_INCOMPLETE) != 0;
    } catch (...) {
        if (mutex_ != nullptr) {
            ReleaseMutex(mutex_);
            CloseHandle(mutex_);
        }
        CloseHandle(volume_);
        throw;
    }
}

FrozenVolume::~FrozenVolume() {
    if (frozen_) {
        try {
            Thaw();
        } catch (const QvdError&) {
            // The snapshot ends anyway: the watchdog thaws once the mutex is
            // abandoned or released and the thread stops reading.
        }
    }
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
    CloseHandle(volume_);
}

void FrozenVolume::Read(uint64_t Offset, void* Buffer, uint32_t Length) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(Offset);
    at.OffsetHigh = static_cast<DWORD>(Offset >> 32);
    DWORD done = 0;
    if (!ReadFile(volume_, Buffer, Length, &done, &at)) {
        ThrowLastError("reading the frozen image at byte " + std::to_string(Offset));
    }
    if (done != Length) {
        throw QvdError(QvdErrorKind::Win32, ERROR_HANDLE_EOF,
                       "short read of the frozen image at byte " + std::to_string(Offset));
    }
}

uint32_t FrozenVolume::ReportProgress(uint64_t Position) {
    return control_.ReportProgress(handle_, Position);
}

uint64_t FrozenVolume::RemovePartialDataFile() {
    HANDLE file =
        CreateFileW(partialDataFile_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1000000 + GetLastError();
    }
    LARGE_INTEGER size = {};
    const BOOL known = GetFileSizeEx(file, &size);
    CloseHandle(file);
    DeleteFileW(partialDataFile_.c_str());
    return known ? static_cast<uint64_t>(size.QuadPart) : 0;
}

void FrozenVolume::Thaw() {
    frozen_ = false;
    control_.ThawVolume(handle_);
}
