// win32/basep.h - internals shared by the win32 routines (not for callers).
#pragma once

#include "windows.h"
#include "ntos/cm/cmp.h"

#include <string>

// The platform's Win32 error for an NT status the emulated kernel returned.
DWORD BasepErrorFromStatus(NTSTATUS Status);

// A handle of this process's win32 layer: an open registry key, the service
// control manager, or a service. Handle values are never reused.
enum class BASEP_HANDLE_KIND { RegistryKey, ServiceManager, Service };

struct BASEP_HANDLE {
    BASEP_HANDLE_KIND Kind;
    PCM_REGISTRY Registry;      // the machine the handle was opened on
    PCM_KEY Key;                // registry keys: a reference owned by the handle
    ACCESS_MASK Access;         // rights granted at open, generic rights mapped
    std::u16string ServiceName; // services: the name as the service key spells it
};

HANDLE BasepInsertHandle(BASEP_HANDLE Record);
// Copies the record of a live handle of that kind; false for any other value.
bool BasepLookupHandle(HANDLE Handle, BASEP_HANDLE_KIND Kind, BASEP_HANDLE* Record);
// Takes a handle out of the table and returns its record.
bool BasepRemoveHandle(HANDLE Handle, BASEP_HANDLE_KIND Kind, BASEP_HANDLE* Record);
// Open service handles on one service of one machine.
ULONG BasepCountServiceHandles(PCM_REGISTRY Registry, const std::u16string& ServiceName);
