// race_agent.cpp - the lifecycle races' agent and reader programs.
#include "race_agent.h"
#include "fileapi.h"
#include "memoryapi.h"
#include "win32/ntcall.h"

#include <random>

namespace {

const ULONG ReadBytes = 16 << 10;

HANDLE OpenVolume(const char16_t* Path) {
    return CreateFileW(reinterpret_cast<LPCWSTR>(Path), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// One read of ReadBytes at a random 4 KiB boundary; TRUE when it succeeded.
BOOLEAN ReadSomewhere(HANDLE Volume, PVOID Buffer, ULONGLONG VolumeBytes, std::mt19937& Random) {
    const LONGLONG offset = (LONGLONG)(Random() % ((VolumeBytes - ReadBytes) / 4096)) * 4096;
    ULONG_PTR bytes = 0;
    return NT_SUCCESS(BasepNtReadWrite(FALSE, Volume, Buffer, ReadBytes, &offset, &bytes));
}

} // namespace

ULONG RaceAgentProgram(PVOID Context) {
    auto* job = static_cast<RaceAgentJob*>(Context);
    HANDLE control = OpenControlDevice();
    FreezeProgram(&job->Freeze);
    if (!NT_SUCCESS(job->Freeze.Status) || job->Freeze.Reply.Result != 0 ||
        control == INVALID_HANDLE_VALUE) {
        job->Phase = -1;
        if (control != INVALID_HANDLE_VALUE) {
            CloseHandle(control);
        }
        job->Done = true;
        return 1;
    }
    job->Phase = 1;
    auto* memory =
        static_cast<UCHAR*>(VirtualAlloc(nullptr, 4096 + ReadBytes, MEM_COMMIT, PAGE_READWRITE));
    auto* request = reinterpret_cast<QvdProgressRequest*>(memory);
    UCHAR* buffer = memory + 4096;
    const ULONG handle = job->Freeze.Reply.VolumeHandle;
    std::mt19937 random(job->Seed);
    HANDLE volume = OpenVolume(job->VolumePath);
    while (!job->Stop && volume != INVALID_HANDLE_VALUE) {
        job->Reads++;
        job->FailedReads += !ReadSomewhere(volume, buffer, job->VolumeBytes, random);
    }
    if (job->ReportProgress) {
        *request = QvdProgressRequest{0, handle, 0, 0, job->VolumeBytes};
        SendRecord(control, IOCTL_QVD_REPORT_PROGRESS, request, sizeof(*request));
    }
    if (job->Thaw) {
        auto* thaw = reinterpret_cast<QvdVolumeRequest*>(memory);
        *thaw = QvdVolumeRequest{0, handle};
        job->ThawResult = SendRecord(control, IOCTL_QVD_THAW_VOLUME, thaw, sizeof(*thaw));
    }
    VirtualFree(memory, 0, MEM_RELEASE);
    if (volume != INVALID_HANDLE_VALUE) {
        CloseHandle(volume);
    }
    CloseHandle(control);
    job->Done = true;
    return 0;
}

ULONG VolumeReaderProgram(PVOID Context) {
    auto* job = static_cast<VolumeReaderJob*>(Context);
    HANDLE volume = OpenVolume(job->VolumePath);
    auto* buffer = VirtualAlloc(nullptr, ReadBytes, MEM_COMMIT, PAGE_READWRITE);
    std::mt19937 random(7);
    while (!job->Stop && volume != INVALID_HANDLE_VALUE) {
        job->Reads++;
        ReadSomewhere(volume, buffer, job->VolumeBytes, random);
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
    if (volume != INVALID_HANDLE_VALUE) {
        CloseHandle(volume);
    }
    job->Done = true;
    return 0;
}
