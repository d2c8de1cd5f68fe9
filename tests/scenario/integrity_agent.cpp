// integrity_agent.cpp - the integrity torture's agent program.
#include "integrity_agent.h"
#include "fileapi.h"
#include "memoryapi.h"
#include "win32/ntcall.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

namespace {

const ULONGLONG Segment = 1 << 20;
const ULONG MaxSectors = 64; // of one read

// Compares the Count sectors read at Sector with the image.
void CheckRead(IntegrityAgent* Job, const UCHAR* Data, ULONGLONG Sector, ULONG Count) {
    for (ULONG i = 0; i < Count; i++, Data += Job->SectorSize) {
        const ULONGLONG index = Sector + i;
        if (Job->Excluded[index]) {
            continue;
        }
        Job->Checked[index]++;
        SectorVerdict verdict = Job->Patterned[index]
                                    ? CheckSector(Data, Job->SectorSize, index, Job->FreezeSequence)
                                    : SectorVerdict::Good;
        if (verdict != SectorVerdict::Good ||
            std::memcmp(Data, Job->Image + index * Job->SectorSize, Job->SectorSize) != 0) {
            Job->Mismatches.push_back({index, verdict});
        }
    }
}

} // namespace

ULONG IntegrityAgentProgram(PVOID Context) {
    auto* job = static_cast<IntegrityAgent*>(Context);
    if (FreezeProgram(&job->Freeze) != 0 || job->Freeze.Reply.Result != 0) {
        job->Phase = -1;
        return 1;
    }
    job->Phase = 1;
    while (job->Phase != 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const ULONG handle = job->Freeze.Reply.VolumeHandle;
    HANDLE volume =
        CreateFileW(reinterpret_cast<LPCWSTR>(u"\\\\.\\C:"), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE control = OpenControlDevice();
    if (volume == INVALID_HANDLE_VALUE || control == INVALID_HANDLE_VALUE) {
        return 2;
    }
    auto* buffer = static_cast<UCHAR*>(
        VirtualAlloc(nullptr, MaxSectors * job->SectorSize, MEM_COMMIT, PAGE_READWRITE));
    std::mt19937 random(job->Seed);
    const ULONG perSegment = static_cast<ULONG>(Segment / job->SectorSize);
    for (ULONGLONG base = 0; base < job->VolumeBytes; base += Segment) {
        // Each pass cuts the segment into runs of random sizes and reads
        // them in random order; what lies below a reported position is no
        // longer frozen, so every pass comes before the report.
        for (ULONG pass = 0; pass < job->Passes; pass++) {
            std::vector<std::pair<ULONG, ULONG>> runs; // first sector, count
            for (ULONG first = 0, count; first < perSegment; first += count) {
                count = 1 + random() % MaxSectors;
                count = first + count > perSegment ? perSegment - first : count;
                runs.emplace_back(first, count);
            }
            std::shuffle(runs.begin(), runs.end(), random);
            for (const auto& [first, count] : runs) {
                const LONGLONG offset = static_cast<LONGLONG>(base + first * job->SectorSize);
                ULONG_PTR bytes = 0;
                NTSTATUS status = BasepNtReadWrite(FALSE, volume, buffer, count * job->SectorSize,
                                                   &offset, &bytes);
                job->Reads++;
                if (!NT_SUCCESS(status) || bytes != count * job->SectorSize) {
                    job->FailedReads++;
                    continue;
                }
                CheckRead(job, buffer, static_cast<ULONGLONG>(offset) / job->SectorSize, count);
            }
        }
        QvdProgressRequest progress = {};
        progress.VolumeHandle = handle;
        progress.Position = base + Segment;
        job->ProgressResults +=
            SendRecord(control, IOCTL_QVD_REPORT_PROGRESS, &progress, sizeof(progress)) != 0;
        job->BrokenStatus |= progress.Status;
    }
    QvdVolumeRequest thaw = {};
    thaw.VolumeHandle = handle;
    job->ThawResult = SendRecord(control, IOCTL_QVD_THAW_VOLUME, &thaw, sizeof(thaw));
    VirtualFree(buffer, 0, MEM_RELEASE);
    CloseHandle(control);
    CloseHandle(volume);
    return 0;
}

ULONG ExtentListProgram(PVOID Context) {
    auto* job = static_cast<ExtentListJob*>(Context);
    HANDLE control = OpenControlDevice();
    if (control == INVALID_HANDLE_VALUE) {
        return 1;
    }
    const ULONG batch = 16;
    auto* records = static_cast<UCHAR*>(
        VirtualAlloc(nullptr, sizeof(QvdExtentListRequest) + batch * sizeof(QvdPreservedExtent),
                     MEM_COMMIT, PAGE_READWRITE));
    auto* enable = reinterpret_cast<QvdVolumeRequest*>(records);
    enable->VolumeHandle = job->VolumeHandle;
    job->EnableResult = SendRecord(control, IOCTL_QVD_ENABLE_EXTENT_LIST, enable, sizeof(*enable));
    auto* list = reinterpret_cast<QvdExtentListRequest*>(records);
    auto* array = reinterpret_cast<QvdPreservedExtent*>(records + sizeof(*list));
    ULONG cursor = 0;
    do {
        *list = {};
        list->VolumeHandle = job->VolumeHandle;
        list->Cursor = cursor;
        list->ArraySize = batch * sizeof(QvdPreservedExtent);
        list->Array = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(array));
        job->ListResult = SendRecord(control, IOCTL_QVD_READ_EXTENT_LIST, list, sizeof(*list));
        job->Extents.insert(job->Extents.end(), array, array + list->Count);
        cursor = list->Cursor;
    } while (list->Result == 0 && list->Count != 0);
    VirtualFree(records, 0, MEM_RELEASE);
    CloseHandle(control);

    // The driver holds the file open for writing and deleting.
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(job->PartialFile), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        job->FileError = GetLastError();
        return 2;
    }
    const ULONG piece = 64 << 10;
    auto* data = static_cast<UCHAR*>(VirtualAlloc(nullptr, piece, MEM_COMMIT, PAGE_READWRITE));
    DWORD read = 0;
    BOOL ok;
    while ((ok = ReadFile(file, data, piece, &read, nullptr)) && read != 0) {
        job->File.insert(job->File.end(), data, data + read);
    }
    job->FileError = ok ? 0 : GetLastError();
    VirtualFree(data, 0, MEM_RELEASE);
    CloseHandle(file);
    return 0;
}
