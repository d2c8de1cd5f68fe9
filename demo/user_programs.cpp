// demo/user_programs.cpp - the demo's user-mode programs (see the header).
// They call only the win32 subset, as a real setup program or agent would.
#include "user_programs.h"
#include "exports.h"
#include "file_pattern.h"
#include "fileapi.h"
#include "ioapiset.h"
#include "memoryapi.h"
#include "win32/ntcall.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// Pieces a file is written in: sizes that cross sector and cluster bounds.
constexpr DWORD WriterPieces[] = {777, 65536 + 13, 12345, 131072 - 5, 4096, 333, 40000};

std::u16string WriterFileName(ULONG Writer, ULONG Slot) {
    std::u16string name = u"C:\\w";
    for (char c : std::to_string(Writer)) {
        name.push_back(char16_t(c));
    }
    name.push_back(u'-');
    for (char c : std::to_string(Slot)) {
        name.push_back(char16_t(c));
    }
    return name + u".bin";
}

std::string Describe(const char* What, ULONG Writer, ULONG Slot, ULONG Value) {
    return std::string(What) + " (file w" + std::to_string(Writer) + "-" + std::to_string(Slot) +
           ".bin, " + std::to_string(Value) + ")";
}

// Writes one version of a file; FALSE with the reason in *Failure.
BOOL WriteVersion(const FilePatternId& Id, uint8_t* Buffer, std::string* Failure,
                  uint64_t* Written) {
    const uint32_t size = FilePatternSize(Id);
    FilePatternFill(Id, 0, Buffer, size);
    HANDLE file = CreateFileW(WriterFileName(Id.Writer, Id.Slot).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *Failure = Describe("CreateFileW failed", Id.Writer, Id.Slot, GetLastError());
        return FALSE;
    }
    uint32_t at = 0;
    for (size_t piece = Id.Generation; at < size; piece++) {
        DWORD length = WriterPieces[piece % (sizeof(WriterPieces) / sizeof(WriterPieces[0]))];
        length = length < size - at ? length : size - at;
        DWORD done = 0;
        if (!WriteFile(file, Buffer + at, length, &done, nullptr) || done != length) {
            *Failure = Describe("WriteFile failed", Id.Writer, Id.Slot, GetLastError());
            CloseHandle(file);
            return FALSE;
        }
        at += length;
        *Written += length;
    }
    return CloseHandle(file);
}

// Writes one version of a file through a mapped view: its pages reach the
// volume as paging writes when the view is unmapped.
BOOL MapVersion(const FilePatternId& Id, std::string* Failure, uint64_t* Written) {
    const uint32_t size = FilePatternSize(Id);
    HANDLE file = CreateFileW(WriterFileName(Id.Writer, Id.Slot).c_str(),
                              GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *Failure = Describe("CreateFileW failed", Id.Writer, Id.Slot, GetLastError());
        return FALSE;
    }
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, size, nullptr);
    void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size) : nullptr;
    if (view == nullptr) {
        *Failure = Describe("mapping the file failed", Id.Writer, Id.Slot, GetLastError());
    } else {
        FilePatternFill(Id, 0, static_cast<uint8_t*>(view), size);
        if (!UnmapViewOfFile(view)) {
            *Failure = Describe("UnmapViewOfFile failed", Id.Writer, Id.Slot, GetLastError());
            view = nullptr;
        }
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
    }
    const BOOL closed = CloseHandle(file);
    if (view == nullptr || !closed) {
        return FALSE;
    }
    *Written += size;
    return TRUE;
}

// Appends one line to the writer's log, opened anew each time.
BOOL AppendLine(ULONG Writer, uint64_t Line, std::string* Failure) {
    std::u16string name = u"C:\\log";
    for (char c : std::to_string(Writer)) {
        name.push_back(char16_t(c));
    }
    name += u".txt";
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *Failure = "cannot open the log of writer " + std::to_string(Writer);
        return FALSE;
    }
    char text[64];
    const int length = std::snprintf(text, sizeof(text), "writer %u line %llu\r\n", Writer,
                                     static_cast<unsigned long long>(Line));
    auto* line =
        static_cast<char*>(VirtualAlloc(nullptr, sizeof(text), MEM_COMMIT, PAGE_READWRITE));
    std::memcpy(line, text, sizeof(text));
    LARGE_INTEGER end = {};
    DWORD done = 0;
    const BOOL appended = SetFilePointerEx(file, end, nullptr, FILE_END) &&
                          WriteFile(file, line, DWORD(length), &done, nullptr) &&
                          done == DWORD(length);
    VirtualFree(line, 0, MEM_RELEASE);
    CloseHandle(file);
    if (!appended) {
        *Failure = "cannot append to the log of writer " + std::to_string(Writer);
    }
    return appended;
}

void WaitWhilePaused(WriterJob* Job) {
    if (!Job->Pause->load()) {
        return;
    }
    Job->Paused->fetch_add(1);
    while (Job->Pause->load() && !Job->Stop->load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Job->Paused->fetch_sub(1);
}

} // namespace

ULONG SetupProgram(PVOID Context) {
    auto* run = static_cast<SetupRun*>(Context);
    run->Result = run->Uninstall ? QVDUninstall(run->Product) : QVDInstall(run->Product);
    return 0;
}

ULONG WriterProgram(PVOID Context) {
    auto* job = static_cast<WriterJob*>(Context);
    const SIZE_T bufferSize = 512 * 1024 + 4096;
    auto* buffer =
        static_cast<uint8_t*>(VirtualAlloc(nullptr, bufferSize, MEM_COMMIT, PAGE_READWRITE));
    if (buffer == nullptr) {
        job->Failures++;
        job->FirstFailure = "VirtualAlloc failed";
        return 1;
    }
    ULONG generation = 0;
    while (!job->Stop->load()) {
        for (ULONG slot = 0; slot < job->Slots && !job->Stop->load(); slot++) {
            WaitWhilePaused(job);
            FilePatternId id = {job->Writer, slot, generation};
            std::string failure;
            // Until it is closed again the file holds no complete version.
            job->Complete[slot] = FALSE;
            // Every third version goes through a mapped view.
            const bool mapped = (generation + slot) % 3 == 1;
            BOOL done = mapped ? MapVersion(id, &failure, &job->BytesWritten)
                               : WriteVersion(id, buffer, &failure, &job->BytesWritten);
            if (done) {
                job->FilesMapped += mapped;
                job->Complete[slot] = TRUE;
                job->Generation[slot] = generation;
                job->FilesWritten++;
                if ((generation + slot) % 5 == 4) {
                    job->Complete[slot] = FALSE;
                    done = DeleteFileW(WriterFileName(job->Writer, slot).c_str());
                    job->FilesDeleted += done;
                    failure = Describe("DeleteFileW failed", job->Writer, slot, GetLastError());
                }
            }
            if (done) {
                done = AppendLine(job->Writer, job->LinesAppended, &failure);
                job->LinesAppended += done;
            }
            if (!done && job->Failures++ == 0) {
                job->FirstFailure = failure;
            }
        }
        generation++;
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
    return job->Failures == 0 ? 0 : 1;
}

ULONG VerifyProgram(PVOID Context) {
    auto* job = static_cast<VerifyJob*>(Context);
    const SIZE_T bufferSize = 512 * 1024 + 4096;
    auto* buffer =
        static_cast<uint8_t*>(VirtualAlloc(nullptr, bufferSize, MEM_COMMIT, PAGE_READWRITE));
    if (buffer == nullptr) {
        job->Mismatches++;
        job->FirstMismatch = "VirtualAlloc failed";
        return 1;
    }
    auto mismatch = [job](std::string What) {
        if (job->Mismatches++ == 0) {
            job->FirstMismatch = std::move(What);
        }
    };
    for (ULONG j = 0; j < job->JobCount; j++) {
        const WriterJob& writer = job->Jobs[j];
        for (ULONG slot = 0; slot < writer.Slots; slot++) {
            if (!writer.Complete[slot]) {
                continue;
            }
            const FilePatternId id = {writer.Writer, slot, writer.Generation[slot]};
            const uint32_t size = FilePatternSize(id);
            HANDLE file = CreateFileW(WriterFileName(id.Writer, slot).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                mismatch(Describe("cannot open", id.Writer, slot, GetLastError()));
                continue;
            }
            // Ask for more than the file holds: the read must stop at its end.
            DWORD done = 0;
            const BOOL read = ReadFile(file, buffer, size + 4096, &done, nullptr);
            CloseHandle(file);
            job->FilesChecked++;
            job->BytesRead += done;
            if (!read) {
                mismatch(Describe("ReadFile failed", id.Writer, slot, GetLastError()));
            } else if (done != size) {
                mismatch(Describe("wrong size", id.Writer, slot, done));
            } else if (FilePatternCheck(id, buffer, size) != size) {
                mismatch(Describe("wrong byte at offset", id.Writer, slot,
                                  ULONG(FilePatternCheck(id, buffer, size))));
            }
        }
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
    return job->Mismatches == 0 ? 0 : 1;
}
