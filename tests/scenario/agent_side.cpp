// agent_side.cpp - user programs of the snapshot scenarios.
#include "agent_side.h"
#include "exports.h"
#include "fileapi.h"
#include "ioapiset.h"
#include "memoryapi.h"
#include "synchapi.h"
#include "win32/ntcall.h"

#include <cstring>
#include <random>

namespace {

// A copy of Text in the program's own (32-bit) memory, as an agent passes it.
ULONG UserString(const char16_t* Text) {
    if (Text == nullptr) {
        return 0;
    }
    const size_t bytes = (std::char_traits<char16_t>::length(Text) + 1) * sizeof(char16_t);
    void* copy = VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
    std::memcpy(copy, Text, bytes);
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(copy));
}

} // namespace

HANDLE OpenControlDevice() {
    return CreateFileW(u"\\\\.\\QVDAPI", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

ULONG SendRecord(HANDLE Control, ULONG Code, PVOID Record, ULONG Length) {
    ULONG_PTR information = 0;
    BasepNtDeviceIoControl(Control, Code, Record, Length, Record, Length, &information);
    return *static_cast<ULONG*>(Record);
}

ULONG ControlProgram(PVOID Context) {
    auto* calls = static_cast<ControlCalls*>(Context);
    HANDLE control = OpenControlDevice();
    if (control == INVALID_HANDLE_VALUE) {
        return 1;
    }
    for (ULONG i = 0; i < calls->Count; i++) {
        ControlCall& call = calls->Calls[i];
        HANDLE file = INVALID_HANDLE_VALUE;
        if (call.OpenPath != nullptr) {
            file =
                CreateFileW(reinterpret_cast<LPCWSTR>(call.OpenPath), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
            const ULONG value = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(file));
            std::memcpy(call.Record + 4, &value, sizeof(value));
        }
        if (call.Code == IOCTL_QVD_READ_EXTENT_LIST) {
            auto* request = reinterpret_cast<QvdExtentListRequest*>(call.Record);
            if (request->Array == 0 && request->ArraySize != 0) {
                void* array = VirtualAlloc(nullptr, request->ArraySize, MEM_COMMIT, PAGE_READWRITE);
                request->Array = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(array));
            }
        }
        // The record travels through the program's own memory, as an agent's does.
        void* record = VirtualAlloc(nullptr, sizeof(call.Record), MEM_COMMIT, PAGE_READWRITE);
        std::memcpy(record, call.Record, sizeof(call.Record));
        if (call.ThroughWin32) {
            DWORD returned = 0;
            call.Status = DeviceIoControl(control, call.Code, record, call.InputLength, record,
                                          call.OutputLength, &returned, nullptr)
                              ? ERROR_SUCCESS
                              : GetLastError();
            call.Information = returned;
        } else {
            call.Status = BasepNtDeviceIoControl(control, call.Code, record, call.InputLength,
                                                 record, call.OutputLength, &call.Information);
        }
        std::memcpy(call.Record, record, sizeof(call.Record));
        VirtualFree(record, 0, MEM_RELEASE);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    CloseHandle(control);
    return 0;
}

ULONG FreezeProgram(PVOID Context) {
    auto* freeze = static_cast<FreezeCall*>(Context);
    HANDLE control = OpenControlDevice();
    if (control == INVALID_HANDLE_VALUE) {
        return 1;
    }
    HANDLE mutex = CreateMutexW(nullptr, freeze->MutexNotOwned ? FALSE : TRUE, nullptr);
    auto* request = static_cast<QvdFreezeRequest*>(
        VirtualAlloc(nullptr, sizeof(QvdFreezeRequest), MEM_COMMIT, PAGE_READWRITE));
    std::memset(request, 0, sizeof(*request));
    request->VolumeName = UserString(freeze->VolumeName);
    request->PartialDataFilePath = UserString(freeze->PartialDataFilePath);
    request->ChangeStorePath = UserString(freeze->ChangeStorePath);
    request->SnapshotMutex = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(mutex));
    request->FreezeFlags = freeze->FreezeFlags;
    request->MaxQuiesceMs = freeze->MaxQuiesceMs;
    request->QuietPeriodMs = freeze->QuietPeriodMs;
    request->WarnFreeKB = freeze->WarnFreeKB;
    request->MinFreeKB = freeze->MinFreeKB;
    ULONG_PTR information = 0;
    freeze->Status =
        BasepNtDeviceIoControl(control, IOCTL_QVD_FREEZE_VOLUME, request, sizeof(*request), request,
                               sizeof(*request), &information);
    std::memcpy(&freeze->Reply, request, sizeof(*request));
    if (freeze->KeepMutex && !freeze->MutexNotOwned) {
        ReleaseMutex(mutex);
    }
    CloseHandle(mutex);
    CloseHandle(control);
    return 0;
}

ULONG WriterProgram(PVOID Context) {
    auto* job = static_cast<WriterJob*>(Context);
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(job->Path), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, job->CreateNew ? CREATE_NEW : OPEN_ALWAYS,
                              job->Unbuffered ? FILE_FLAG_NO_BUFFERING : 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        job->Error = GetLastError();
        return 1;
    }
    const ULONG piece = 4096;
    auto* data = static_cast<UCHAR*>(VirtualAlloc(nullptr, piece, MEM_COMMIT, PAGE_READWRITE));
    do {
        for (ULONG at = 0; at < job->Bytes; at += piece) {
            std::memset(data, static_cast<int>(job->Fill + job->Writes.load() + at / piece), piece);
            ULONG_PTR done = 0;
            const LONGLONG offset = at;
            NTSTATUS status = BasepNtReadWrite(TRUE, file, data, piece, &offset, &done);
            if (!NT_SUCCESS(status)) {
                job->Error = static_cast<ULONG>(status);
                job->Stop = true;
                break;
            }
            job->Writes++;
        }
    } while (!job->Stop);
    if (job->Flush && !FlushFileBuffers(file) && job->Error == 0) {
        job->Error = GetLastError();
    }
    VirtualFree(data, 0, MEM_RELEASE);
    CloseHandle(file);
    return 0;
}

ULONG VolumeReaderProgram(PVOID Context) {
    auto* job = static_cast<VolumeReaderJob*>(Context);
    const ULONG bytes = 16 << 10;
    HANDLE volume =
        CreateFileW(reinterpret_cast<LPCWSTR>(job->VolumePath), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    auto* buffer = VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
    std::mt19937 random(7);
    while (!job->Stop && volume != INVALID_HANDLE_VALUE) {
        job->Reads++;
        const LONGLONG offset = (LONGLONG)(random() % ((job->VolumeBytes - bytes) / 4096)) * 4096;
        ULONG_PTR done = 0;
        BasepNtReadWrite(FALSE, volume, buffer, bytes, &offset, &done);
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
    if (volume != INVALID_HANDLE_VALUE) {
        CloseHandle(volume);
    }
    return 0;
}

ControlCall VolumeCall(ULONG Code, ULONG VolumeHandle) {
    ControlCall call = {};
    call.Code = Code;
    call.InputLength = call.OutputLength = sizeof(QvdVolumeRequest);
    RecordOf<QvdVolumeRequest>(call)->VolumeHandle = VolumeHandle;
    return call;
}

ControlCall ProgressCall(ULONG VolumeHandle, ULONGLONG Position) {
    ControlCall call = {};
    call.Code = IOCTL_QVD_REPORT_PROGRESS;
    call.InputLength = call.OutputLength = sizeof(QvdProgressRequest);
    RecordOf<QvdProgressRequest>(call)->VolumeHandle = VolumeHandle;
    RecordOf<QvdProgressRequest>(call)->Position = Position;
    return call;
}

ControlCall ExtentListCall(ULONG VolumeHandle, ULONG Cursor, ULONG ArraySize) {
    ControlCall call = {};
    call.Code = IOCTL_QVD_READ_EXTENT_LIST;
    call.InputLength = call.OutputLength = sizeof(QvdExtentListRequest);
    RecordOf<QvdExtentListRequest>(call)->VolumeHandle = VolumeHandle;
    RecordOf<QvdExtentListRequest>(call)->Cursor = Cursor;
    RecordOf<QvdExtentListRequest>(call)->ArraySize = ArraySize;
    return call;
}

int InstallForProduct(ULONG Product) {
    return QVDInstall(Product);
}
