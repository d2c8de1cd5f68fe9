// snapshot_agent.cpp - the agent program of the integrity tests, the fault
// sweep and the lifecycle races.
#include "snapshot_agent.h"
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
const ULONG MaxSectors = 64;       // of one read of a pass
const ULONG RangePiece = 64 << 10; // of one read of a range
const ULONG RandomRead = 16 << 10; // of one read until Stop
const ULONG ListBatch = 16;        // extents asked for per call

// The records and the read buffer travel through the program's own memory.
struct AgentMemory {
    QvdProgressRequest Progress;
    QvdVolumeRequest Volume;
    QvdExtentListRequest List;
    QvdPreservedExtent Extents[ListBatch];
    UCHAR Buffer[MaxSectors * 4096]; // the largest read of either kind
};

// Compares the Count sectors read at Sector with the image.
void CheckRead(SnapshotAgent* Job, const UCHAR* Data, ULONGLONG Sector, ULONG Count) {
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

// Reads Bytes at Offset of the frozen volume and checks what came.
void ReadAndCheck(SnapshotAgent* Job, HANDLE Volume, UCHAR* Buffer, ULONGLONG Offset, ULONG Bytes) {
    const LONGLONG offset = static_cast<LONGLONG>(Offset);
    ULONG_PTR done = 0;
    NTSTATUS status = BasepNtReadWrite(FALSE, Volume, Buffer, Bytes, &offset, &done);
    Job->Reads++;
    if (!NT_SUCCESS(status) || done != Bytes) {
        Job->FailedReads++;
    } else if (Job->Image != nullptr) {
        CheckRead(Job, Buffer, Offset / Job->SectorSize, Bytes / Job->SectorSize);
    }
}

void ReportProgress(SnapshotAgent* Job, HANDLE Control, AgentMemory* Memory, ULONGLONG Position) {
    Memory->Progress = QvdProgressRequest{0, Job->Freeze.Reply.VolumeHandle, 0, 0, Position};
    Job->ProgressResults += SendRecord(Control, IOCTL_QVD_REPORT_PROGRESS, &Memory->Progress,
                                       sizeof(Memory->Progress)) != 0;
    Job->BrokenStatus |= Memory->Progress.Status;
}

// Each pass cuts a segment into runs of random sizes and reads them in
// random order; what lies below a reported position is no longer frozen, so
// every pass comes before the segment's report.
void ReadSegments(SnapshotAgent* Job, HANDLE Volume, HANDLE Control, AgentMemory* Memory) {
    std::mt19937 random(Job->Seed);
    const ULONG perSegment = static_cast<ULONG>(Segment / Job->SectorSize);
    for (ULONGLONG base = 0; base < Job->VolumeBytes; base += Segment) {
        for (ULONG pass = 0; pass < Job->Passes; pass++) {
            std::vector<std::pair<ULONG, ULONG>> runs; // first sector, count
            for (ULONG first = 0, count; first < perSegment; first += count) {
                count = 1 + random() % MaxSectors;
                count = first + count > perSegment ? perSegment - first : count;
                runs.emplace_back(first, count);
            }
            std::shuffle(runs.begin(), runs.end(), random);
            for (const auto& [first, count] : runs) {
                ReadAndCheck(Job, Volume, Memory->Buffer, base + first * Job->SectorSize,
                             count * Job->SectorSize);
            }
        }
        ReportProgress(Job, Control, Memory, base + Segment);
    }
}

void ReadRanges(SnapshotAgent* Job, HANDLE Volume, HANDLE Control, AgentMemory* Memory) {
    ULONGLONG position = 0;
    for (const ByteRange& range : Job->Ranges) {
        for (ULONG at = 0; at < range.Length; at += RangePiece) {
            ReadAndCheck(Job, Volume, Memory->Buffer, range.Offset + at,
                         std::min(range.Length - at, RangePiece));
        }
        position = std::max(position, range.Offset + range.Length);
    }
    if (!Job->Ranges.empty()) {
        ReportProgress(Job, Control, Memory, position);
    }
}

void ReadUntilStop(SnapshotAgent* Job, HANDLE Volume, AgentMemory* Memory) {
    std::mt19937 random(Job->Seed);
    while (!Job->Stop && Volume != INVALID_HANDLE_VALUE) {
        const ULONGLONG blocks = (Job->VolumeBytes - RandomRead) / 4096;
        ReadAndCheck(Job, Volume, Memory->Buffer, random() % blocks * 4096, RandomRead);
    }
}

void ListExtents(SnapshotAgent* Job, HANDLE Control, AgentMemory* Memory) {
    const ULONG handle = Job->Freeze.Reply.VolumeHandle;
    Memory->Volume = QvdVolumeRequest{0, handle};
    Job->EnableResult =
        SendRecord(Control, IOCTL_QVD_ENABLE_EXTENT_LIST, &Memory->Volume, sizeof(Memory->Volume));
    QvdExtentListRequest* list = &Memory->List;
    ULONG cursor = 0;
    do {
        *list = {};
        list->VolumeHandle = handle;
        list->Cursor = cursor;
        list->ArraySize = sizeof(Memory->Extents);
        list->Array = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Memory->Extents));
        Job->ListResult = SendRecord(Control, IOCTL_QVD_READ_EXTENT_LIST, list, sizeof(*list));
        Job->Extents.insert(Job->Extents.end(), Memory->Extents, Memory->Extents + list->Count);
        cursor = list->Cursor;
    } while (list->Result == 0 && list->Count != 0);

    // The driver holds the file open for writing and deleting.
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(Job->Freeze.PartialDataFilePath),
                              GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Job->FileError = GetLastError();
        return;
    }
    DWORD read = 0;
    BOOL ok;
    while ((ok = ReadFile(file, Memory->Buffer, RangePiece, &read, nullptr)) && read != 0) {
        Job->File.insert(Job->File.end(), Memory->Buffer, Memory->Buffer + read);
    }
    Job->FileError = ok ? 0 : GetLastError();
    CloseHandle(file);
}

} // namespace

ULONG SnapshotAgentProgram(PVOID Context) {
    auto* job = static_cast<SnapshotAgent*>(Context);
    HANDLE control = OpenControlDevice();
    if (FreezeProgram(&job->Freeze) != 0 || !NT_SUCCESS(job->Freeze.Status) ||
        job->Freeze.Reply.Result != 0 || control == INVALID_HANDLE_VALUE) {
        job->Phase = -1;
        if (control != INVALID_HANDLE_VALUE) {
            CloseHandle(control);
        }
        return 1;
    }
    auto* memory = static_cast<AgentMemory*>(
        VirtualAlloc(nullptr, sizeof(AgentMemory), MEM_COMMIT, PAGE_READWRITE));
    job->Phase = 1;
    while (job->Phase != 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A volume that cannot be opened fails every read.
    HANDLE volume =
        CreateFileW(reinterpret_cast<LPCWSTR>(job->VolumePath), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (job->Reading == AgentReads::Segments) {
        ReadSegments(job, volume, control, memory);
    } else if (job->Reading == AgentReads::Ranges) {
        ReadRanges(job, volume, control, memory);
    } else {
        ReadUntilStop(job, volume, memory);
    }
    if (job->ListExtents) {
        ListExtents(job, control, memory);
    }
    if (job->Thaw) {
        memory->Volume = QvdVolumeRequest{0, job->Freeze.Reply.VolumeHandle};
        job->ThawResult =
            SendRecord(control, IOCTL_QVD_THAW_VOLUME, &memory->Volume, sizeof(memory->Volume));
    }
    VirtualFree(memory, 0, MEM_RELEASE);
    if (volume != INVALID_HANDLE_VALUE) {
        CloseHandle(volume);
    }
    CloseHandle(control);
    return 0;
}
