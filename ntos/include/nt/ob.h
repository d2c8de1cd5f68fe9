// nt/ob.h - the object manager as drivers see it: object references, handles,
// object types and the Zw routines on events, mutants and symbolic links.
#pragma once

#include "ntdef.h"
#include "nt/ke.h"

typedef struct _OBJECT_TYPE OBJECT_TYPE, *POBJECT_TYPE;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// Access rights.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define SEMAPHORE_QUERY_STATE 0x0001
#define SEMAPHORE_MODIFY_STATE 0x0002
#define SEMAPHORE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define MUTANT_QUERY_STATE 0x0001
#define MUTANT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | MUTANT_QUERY_STATE)
#define THREAD_TERMINATE 0x0001
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3FF)
#define PROCESS_TERMINATE 0x0001
#define PROCESS_CREATE_THREAD 0x0002
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFF)
#define SYMBOLIC_LINK_QUERY 0x0001
#define SYMBOLIC_LINK_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | 0x1)
#define DIRECTORY_QUERY 0x0001
#define DIRECTORY_TRAVERSE 0x0002
#define DIRECTORY_CREATE_OBJECT 0x0004
#define DIRECTORY_CREATE_SUBDIRECTORY 0x0008
#define DIRECTORY_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | 0xF)

// Object types. The io and mm types are created by those components.
extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* PsProcessType;
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* ExSemaphoreObjectType;
extern POBJECT_TYPE* ExMutantObjectType;
extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* IoDeviceObjectType;
extern POBJECT_TYPE* IoDriverObjectType;
extern POBJECT_TYPE* MmSectionObjectType;

// References.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation);
NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                    POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode);
LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

// Handles (kernel-mode callers: a bad handle is a bug check).
NTSTATUS ZwClose(HANDLE Handle);

// Events, mutants and waits on handles.
NTSTATUS ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                       POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                       BOOLEAN InitialState);
NTSTATUS ZwSetEvent(HANDLE EventHandle, PLONG PreviousState);
NTSTATUS ZwClearEvent(HANDLE EventHandle);
NTSTATUS ZwCreateMutant(PHANDLE MutantHandle, ACCESS_MASK DesiredAccess,
                        POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN InitialOwner);
NTSTATUS ZwReleaseMutant(HANDLE MutantHandle, PLONG PreviousCount);
NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
// Waits until any or all of Count (1 to MAXIMUM_WAIT_OBJECTS) objects are
// signalled: STATUS_WAIT_0 + i (any: the first signalled one), the abandoned
// forms, STATUS_TIMEOUT, STATUS_ALERTED. STATUS_INVALID_PARAMETER_1 for a
// bad count, _3 for a bad wait type, STATUS_INVALID_PARAMETER_MIX for one
// object twice in a wait for all. PASSIVE_LEVEL.
NTSTATUS ZwWaitForMultipleObjects(ULONG Count, HANDLE Handles[], WAIT_TYPE WaitType,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout);

// Symbolic links. ZwQuerySymbolicLinkObject returns STATUS_BUFFER_TOO_SMALL with
// the needed length (bytes, with a terminator) in ReturnedLength when
// LinkTarget cannot hold the target.
NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                   PULONG ReturnedLength);
