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
    NTSTATUS Unbuilt[9];  // the nine codes of the table
    NTSTATUS VolumeCode;  // disk geometry asked of C: through its filter
    ULONG BytesPerSector; // as C: answered
    BOOLEAN Closed[2];    // both handles of the control device closed
};

// Opens \\.\QVDAPI twice and sends the requests of AgentView; 0 when both
// opens succeeded. Runs as a user program's thread.
ULONG AgentProgram(PVOID Context);

// QVDInstall(Product) of the install library; its result code.
int InstallForProduct(ULONG Product);
