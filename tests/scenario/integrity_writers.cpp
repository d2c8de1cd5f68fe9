// integrity_writers.cpp - the integrity torture's writer programs.
#include "integrity_writers.h"
#include "fileapi.h"
#include "memoryapi.h"
#include "support/sector_pattern.h"
#include "win32/ntcall.h"

#include <chrono>
#include <random>
#include <thread>

namespace {

// Sectors one write covers at most.
const ULONG MaxRun = 16;

// Fills Count sectors of the file from file sector First, each with its own
// volume sector index and a fresh sequence number.
void FillSectors(IntegrityWriter* Job, UCHAR* Buffer, ULONG First, ULONG Count) {
    for (ULONG i = 0; i < Count; i++) {
        MakeSector(Buffer + i * Job->SectorSize, Job->SectorSize, Job->Map[First + i],
                   (*Job->Sequence)++);
    }
}

// Writes through the file system or to the volume until Stop (once when
// FillOnly).
ULONG WriteThroughHandle(IntegrityWriter* Job) {
    const bool raw = Job->Kind == WriterKind::Raw && !Job->FillOnly;
    const bool nonCached = Job->FillOnly || Job->Kind == WriterKind::NonCached;
    HANDLE file =
        CreateFileW(reinterpret_cast<LPCWSTR>(raw ? u"\\\\.\\C:" : Job->Path),
                    GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, nonCached ? FILE_FLAG_NO_BUFFERING : 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Job->Error = GetLastError();
        return 1;
    }
    const ULONG sectors = static_cast<ULONG>(Job->Map.size());
    auto* buffer = static_cast<UCHAR*>(
        VirtualAlloc(nullptr, MaxRun * Job->SectorSize, MEM_COMMIT, PAGE_READWRITE));
    std::mt19937 random(Job->Seed);
    ULONG next = 0;
    while (Job->FillOnly ? next < sectors : !Job->Stop) {
        ULONG first = Job->FillOnly ? next : random() % sectors;
        ULONG count = Job->FillOnly ? MaxRun : 1 + random() % MaxRun;
        count = first + count > sectors ? sectors - first : count;
        // A raw write must not run past the end of the cluster it starts in:
        // the file's next sector may lie elsewhere on the volume.
        while (raw && count > 1 && Job->Map[first + count - 1] != Job->Map[first] + count - 1) {
            count--;
        }
        next = first + count;
        FillSectors(Job, buffer, first, count);
        const LONGLONG offset =
            static_cast<LONGLONG>(raw ? Job->Map[first] : first) * Job->SectorSize;
        ULONG_PTR done = 0;
        NTSTATUS status =
            BasepNtReadWrite(TRUE, file, buffer, count * Job->SectorSize, &offset, &done);
        if (NT_SUCCESS(status) && Job->Kind == WriterKind::Cached && random() % 8 == 0) {
            status = BasepNtFlushBuffers(file);
        }
        if (!NT_SUCCESS(status)) {
            Job->Error = static_cast<ULONG>(status);
            break;
        }
        Job->Writes++;
        std::this_thread::sleep_for(std::chrono::milliseconds(Job->PauseMs));
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
    CloseHandle(file);
    return Job->Error != 0;
}

// Maps the whole file, stores a few runs of sectors into the view and
// unmaps it (its changed pages go down as paging writes), until Stop.
ULONG WriteThroughView(IntegrityWriter* Job) {
    HANDLE file =
        CreateFileW(reinterpret_cast<LPCWSTR>(Job->Path), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Job->Error = GetLastError();
        return 1;
    }
    HANDLE section = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    if (section == nullptr) {
        Job->Error = GetLastError();
    }
    const ULONG sectors = static_cast<ULONG>(Job->Map.size());
    std::mt19937 random(Job->Seed);
    while (section != nullptr && !Job->Stop) {
        PVOID base = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0);
        if (base == nullptr) {
            Job->Error = GetLastError();
            break;
        }
        for (int run = 0; run < 4; run++) {
            ULONG first = random() % sectors;
            ULONG count = 1 + random() % MaxRun;
            count = first + count > sectors ? sectors - first : count;
            FillSectors(Job, static_cast<UCHAR*>(base) + first * Job->SectorSize, first, count);
        }
        if (!UnmapViewOfFile(base)) {
            Job->Error = GetLastError();
            break;
        }
        Job->Writes++;
        std::this_thread::sleep_for(std::chrono::milliseconds(Job->PauseMs));
    }
    if (section != nullptr) {
        CloseHandle(section);
    }
    CloseHandle(file);
    return Job->Error != 0;
}

} // namespace

ULONG IntegrityWriterProgram(PVOID Context) {
    auto* job = static_cast<IntegrityWriter*>(Context);
    return job->Kind == WriterKind::Mapped && !job->FillOnly ? WriteThroughView(job)
                                                             : WriteThroughHandle(job);
}
