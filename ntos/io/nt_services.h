// io/nt_services.h - the system services user mode calls (the Nt* entry
// points behind win32's files, device control, mutexes, waits and memory).
//
// Each service runs in the calling user thread. When the caller's previous
// mode is UserMode, every pointer argument is probed and captured inside an
// exception guard, and handles are looked up as user handles of the current
// process (a bad handle returns STATUS_INVALID_HANDLE). I/O is synchronous
// only: an event or APC routine argument is refused with
// STATUS_NOT_IMPLEMENTED. PASSIVE_LEVEL.
#pragma once

#include "ntddk.h"

// Marks the current thread as running a user program (UserMode) or kernel
// code (KernelMode, the default of every thread): the previous mode its
// system services see. Set by the machine's user-thread start-up.
VOID IopSetThreadPreviousMode(KPROCESSOR_MODE Mode);

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSTATUS NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                    ULONG ShareAccess, ULONG OpenOptions);
NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength);
// ByteOffset NULL uses (and advances) the file's current byte offset.
NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG Key);
NTSTATUS NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG Key);
// Writes the file's (or volume's) cached changes back and waits for them.
NTSTATUS NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS NtClose(HANDLE Handle);

// Unnamed mutants only (a name in ObjectAttributes: STATUS_NOT_IMPLEMENTED).
NTSTATUS NtCreateMutant(PHANDLE MutantHandle, ACCESS_MASK DesiredAccess,
                        POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN InitialOwner);
NTSTATUS NtReleaseMutant(HANDLE MutantHandle, PLONG PreviousCount);
// Waits on a dispatcher object, or on a file object's completion event.
NTSTATUS NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);

// User memory of the current process only (ProcessHandle NtCurrentProcess()).
NTSTATUS NtAllocateVirtualMemory(HANDLE ProcessHandle, PVOID* BaseAddress, ULONG_PTR ZeroBits,
                                 PSIZE_T RegionSize, ULONG AllocationType, ULONG Protect);
NTSTATUS NtFreeVirtualMemory(HANDLE ProcessHandle, PVOID* BaseAddress, PSIZE_T RegionSize,
                             ULONG FreeType);
