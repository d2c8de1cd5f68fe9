// sweep_agent.cpp - the fault sweep's agent program.
#include "sweep_agent.h"
#include "fileapi.h"
#include "memoryapi.h"
#include "win32/ntcall.h"

#include <chrono>
#include <cstring>
#include <thread>

ULONG SweepAgentProgram(PVOID Context) {
    auto* job = static_cast<SweepAgentJob*>(Context);
    HANDLE control = OpenControlDevice();
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
    SendRecord(control, IOCTL_QVD_REPORT_PROGRESS, progress, sizeof(*progress));
    job->ProgressStatus = progress->Status;
    // Extent-list mode stops preserving: the agent turns it on once it has
    // read what it needs of the frozen image.
    *volumeRequest = QvdVolumeRequest{0, handle};
    SendRecord(control, IOCTL_QVD_ENABLE_EXTENT_LIST, volumeRequest, sizeof(*volumeRequest));
    *list = QvdExtentListRequest{
        0, handle, 0, 0, arrayBytes, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(array))};
    job->ExtentListResult = SendRecord(control, IOCTL_QVD_READ_EXTENT_LIST, list, sizeof(*list));
    *volumeRequest = QvdVolumeRequest{0, handle};
    job->ThawResult =
        SendRecord(control, IOCTL_QVD_THAW_VOLUME, volumeRequest, sizeof(*volumeRequest));
    VirtualFree(memory, 0, MEM_RELEASE);
    if (volume != INVALID_HANDLE_VALUE) {
        CloseHandle(volume);
    }
    CloseHandle(control);
    return 0;
}
