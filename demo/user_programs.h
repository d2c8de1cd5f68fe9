// demo/user_programs.h - the demo's user-mode programs: the setup program
// that calls the install library, a program that talks to the control
// device, the writers and the verifier. Each runs as a user thread on the
// emulated machine (BootRunUserProgram, BootStartUserThread). Plain types
// only, so that the demo's kernel side includes it beside the kernel's
// headers.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

#include <atomic>
#include <cstdint>
#include <string>

// QVDInstall(Product), or QVDUninstall(Product) when Uninstall; Result
// receives the library's result code.
struct SetupRun {
    ULONG Product;
    BOOLEAN Uninstall;
    int Result;
};
ULONG SetupProgram(PVOID Context);

#define WRITER_MAX_SLOTS 8

// One writer: rewrites its files C:\w<Writer>-<slot>.bin in turn, each
// version self-describing (file_pattern.h) and written in pieces of
// unaligned sizes, deletes every fifth version again and appends a line to
// its log C:\log<Writer>.txt after each file, until Stop is set. While
// Pause is set it stops between files and counts itself in Paused, so that
// a backup can find the volume quiet. What it last wrote completely is
// recorded per slot for the verifier.
struct WriterJob {
    ULONG Writer;                   // set by the caller
    ULONG Slots;                    // 1..WRITER_MAX_SLOTS; set by the caller
    const std::atomic<bool>* Stop;  // set by the caller
    const std::atomic<bool>* Pause; // set by the caller
    std::atomic<unsigned>* Paused;  // set by the caller: writers now pausing

    // Results, valid once the thread has ended.
    BOOLEAN Complete[WRITER_MAX_SLOTS]; // the slot holds a fully written version
    ULONG Generation[WRITER_MAX_SLOTS]; // of that version
    uint64_t FilesWritten;              // versions written completely
    uint64_t BytesWritten;              // by WriteFile or through views
    uint64_t FilesMapped;               // versions written through a mapped view
    uint64_t FilesDeleted;
    uint64_t LinesAppended;
    ULONG Failures;           // calls that failed
    std::string FirstFailure; // description of the first one
};
ULONG WriterProgram(PVOID Context);

// Reads every completely written file of the writers back through the file
// system and compares it with what was written.
struct VerifyJob {
    const WriterJob* Jobs; // set by the caller
    ULONG JobCount;        // set by the caller

    ULONG FilesChecked;
    uint64_t BytesRead;
    ULONG Mismatches;          // files whose size or bytes differ
    std::string FirstMismatch; // description of the first one
};
ULONG VerifyProgram(PVOID Context);
