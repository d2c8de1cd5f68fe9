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

// Opens \\.\QVDAPI and sends each of the nine control codes with a 64-byte
// record, then one with a 3-byte output buffer. Returns 1 when the device
// cannot be opened.
struct ControlProbe {
    NTSTATUS Codes[9];      // status of each code, in table order
    NTSTATUS ShortOutput;   // status of the request with 3 bytes of output
    ULONG ShortOutputError; // the same request's Win32 error through DeviceIoControl
    ULONG OpenError;        // Win32 error of the failed open, or 0
};
ULONG ControlProgram(PVOID Context);

#define WRITER_MAX_SLOTS 8

// One writer: rewrites its files C:\w<Writer>-<slot>.bin in turn, each
// version self-describing (file_pattern.h) and written in pieces of
// unaligned sizes, until Stop is set. What it last wrote completely is
// recorded per slot for the verifier.
struct WriterJob {
    ULONG Writer;                  // set by the caller
    ULONG Slots;                   // 1..WRITER_MAX_SLOTS; set by the caller
    const std::atomic<bool>* Stop; // set by the caller

    // Results, valid once the thread has ended.
    BOOLEAN Complete[WRITER_MAX_SLOTS]; // the slot holds a fully written version
    ULONG Generation[WRITER_MAX_SLOTS]; // of that version
    uint64_t FilesWritten;              // versions written completely
    uint64_t BytesWritten;              // by WriteFile
    ULONG Failures;                     // calls that failed
    std::string FirstFailure;           // description of the first one
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
