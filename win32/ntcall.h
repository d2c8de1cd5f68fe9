// win32/ntcall.h - the system services as the win32 routines call them
// (the part of the platform's ntdll they need), with plain argument types so
// that callers need not see the kernel's headers. Runs in the user thread;
// the status blocks and attributes these build live on its stack.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

NTSTATUS BasepNtOpen(PCWSTR NtPath, ULONG DesiredAccess, ULONG ShareAccess, ULONG Disposition,
                     ULONG CreateOptions, ULONG FileAttributes, HANDLE* Handle,
                     ULONG_PTR* Information);
NTSTATUS BasepNtDeviceIoControl(HANDLE Handle, ULONG IoControlCode, PVOID InputBuffer,
                                ULONG InputLength, PVOID OutputBuffer, ULONG OutputLength,
                                ULONG_PTR* Information);
// Offset NULL: the file's current position.
NTSTATUS BasepNtReadWrite(BOOLEAN Write, HANDLE Handle, PVOID Buffer, ULONG Length,
                          const LONGLONG* Offset, ULONG_PTR* Information);
NTSTATUS BasepNtFlushBuffers(HANDLE Handle);
NTSTATUS BasepNtClose(HANDLE Handle);
NTSTATUS BasepNtCreateMutant(BOOLEAN InitialOwner, HANDLE* Handle);
NTSTATUS BasepNtReleaseMutant(HANDLE Handle);
// Timeout in 100 ns units, negative relative; NULL waits forever.
NTSTATUS BasepNtWait(HANDLE Handle, const LONGLONG* Timeout);
NTSTATUS BasepNtAllocateVirtualMemory(PVOID* Base, SIZE_T* Size, ULONG AllocationType,
                                      ULONG Protect);
NTSTATUS BasepNtFreeVirtualMemory(PVOID* Base, SIZE_T* Size, ULONG FreeType);

// A file's information of the class (FILE_INFORMATION_CLASS values).
NTSTATUS BasepNtQueryInformationFile(HANDLE Handle, PVOID Information, ULONG Length,
                                     ULONG InformationClass);
NTSTATUS BasepNtSetInformationFile(HANDLE Handle, PVOID Information, ULONG Length,
                                   ULONG InformationClass);

// TokenPrivileges: a TOKEN_PRIVILEGES as the caller laid it out.
NTSTATUS BasepNtOpenProcessToken(HANDLE Process, ULONG DesiredAccess, HANDLE* Token);
NTSTATUS BasepNtAdjustPrivilegesToken(HANDLE Token, BOOLEAN DisableAll, PVOID NewState,
                                      ULONG BufferLength, PVOID PreviousState, ULONG* ReturnLength);

// A section on File for the calling process (PAGE_READONLY or
// PAGE_READWRITE; MaximumSize 0: the file's size), a view of it mapped into
// the calling process, and the view unmapped (its changed pages go to the
// file by paging writes).
NTSTATUS BasepNtCreateSection(HANDLE File, ULONG Protect, LONGLONG MaximumSize, HANDLE* Section);
NTSTATUS BasepNtMapViewOfSection(HANDLE Section, ULONG Protect, LONGLONG Offset, SIZE_T* Size,
                                 PVOID* Base);
NTSTATUS BasepNtUnmapViewOfSection(PVOID Base);

// The Win32 error for a status of these services (RtlNtStatusToDosError's
// table for the statuses that occur), and SetLastError of it.
ULONG BasepDosErrorFromStatus(NTSTATUS Status);
void BasepSetLastNtError(NTSTATUS Status);
