// agent_side.h - a backup agent's side of the snapshot scenarios: installing
// the driver with the install library, and user programs that send the
// control operations, freeze volumes and write files through the file system
// while a test watches. Plain types only, so that the kernel-side tests
// include it beside the kernel's headers.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "snapshot/qvdapi.h"

#include <atomic>

// One control request as a user program sends it; Record is the buffer
// (in and out).
struct ControlCall {
    ULONG Code;
    ULONG InputLength;
    ULONG OutputLength;
    UCHAR Record[sizeof(QvdFreezeRequest)];
    const char16_t* OpenPath; // if set: opened by the program, its handle at record offset 4
    BOOLEAN ThroughWin32;     // sent with DeviceIoControl: Status is its Win32 error
    NTSTATUS Status;          // of the request
    ULONG_PTR Information;    // bytes returned
};

// Sends each call in turn from one thread; Context is a ControlCalls.
struct ControlCalls {
    ControlCall* Calls;
    ULONG Count;
};
ULONG ControlProgram(PVOID Context);

// A freeze as an agent sends it: the strings go into the program's own
// memory, the mutex is created owned by the sending thread.
struct FreezeCall {
    const char16_t* VolumeName;
    const char16_t* PartialDataFilePath;
    const char16_t* ChangeStorePath; // nullptr: none
    ULONG FreezeFlags;
    ULONGLONG MaxQuiesceMs;
    ULONGLONG QuietPeriodMs;
    ULONGLONG WarnFreeKB;
    ULONGLONG MinFreeKB;
    BOOLEAN MutexNotOwned; // pass a mutex the thread does not own
    BOOLEAN KeepMutex;     // release the mutex before the thread ends (not abandoned)
    // Out.
    NTSTATUS Status;
    QvdFreezeRequest Reply;
};

// Sends one freeze; Context is a FreezeCall. The thread then ends: unless
// KeepMutex, its mutex is abandoned (the agent "died" once the watchdog
// looks).
ULONG FreezeProgram(PVOID Context);

// A program that rewrites the first Bytes of Path in 4 KiB pieces until Stop
// is set (at least once), counting the writes done. Each piece is filled with
// Fill + Writes + its index, so that every round writes other bytes.
struct WriterJob {
    const char16_t* Path = nullptr;
    ULONG Bytes = 0;
    BOOLEAN Unbuffered = FALSE; // FILE_FLAG_NO_BUFFERING: non-cached, sector-sized writes
    UCHAR Fill = 0;
    BOOLEAN CreateNew = FALSE; // CREATE_NEW: the file must not exist yet
    BOOLEAN Flush = FALSE;     // FlushFileBuffers once stopped
    std::atomic<bool> Stop{false};
    std::atomic<ULONG> Writes{0};
    ULONG Error = 0; // Win32 error of a failed create, status of a failed write
};
ULONG WriterProgram(PVOID Context);

// A reader of a volume that is not the agent: reads VolumePath 16 KiB at a
// time at random places until Stop (or at once when it cannot be opened).
struct VolumeReaderJob {
    const char16_t* VolumePath = u"\\\\.\\C:";
    ULONGLONG VolumeBytes = 8 << 20;
    std::atomic<bool> Stop{false};
    std::atomic<ULONG> Reads{0};
};
ULONG VolumeReaderProgram(PVOID Context);

// Opens \\.\QVDAPI from a user program; INVALID_HANDLE_VALUE when refused.
HANDLE OpenControlDevice();
// Sends Record (Length bytes in the program's own memory, in and out) to
// Control; the Result that begins every record.
ULONG SendRecord(HANDLE Control, ULONG Code, PVOID Record, ULONG Length);

// Helpers that fill a ControlCall for one operation on VolumeHandle.
ControlCall VolumeCall(ULONG Code, ULONG VolumeHandle);
ControlCall ProgressCall(ULONG VolumeHandle, ULONGLONG Position);
ControlCall ExtentListCall(ULONG VolumeHandle, ULONG Cursor, ULONG ArraySize);
template <typename Record> Record* RecordOf(ControlCall& Call) {
    return reinterpret_cast<Record*>(Call.Record);
}
template <typename Record> const Record* RecordOf(const ControlCall& Call) {
    return reinterpret_cast<const Record*>(Call.Record);
}

// QVDInstall(Product) of the install library; its result code.
int InstallForProduct(ULONG Product);
