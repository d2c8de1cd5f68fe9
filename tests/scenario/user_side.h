// user_side.h - the user-mode side of the scenarios: installing the driver
// with the install library, and a program that talks to the control device
// and to a volume. Plain types only, so that the kernel-side tests include
// it beside the kernel's headers.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

struct AgentView {
    NTSTATUS Short;       // any code, output of 3 bytes
    DWORD ShortError;     // the same through DeviceIoControl: its Win32 error
    NTSTATUS Outside;     // a code outside the table
    NTSTATUS Answers[9];  // the nine codes of the table, 64 zero bytes in, 16 out
    NTSTATUS VolumeCode;  // disk geometry asked of C: through its filter
    ULONG BytesPerSector; // as C: answered
    BOOLEAN Closed[2];    // both handles of the control device closed
};

// Opens \\.\QVDAPI twice and sends the requests of AgentView; 0 when both
// opens succeeded. Runs as a user program's thread.
ULONG AgentProgram(PVOID Context);

// What FileRoundTripProgram saw.
struct FileRoundTrip {
    ULONG CreateError;  // Win32 error of the create, 0 when it succeeded
    ULONG BytesWritten; // by WriteFile, in pieces of unaligned sizes
    ULONG ReopenError;  // Win32 error of the reopen for reading, 0 when it succeeded
    ULONG BytesRead;    // by one ReadFile that asks for more than the file holds
    BOOLEAN Matches;    // the bytes read are those written
};

// Bytes of the file FileRoundTripProgram writes, and its name.
#define FILE_ROUND_TRIP_BYTES (300u * 1024u + 123u)
#define FILE_ROUND_TRIP_NAME u"C:\\file.bin"

// The file's bytes [Offset, Offset + Length): each 8-byte word holds a
// magic and its own index, so a misplaced or stale word shows.
void FillRoundTripData(ULONG Offset, UCHAR* Buffer, ULONG Length);

// Creates FILE_ROUND_TRIP_NAME, writes it, closes it, reopens it and reads
// it back; Context is a FileRoundTrip. Runs as a user program's thread.
ULONG FileRoundTripProgram(PVOID Context);

// What ReadWholeFileProgram read.
struct FileContents {
    PCWSTR Name;     // in: the file's Win32 path
    ULONG Capacity;  // in: bytes Data holds
    UCHAR* Data;     // in: where the bytes go (host memory)
    ULONG OpenError; // Win32 error of the open, 0 when it succeeded
    ULONG Bytes;     // read by one ReadFile of Capacity bytes
};

// Opens Name for reading (sharing reading and writing) and reads it with one
// ReadFile; Context is a FileContents. Runs as a user program's thread.
ULONG ReadWholeFileProgram(PVOID Context);

// QVDInstall(Product) of the install library; its result code.
int InstallForProduct(ULONG Product);
int UninstallForProduct(ULONG Product);
