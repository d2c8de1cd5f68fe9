// control_program.cpp - fuzzer bytes as a user program's control requests.
#include "control_program.h"
#include "exports.h"
#include "fileapi.h"
#include "memoryapi.h"
#include "synchapi.h"
#include "snapshot/qvdapi.h"
#include "win32/ntcall.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr ULONG kPage = 4096;
constexpr ULONG kMaxRequests = 8;
constexpr ULONG kMaxLength = 1200;        // beyond the largest record (576 bytes)
constexpr ULONG kRecordSpace = 2 * kPage; // the record's buffer: in and out
constexpr ULONG kMaxArray = 64 * 1024;    // largest extent array allocated
constexpr uint64_t kMaxWaitMs = 20;       // the freeze's time limits, bounded

const uint32_t kCodes[] = {IOCTL_QVD_QUERY_VERSION,         IOCTL_QVD_FREEZE_VOLUME,
                           IOCTL_QVD_THAW_VOLUME,           IOCTL_QVD_REPORT_PROGRESS,
                           IOCTL_QVD_ADD_PASS_THROUGH_FILE, IOCTL_QVD_REMOVE_PASS_THROUGH_FILE,
                           IOCTL_QVD_CLEAR_PASS_THROUGH_FILES, IOCTL_QVD_ENABLE_EXTENT_LIST,
                           IOCTL_QVD_READ_EXTENT_LIST};

const char16_t* const kStrings[] = {
    u"C:", u"D:", u"E:", u"c:", u"C:\\partial.dat", u"C:\\changes.bmp", u"D:\\partial.dat",
    u"\\Device\\HarddiskVolume1", u"\\Device\\HarddiskVolume3", u"\\\\.\\C:", u"\\??\\C:",
    u"C:\\dir\\..\\x.dat", u"C:\\", u"", u"C:\\partial.dat:stream", u"X:\\nowhere\\file"};

class FuzzBytes {
  public:
    explicit FuzzBytes(const FuzzInput& Input) : Data_(Input.Data), Left_(Input.Size) {}
    bool Empty() const { return Left_ == 0; }
    uint8_t Byte() {
        if (Left_ == 0) {
            return 0;
        }
        --Left_;
        return *Data_++;
    }
    uint32_t Word(int Bytes) {
        uint32_t value = 0;
        for (int i = 0; i < Bytes; ++i) {
            value |= static_cast<uint32_t>(Byte()) << (8 * i);
        }
        return value;
    }
    // Copies up to Length bytes; what is missing stays as it was.
    void Copy(uint8_t* To, size_t Length) {
        const size_t n = std::min(Length, Left_);
        std::memcpy(To, Data_, n);
        Data_ += n;
        Left_ -= n;
    }

  private:
    const uint8_t* Data_;
    size_t Left_;
};

uint32_t UserAddress(const void* P) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(P));
}

// The program's memory and handles its requests point at.
struct Surroundings {
    HANDLE Control;
    uint8_t* Record;       // kRecordSpace committed bytes
    uint8_t* PageEnd;      // end of a committed page followed by an uncommitted one
    uint8_t* Reserved;     // reserved, never committed
    HANDLE OwnedMutex;     // owned by the requesting thread
    HANDLE FreeMutex;      // owned by nobody
    HANDLE File;           // C:\fuzz.txt, or INVALID_HANDLE_VALUE
    HANDLE ReadOnlyFile;   // a file on the read-only D:, or INVALID_HANDLE_VALUE
    HANDLE Closed;         // a handle value already closed
    uint32_t FrozenHandle; // the volume handle of the last successful freeze, or 0
};

void PutWord(uint8_t* Record, ULONG Offset, uint32_t Value) {
    std::memcpy(Record + Offset, &Value, sizeof(Value));
}

uint32_t GetWord(const uint8_t* Record, ULONG Offset) {
    uint32_t value;
    std::memcpy(&value, Record + Offset, sizeof(value));
    return value;
}

// A string field: left as the input's bytes, or one of the shapes above.
void PlaceString(FuzzBytes& In, Surroundings& S, ULONG Offset) {
    const uint8_t choice = In.Byte() % 6;
    const uint8_t detail = In.Byte();
    switch (choice) {
    case 0:
        return;
    case 1: {
        std::u16string text = kStrings[detail % std::size(kStrings)];
        if (detail >= 0xF0) {
            text.assign(static_cast<size_t>(detail - 0xF0) * 64 + 200, u'A'); // long names
        }
        const size_t bytes = (text.size() + 1) * sizeof(char16_t);
        void* copy = VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
        std::memcpy(copy, text.c_str(), bytes);
        PutWord(S.Record, Offset, UserAddress(copy));
        return;
    }
    case 2: { // characters up to the end of committed memory, no terminator
        const size_t chars = detail % 16 + 1;
        auto* at = reinterpret_cast<char16_t*>(S.PageEnd) - chars;
        for (size_t i = 0; i < chars; ++i) {
            at[i] = u"C:\\partial.dat"[i % 14];
        }
        PutWord(S.Record, Offset, UserAddress(at));
        return;
    }
    case 3:
        PutWord(S.Record, Offset, UserAddress(S.Reserved + detail));
        return;
    case 4:
        PutWord(S.Record, Offset, UserAddress(S.Record + detail * 3));
        return;
    default:
        PutWord(S.Record, Offset, 0);
        return;
    }
}

void PlaceHandle(FuzzBytes& In, Surroundings& S, ULONG Offset) {
    const HANDLE choices[] = {nullptr,   S.OwnedMutex,   S.FreeMutex, S.File,
                              S.Control, S.ReadOnlyFile, S.Closed};
    const uint8_t choice = In.Byte() % std::size(choices);
    if (choice != 0) {
        PutWord(S.Record, Offset, UserAddress(choices[choice]));
    }
}

void PlaceVolumeHandle(FuzzBytes& In, Surroundings& S, ULONG Offset) {
    const uint8_t choice = In.Byte() % 3;
    if (choice != 0) {
        PutWord(S.Record, Offset, S.FrozenHandle + (choice - 1));
    }
}

void PlaceArray(FuzzBytes& In, Surroundings& S) {
    const uint8_t choice = In.Byte() % 5;
    const ULONG size = std::min(GetWord(S.Record, 16), kMaxArray);
    switch (choice) {
    case 1:
        if (size != 0) {
            PutWord(S.Record, 20, UserAddress(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE)));
        }
        return;
    case 2: // one entry of room before uncommitted memory
        PutWord(S.Record, 20, UserAddress(S.PageEnd - sizeof(QvdPreservedExtent)));
        return;
    case 3:
        PutWord(S.Record, 20, UserAddress(S.Reserved));
        return;
    case 4:
        PutWord(S.Record, 20, UserAddress(S.Record + 8));
        return;
    default:
        return;
    }
}

void ClampWait(uint8_t* Record, ULONG Offset) {
    uint64_t ms;
    std::memcpy(&ms, Record + Offset, sizeof(ms));
    ms %= kMaxWaitMs + 1;
    std::memcpy(Record + Offset, &ms, sizeof(ms));
}

// Fills the pointer and handle fields of Code's record.
void PlaceFields(FuzzBytes& In, Surroundings& S, uint32_t Code) {
    switch (Code) {
    case IOCTL_QVD_FREEZE_VOLUME:
        PlaceString(In, S, offsetof(QvdFreezeRequest, VolumeName));
        PlaceString(In, S, offsetof(QvdFreezeRequest, PartialDataFilePath));
        PlaceString(In, S, offsetof(QvdFreezeRequest, ChangeStorePath));
        PlaceHandle(In, S, offsetof(QvdFreezeRequest, SnapshotMutex));
        ClampWait(S.Record, offsetof(QvdFreezeRequest, MaxQuiesceMs));
        ClampWait(S.Record, offsetof(QvdFreezeRequest, QuietPeriodMs));
        return;
    case IOCTL_QVD_ADD_PASS_THROUGH_FILE:
    case IOCTL_QVD_REMOVE_PASS_THROUGH_FILE:
        PlaceHandle(In, S, offsetof(QvdPassThroughFileRequest, FileHandle));
        return;
    case IOCTL_QVD_READ_EXTENT_LIST:
        PlaceVolumeHandle(In, S, offsetof(QvdExtentListRequest, VolumeHandle));
        PlaceArray(In, S);
        return;
    case IOCTL_QVD_THAW_VOLUME:
    case IOCTL_QVD_REPORT_PROGRESS:
    case IOCTL_QVD_ENABLE_EXTENT_LIST:
        PlaceVolumeHandle(In, S, offsetof(QvdVolumeRequest, VolumeHandle));
        return;
    default:
        return;
    }
}

HANDLE OpenControlDevice() {
    return CreateFileW(QVD_CONTROL_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

HANDLE OpenFile(const char16_t* Path) {
    return CreateFileW(Path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, 0, nullptr);
}

} // namespace

ULONG FuzzControlProgram(PVOID Context) {
    FuzzBytes in(*static_cast<FuzzInput*>(Context));
    Surroundings s = {};
    s.Control = OpenControlDevice();
    if (s.Control == INVALID_HANDLE_VALUE) {
        return 1;
    }
    s.Record = static_cast<uint8_t*>(VirtualAlloc(nullptr, kRecordSpace, MEM_COMMIT, PAGE_READWRITE));
    auto* pages = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT, PAGE_READWRITE));
    VirtualFree(pages + kPage, kPage, MEM_DECOMMIT);
    s.PageEnd = pages + kPage;
    s.Reserved = static_cast<uint8_t*>(VirtualAlloc(nullptr, 16 * kPage, MEM_RESERVE, PAGE_READWRITE));
    s.OwnedMutex = CreateMutexW(nullptr, TRUE, nullptr);
    s.FreeMutex = CreateMutexW(nullptr, FALSE, nullptr);
    s.File = OpenFile(u"C:\\fuzz.txt");
    s.ReadOnlyFile = OpenFile(u"D:\\fuzz.txt");
    s.Closed = CreateMutexW(nullptr, FALSE, nullptr);
    CloseHandle(s.Closed);

    for (ULONG n = 0; n < kMaxRequests && !in.Empty(); ++n) {
        const uint8_t pick = in.Byte();
        const uint32_t code = pick < 0xF0 ? kCodes[pick % std::size(kCodes)] : in.Word(4);
        const ULONG inputLength = in.Word(2) % (kMaxLength + 1);
        const ULONG outputLength = in.Word(2) % (kMaxLength + 1);
        std::memset(s.Record, 0, kRecordSpace);
        in.Copy(s.Record, std::min<ULONG>(inputLength, sizeof(QvdFreezeRequest)));
        PlaceFields(in, s, code);
        // Now and then the whole buffer lies where nothing is committed.
        const bool unmapped = (pick & 0x0F) == 0x0F;
        void* buffer = unmapped ? static_cast<void*>(s.Reserved) : s.Record;
        ULONG_PTR information = 0;
        const NTSTATUS status = BasepNtDeviceIoControl(s.Control, code, buffer, inputLength,
                                                       buffer, outputLength, &information);
        const auto* freeze = reinterpret_cast<const QvdFreezeRequest*>(s.Record);
        if (code == IOCTL_QVD_FREEZE_VOLUME && NT_SUCCESS(status) && !unmapped &&
            information >= sizeof(uint64_t) && freeze->Result == QVD_RESULT_SUCCESS) {
            s.FrozenHandle = freeze->VolumeHandle;
        }
    }

    for (HANDLE h : {s.File, s.ReadOnlyFile}) {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    CloseHandle(s.FreeMutex);
    CloseHandle(s.OwnedMutex);
    CloseHandle(s.Control);
    return 0;
}

ULONG FuzzCleanupProgram(PVOID Context) {
    auto* cleanup = static_cast<FuzzCleanup*>(Context);
    HANDLE control = OpenControlDevice();
    if (control == INVALID_HANDLE_VALUE) {
        return 1;
    }
    auto* record = static_cast<uint8_t*>(VirtualAlloc(nullptr, kPage, MEM_COMMIT, PAGE_READWRITE));
    ULONG_PTR information = 0;
    for (ULONG i = 0; i < cleanup->Count; ++i) {
        QvdVolumeRequest thaw = {0, cleanup->Handles[i]};
        std::memcpy(record, &thaw, sizeof(thaw));
        BasepNtDeviceIoControl(control, IOCTL_QVD_THAW_VOLUME, record, sizeof(thaw), record,
                               sizeof(thaw), &information);
    }
    std::memset(record, 0, sizeof(QvdResultRecord));
    BasepNtDeviceIoControl(control, IOCTL_QVD_CLEAR_PASS_THROUGH_FILES, record,
                           sizeof(QvdResultRecord), record, sizeof(QvdResultRecord), &information);
    CloseHandle(control);
    return 0;
}

int FuzzInstallDriver() {
    return QVDInstall(1);
}
