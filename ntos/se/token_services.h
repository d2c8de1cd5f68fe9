// se/token_services.h - the system services behind win32's token routines:
// opening a process's token and adjusting its privileges.
//
// Run in the calling thread at PASSIVE_LEVEL. From UserMode every pointer
// argument is probed and accessed inside an exception guard, and handles are
// user handles of the current process.
#pragma once

#include "ntddk.h"

// A handle to the process's primary token with DesiredAccess (generic
// rights mapped to the token's, MAXIMUM_ALLOWED giving all). The process
// handle needs PROCESS_QUERY_INFORMATION.
NTSTATUS NtOpenProcessToken(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                            PHANDLE TokenHandle);

// Enables or disables held privileges (SepAdjustPrivileges). The handle
// needs TOKEN_ADJUST_PRIVILEGES, and TOKEN_QUERY too when PreviousState is
// given. PreviousState (BufferLength bytes) receives the former state of
// the privileges that changed; when it is too small nothing changes and
// STATUS_BUFFER_TOO_SMALL comes back with *ReturnLength the size needed.
// STATUS_NOT_ALL_ASSIGNED (a success) when NewState names a privilege the
// token does not hold.
NTSTATUS NtAdjustPrivilegesToken(HANDLE TokenHandle, BOOLEAN DisableAllPrivileges,
                                 PTOKEN_PRIVILEGES NewState, ULONG BufferLength,
                                 PTOKEN_PRIVILEGES PreviousState, PULONG ReturnLength);
