// ob/obp.h - the object manager's internal interface: object types, object
// creation, names in the namespace, handles and name lookup. Used by the other
// components of the emulated kernel (ps, io, mm), never by drivers.
#pragma once

#include "ntdef.h"
#include "nt/ob.h"
#include "nt/ps.h"

// Procedures of an object type; any may be NULL.
struct OBP_TYPE_PROCEDURES {
    // A handle to Object is being closed in Process; HandleCountBeforeClose is
    // the object's handle count before this close (1 = last handle).
    void (*Close)(PEPROCESS Process, PVOID Object, ULONG HandleCountBeforeClose);
    // The last reference went; the body is freed after it returns.
    void (*Delete)(PVOID Object);
    // A lookup reached Object with RemainingName left (may be empty when the
    // lookup was given a ParseContext). Returns a referenced object in *Object,
    // or STATUS_REPARSE with RemainingName rewritten to a full name to look up
    // from the root instead.
    NTSTATUS (*Parse)(PVOID ParseObject, PUNICODE_STRING RemainingName, PVOID ParseContext,
                      PVOID* Object);
};

// Creates an object type named Name (listed as \ObjectTypes\Name) whose
// generic rights mean Mapping. Types live until the kernel stops. The caller
// stores the result in its type global.
POBJECT_TYPE ObpCreateObjectType(PCWSTR Name, const OBP_TYPE_PROCEDURES& Procedures,
                                 const GENERIC_MAPPING& Mapping);
PCWSTR ObpTypeName(POBJECT_TYPE Type);
// The kernel's own types (threads, processes, events ...): Waitable when the
// body starts with a DISPATCHER_HEADER; their Delete procedures also run for
// objects still referenced when the kernel stops.
POBJECT_TYPE ObpCreateKernelType(PCWSTR Name, const OBP_TYPE_PROCEDURES& Procedures,
                                 BOOLEAN Waitable, const GENERIC_MAPPING& Mapping);
// Access as Type grants it: generic rights replaced by their specific rights,
// MAXIMUM_ALLOWED by every right of the type (objects carry no security
// descriptor here, so everything the type defines is allowed).
ACCESS_MASK ObpMapGenericAccess(POBJECT_TYPE Type, ACCESS_MASK Access);

// Creates an object of Type with a zeroed body of BodySize bytes (16-byte
// aligned) and one pointer reference, no handle and no name.
NTSTATUS ObpCreateObject(POBJECT_TYPE Type, ULONG BodySize, PVOID* Object);

// Gives Object the name FullName (absolute; intermediate symbolic links are
// followed). The namespace does not hold a reference: the name goes with the
// object's last reference, or earlier with ObpRemoveObjectName.
// STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_PATH_NOT_FOUND,
// STATUS_OBJECT_NAME_INVALID.
NTSTATUS ObpInsertObjectName(PVOID Object, PCUNICODE_STRING FullName);
void ObpRemoveObjectName(PVOID Object);

// Creates a handle to Object in the current process (the attached process when
// attached), or in the System process's table as a kernel handle when
// Attributes has OBJ_KERNEL_HANDLE, granting GrantedAccess mapped through the
// object's type. Takes its own reference.
NTSTATUS ObpCreateHandle(PVOID Object, ACCESS_MASK GrantedAccess, ULONG Attributes,
                         KPROCESSOR_MODE AccessMode, PHANDLE Handle);
// Closes Handle as NtClose does: STATUS_INVALID_HANDLE for a bad handle from
// UserMode; a bad handle from KernelMode is a bug check (INVALID_KERNEL_HANDLE).
NTSTATUS ObpCloseHandle(HANDLE Handle, KPROCESSOR_MODE AccessMode);

// Looks Name up from the root, case-insensitively, following symbolic links and
// calling parse procedures. Returns a referenced object.
// STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND,
// STATUS_OBJECT_PATH_SYNTAX_BAD, STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS ObpLookupObjectName(PCUNICODE_STRING Name, POBJECT_TYPE ExpectedTypeOrNull,
                             PVOID ParseContext, PVOID* Object);

// Symbolic links in the namespace (permanent until deleted).
NTSTATUS ObpCreateSymbolicLink(PCUNICODE_STRING LinkName, PCUNICODE_STRING Target);
NTSTATUS ObpDeleteSymbolicLink(PCUNICODE_STRING LinkName);

// Object queries.
POBJECT_TYPE ObpGetObjectType(PVOID Object);
ULONG ObpPointerCount(PVOID Object);
ULONG ObpHandleCount(PVOID Object);

// Per-process handle tables, created and destroyed with the process by ps.
// Destroying a table closes every handle left in it.
struct OBP_HANDLE_TABLE;
OBP_HANDLE_TABLE* ObpCreateHandleTable(PEPROCESS Process);
void ObpDestroyHandleTable(OBP_HANDLE_TABLE* Table);
// Handles open in Table (kernel handles count in the System process's).
ULONG ObpCountHandles(OBP_HANDLE_TABLE* Table);
// Bug checks "leaked handle" naming the first handle still open in Table.
void ObpVerifyNoHandles(OBP_HANDLE_TABLE* Table, PCWSTR ProcessName);

// Object manager lifetime, driven by KiStartKernel / KiStopKernel.
void ObpInitialize();
void ObpShutdown();
