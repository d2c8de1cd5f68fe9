// frozen_image_agent.cpp - the integrity oracle's agent program.
#include "frozen_image_agent.h"
#include "fileapi.h"
#include "memoryapi.h"
#include "synchapi.h"
#include "win32/ntcall.h"

#include <cstring>
#include <random>
#include <thread>
#include <chrono>

namespace {

const ULONGLONG Segment = 1 << 20;

} // namespace

ULONG OracleAgentProgram(PVOID Context) {
    auto* job = static_cast<OracleAgentJob*>(Context);
    if (FreezeProgram(&job->Freeze) != 0 || job->Freeze.Reply.Result != 0) {
        job->Phase = -1;
        return 1;
    }
    job->Phase = 1;
    while (job->Phase != 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const ULONG handle = job->Freeze.Reply.VolumeHandle;
    HANDLE volume = CreateFileW(reinterpret_cast<LPCWSTR>(u"\\\\.\\C:"), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    HANDLE control = CreateFileW(reinterpret_cast<LPCWSTR>(u"\\\\.\\QVDAPI"),
                                 GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (volume == INVALID_HANDLE_VALUE || control == INVALID_HANDLE_VALUE) {
        return 2;
    }
    const ULONG maxSectors = 64;
    auto* buffer = static_cast<UCHAR*>(
        VirtualAlloc(nullptr, maxSectors * job->SectorSize, MEM_COMMIT, PAGE_READWRITE));
    std::mt19937 random(job->Seed);
    const ULONG sectorsPerSegment = (ULONG)(Segment / job->SectorSize);
    for (ULONGLONG base = 0; base < job->VolumeBytes; base += Segment) {
        // Random reads until every sector of the segment was covered.
        ULONG covered = 0;
        std::vector<bool> done(sectorsPerSegment);
        while (covered < sectorsPerSegment) {
            ULONG first = random() % sectorsPerSegment;
            ULONG count = 1 + random() % maxSectors;
            if (first + count > sectorsPerSegment) {
                count = sectorsPerSegment - first;
            }
            LONGLONG offset = (LONGLONG)(base + (ULONGLONG)first * job->SectorSize);
            ULONG_PTR bytes = 0;
            NTSTATUS status = BasepNtReadWrite(FALSE, volume, buffer, count * job->SectorSize,
                                               &offset, &bytes);
            for (ULONG i = 0; i < count; i++) {
                covered += !done[first + i];
                done[first + i] = true;
            }
            if (!NT_SUCCESS(status) || bytes != count * job->SectorSize) {
                job->FailedReads++;
                continue;
            }
            std::memcpy(&job->Seen[(size_t)offset], buffer, bytes);
            ULONGLONG sector = (ULONGLONG)offset / job->SectorSize;
            for (ULONG i = 0; i < count; i++) {
                job->Read[sector + i] = true;
            }
        }
        QvdProgressRequest progress = {};
        progress.VolumeHandle = handle;
        progress.Position = base + Segment;
        ULONG_PTR information = 0;
        BasepNtDeviceIoControl(control, IOCTL_QVD_REPORT_PROGRESS, &progress, sizeof(progress),
                               &progress, sizeof(progress), &information);
        job->ProgressResults += progress.Result != 0;
        job->BrokenStatus = progress.Status;
    }
    QvdVolumeRequest thaw = {};
    thaw.VolumeHandle = handle;
    ULONG_PTR information = 0;
    BasepNtDeviceIoControl(control, IOCTL_QVD_THAW_VOLUME, &thaw, sizeof(thaw), &thaw,
                           sizeof(thaw), &information);
    job->ThawResult = thaw.Result;
    VirtualFree(buffer, 0, MEM_RELEASE);
    CloseHandle(control);
    CloseHandle(volume);
    return 0;
}

