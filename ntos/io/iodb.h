// io/iodb.h - the I/O manager's internal records of drivers and opens, and
// the lock over its device database (driver device lists, attachments,
// driver object extensions). Emulation internal, shared by ntos/io only.
#pragma once

#include "ntos/io/iop.h"

#include <mutex>

// Guards device attachments (AttachedDevice, DEVOBJ_EXTENSION), the
// drivers' device lists and their client extension lists. Never held while
// calling a driver.
std::mutex& IopDatabaseLock();

// A driver object's body: the platform's record, then its extension and the
// I/O manager's own fields.
struct IOP_DRIVER_BODY {
    DRIVER_OBJECT Driver;
    DRIVER_EXTENSION Extension;
    LIST_ENTRY ClientExtensions; // IOP_CLIENT_EXTENSION.Links; IopDatabaseLock
    WCHAR Names[1];              // DriverName then ServiceKeyName, written at load
};

// What an open asks for, carried through the name lookup to the device's
// parse procedure, and what the driver answered.
struct IOP_OPEN_PACKET {
    ACCESS_MASK DesiredAccess;
    ULONG Disposition;   // FILE_OPEN, FILE_CREATE, ...
    ULONG CreateOptions; // FILE_* create options
    ULONG FileAttributes;
    ULONG ShareAccess; // FILE_SHARE_*
    LARGE_INTEGER AllocationSize;
    KPROCESSOR_MODE AccessMode;
    NTSTATUS FinalStatus;  // status of the create request (out)
    ULONG_PTR Information; // FILE_OPENED, FILE_CREATED, ... (out)
};

// The device's parse procedure (\Device\X\rest opens a file object).
NTSTATUS IopParseDevice(PVOID ParseObject, PUNICODE_STRING RemainingName, PVOID ParseContext,
                        PVOID* Object);
// File object procedures: cleanup at the last handle, close at the last reference.
void IopCloseFile(PEPROCESS Process, PVOID Object, ULONG HandleCountBeforeClose);
void IopDeleteFile(PVOID Object);
// Device and driver object deletion.
void IopDeleteDevice(PVOID Object);
void IopDeleteDriver(PVOID Object);

// Opens ObjectAttributes' name through the parse procedures and creates a
// handle to the file in Mode's handle table (OBJ_KERNEL_HANDLE and
// OBJ_INHERIT of the attributes apply). The arguments are checked as the
// create services check them: a root directory or extended attributes are
// STATUS_NOT_IMPLEMENTED; a bad disposition or option, or no name,
// STATUS_INVALID_PARAMETER. On success *Handle is the new handle and *Result
// the create request's final status and information; the caller returns
// Result->Status. Captured (kernel) arguments only.
NTSTATUS IopCreateFileHandle(ACCESS_MASK DesiredAccess, const OBJECT_ATTRIBUTES* ObjectAttributes,
                             LARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                             ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                             KPROCESSOR_MODE Mode, PHANDLE Handle, PIO_STATUS_BLOCK Result);

// The mount routine set by IopSetMountRoutine, or NULL.
IOP_MOUNT_ROUTINE IopMountRoutine();
