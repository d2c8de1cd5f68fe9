// sweep_agent.cpp - the reliability suites' agent and writer programs.
#include "sweep_agent.h"
#include "fileapi.h"
#include "memoryapi.h"
#include "win32/ntcall.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

ULONG Control(HANDLE Device, ULONG Code, PVOID Record, ULONG Length) {
    ULONG_PTR information = 0;
    BasepNtDeviceIoControl(Device, Code, Record, Length, Record, Length, &information);
    return *static_cast<ULONG*>(Record); // every record begins with its Result
}

} // namespace

ULONG SweepAgentProgram(PVOID Context) {
    auto* job = static_cast<SweepAgentJob*>(Context);
    HANDLE control = CreateFileW(u"\\\\.\\QVDAPI", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (FreezeProgram(&job->Freeze) != 0 || !NT_SUCCESS(job->Freeze.Status) ||
        job->Freeze.Reply.Result != 0 || control == INVALID_HANDLE_VALUE) {
        job->Phase = -1;
        if (control != INVALID_HANDLE_VALUE) {
            CloseHandle(control);
        }
        return 1;
    }
    // The records travel through the program's own memory.
    const ULONG arrayBytes = 64 * sizeof(QvdPreservedExtent);
    auto* memory = static_cast<UCHAR*>(
        VirtualAlloc(nullptr, 4096 + arrayBytes + (64 << 10), MEM_COMMIT, PAGE_READWRITE));
    auto* volumeRequest = reinterpret_cast<QvdVolumeRequest*>(memory);
    auto* progress = reinterpret_cast<QvdProgressRequest*>(memory + 64);
    auto* list = reinterpret_cast<QvdExtentListRequest*>(memory + 128);
    UCHAR* array = memory + 4096;
    UCHAR* buffer = array + arrayBytes;
    const ULONG handle = job->Freeze.Reply.VolumeHandle;

    job->Phase = 1;
    while (job->Phase != 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    HANDLE volume =
        CreateFileW(reinterpret_cast<LPCWSTR>(job->VolumePath), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ULONGLONG position = 0;
    for (const ByteRange& range : job->Ranges) {
        for (ULONG at = 0; at < range.Length && volume != INVALID_HANDLE_VALUE; at += 64 << 10) {
            const ULONG length = range.Length - at < (64u << 10) ? range.Length - at : 64 << 10;
            const LONGLONG offset = (LONGLONG)(range.Offset + at);
            ULONG_PTR bytes = 0;
            NTSTATUS status = BasepNtReadWrite(FALSE, volume, buffer, length, &offset, &bytes);
            if (!NT_SUCCESS(status) || bytes != length) {
                job->FailedReads++;
                continue;
            }
            std::memcpy(&job->Seen[(size_t)offset], buffer, length);
            for (ULONG s = 0; s < length / job->SectorSize; s++) {
                job->ReadSectors[(size_t)offset / job->SectorSize + s] = true;
            }
        }
        position = range.Offset + range.Length > position ? range.Offset + range.Length : position;
    }
    job->FailedReads += volume == INVALID_HANDLE_VALUE;

    *progress = QvdProgressRequest{0, handle, 0, 0, position};
    Control(control, IOCTL_QVD_REPORT_PROGRESS, progress, sizeof(*progress));
    job->ProgressStatus = progress->Status;
    // Extent-list mode stops preserving: the agent turns it on once it has
    // read what it needs of the frozen image.
    *volumeRequest = QvdVolumeRequest{0, handle};
    Control(control, IOCTL_QVD_ENABLE_EXTENT_LIST, volumeRequest, sizeof(*volumeRequest));
    *list = QvdExtentListRequest{
        0, handle, 0, 0, arrayBytes, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(array))};
    job->ExtentListResult = Control(control, IOCTL_QVD_READ_EXTENT_LIST, list, sizeof(*list));
    *volumeRequest = QvdVolumeRequest{0, handle};
    job->ThawResult =
        Control(control, IOCTL_QVD_THAW_VOLUME, volumeRequest, sizeof(*volumeRequest));
    VirtualFree(memory, 0, MEM_RELEASE);
    if (volume != INVALID_HANDLE_VALUE) {
        CloseHandle(volume);
    }
    CloseHandle(control);
    return 0;
}

ULONG RewriteProgram(PVOID Context) {
    auto* job = static_cast<RewriteJob*>(Context);
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(job->Path), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              job->Unbuffered ? FILE_FLAG_NO_BUFFERING : 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        job->Error = GetLastError();
        return 1;
    }
    const ULONG piece = 4096;
    auto* data = static_cast<UCHAR*>(VirtualAlloc(nullptr, piece, MEM_COMMIT, PAGE_READWRITE));
    std::memset(data, job->Fill, piece);
    for (ULONG at = 0; at < job->Bytes && job->Error == 0; at += piece) {
        ULONG_PTR done = 0;
        const LONGLONG offset = at;
        NTSTATUS status = BasepNtReadWrite(TRUE, file, data, piece, &offset, &done);
        job->Error = NT_SUCCESS(status) ? 0 : static_cast<ULONG>(status);
    }
    if (!FlushFileBuffers(file) && job->Error == 0) {
        job->Error = GetLastError();
    }
    VirtualFree(data, 0, MEM_RELEASE);
    CloseHandle(file);
    return 0;
}
