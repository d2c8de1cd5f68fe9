// cm/cmp.h - the emulated machine's registry store (configuration manager).
//
// A registry is a tree of keys holding typed values. It belongs to a machine,
// not to a boot: user-mode installers write it through win32's Reg* and service
// routines, and the next kernel boot reads it. Key and value names compare
// without regard to ASCII case and keep the case they were created with.
// Every routine is thread-safe (one lock per registry) and may be called from
// any thread at PASSIVE_LEVEL.
//
// Key references are counted: each successful open, create or reference must be
// balanced by CmpDereferenceKey. Destroying a registry with references still out
// is a bug check (a leaked handle somewhere above).
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

#ifndef STATUS_KEY_DELETED
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#endif

// Value types the store accepts; any other type is refused loudly.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

typedef struct _CM_REGISTRY CM_REGISTRY, *PCM_REGISTRY;
typedef struct _CM_KEY CM_KEY, *PCM_KEY;

// Registry lifetime. A new registry holds only \REGISTRY with its MACHINE and
// USER children; CmpInitializeSystemHive adds what a freshly installed system
// has. Destroying a registry with key references still out bug-checks.
PCM_REGISTRY CmpCreateRegistry();
void CmpDestroyRegistry(PCM_REGISTRY Registry);
void CmpInitializeSystemHive(PCM_REGISTRY Registry);

// The registry of the machine that is running now, used by win32's routines
// and by the kernel's boot. Null until a machine sets one.
void CmpSetActiveRegistry(PCM_REGISTRY Registry);
PCM_REGISTRY CmpActiveRegistry();

// Opens a key by a backslash-separated path relative to Parent, or relative to
// \REGISTRY when Parent is null ("MACHINE\SYSTEM"). An empty path opens Parent
// again. Returns STATUS_OBJECT_NAME_NOT_FOUND for a missing key,
// STATUS_OBJECT_NAME_INVALID for an empty path component, STATUS_KEY_DELETED when
// Parent was deleted.
NTSTATUS CmpOpenKey(PCM_REGISTRY Registry, PCM_KEY Parent, PCWSTR Path, PCM_KEY* Key);

// Opens a key, creating it and any missing keys on its path. *Created (optional)
// tells whether the final key is new.
NTSTATUS CmpCreateKey(PCM_REGISTRY Registry, PCM_KEY Parent, PCWSTR Path, PCM_KEY* Key,
                      BOOLEAN* Created);

void CmpReferenceKey(PCM_KEY Key);
void CmpDereferenceKey(PCM_KEY Key);

// Deletes a key that has no subkeys (STATUS_CANNOT_DELETE otherwise). The key
// leaves the tree at once; references still held see STATUS_KEY_DELETED.
// Deleting the roots is refused with STATUS_ACCESS_DENIED.
NTSTATUS CmpDeleteKey(PCM_KEY Key);
// Deletes a key with all its subkeys.
NTSTATUS CmpDeleteKeyTree(PCM_KEY Key);

// Name of the Index-th subkey in name order. Name receives at most NameLength
// characters including the terminator. STATUS_NO_MORE_ENTRIES past the end,
// STATUS_BUFFER_OVERFLOW when Name is too small (*RequiredLength then says how
// many characters, terminator included, are needed).
NTSTATUS CmpEnumerateKey(PCM_KEY Key, ULONG Index, PWSTR Name, ULONG NameLength,
                         ULONG* RequiredLength);

// Reads a value; a null or empty name is the key's default value. On entry
// *DataLength is the size of Data in bytes (Data may be null to ask the size);
// on return it is the value's size. STATUS_BUFFER_OVERFLOW when Data is too
// small (nothing copied), STATUS_OBJECT_NAME_NOT_FOUND for a missing value.
NTSTATUS CmpQueryValue(PCM_KEY Key, PCWSTR Name, ULONG* Type, PVOID Data, ULONG* DataLength);

// Writes a value, replacing any value of that name. The bytes are stored as
// given; the type must be one of the REG_* types above.
NTSTATUS CmpSetValue(PCM_KEY Key, PCWSTR Name, ULONG Type, const VOID* Data, ULONG DataLength);
NTSTATUS CmpDeleteValue(PCM_KEY Key, PCWSTR Name);

// Fault injection, for tests that reach failure paths. After Skip matching calls
// have gone through, every further call of Operation on the key at KeyPath
// (full path below \REGISTRY, e.g. "MACHINE\SYSTEM\...", any case) fails with
// Status. ValueName narrows value operations to one value (null: any value).
typedef enum _CM_OPERATION {
    CmOperationOpenKey,
    CmOperationCreateKey,
    CmOperationDeleteKey,
    CmOperationQueryValue,
    CmOperationSetValue,
    CmOperationDeleteValue,
} CM_OPERATION;

void CmpInjectFailure(PCM_REGISTRY Registry, CM_OPERATION Operation, PCWSTR KeyPath,
                      PCWSTR ValueName, NTSTATUS Status, ULONG Skip = 0);
void CmpClearInjectedFailures(PCM_REGISTRY Registry);
