// volume_lookup.h - finding the filter device above a volume the agent
// names, checking the agent's volume handles, and the small naming and
// volume-query routines of the snapshot set-up.
//
// Kernel mode, PASSIVE_LEVEL. Names passed in are kernel copies, terminated;
// names from user mode are captured (once, with a bound) before they reach
// these routines. Handles are kernel handles of the current process: callers
// that keep them open and close them elsewhere attach to the System process.
#pragma once

#include <ntddk.h>

// Longest name, in characters, that the naming routines accept: what a
// counted string holds, less room for the prefix JoinPath may add.
#define VOLUME_NAME_MAX_CHARS 32000u

// Figures of FileFsSizeInformation.
typedef struct _VolumeSizeInfo {
    LONGLONG TotalAllocationUnits;     // clusters of the volume
    LONGLONG AvailableAllocationUnits; // free clusters
    ULONG BytesPerAllocationUnit;      // sectors per cluster x bytes per sector
} VolumeSizeInfo;

// Remove-lock tag of the devices the lookups below hand out.
#define VOLUME_LOOKUP_LOCK_TAG ((PVOID)FindFilterDeviceByName)

struct _FilterExtension;

// Gives back a device a lookup below handed out. IRQL: <= DISPATCH_LEVEL.
VOID ReleaseFilterDevice(struct _FilterExtension* Extension);

// The filter device above the volume Name names, or NULL. Name is a drive
// letter ("C", "C:", "C:\": only the first character counts) or a volume path
// ("\\?\Volume{...}\" with or without the trailing backslash). A drive of
// another kind of device (CD-ROM, network, substitute), an unknown name and a
// volume without the driver's filter give NULL; so does a read-only volume,
// which alone sets *ReadOnly (else FALSE). A device returned is held by its
// remove lock: the caller gives it back with ReleaseFilterDevice.
PDEVICE_OBJECT FindFilterDeviceByName(PCWSTR Name, PBOOLEAN ReadOnly);

// The driver's attached filter device whose volume PDO is Pdo, held as
// FindFilterDeviceByName's result is; NULL when there is none or it is being
// removed.
PDEVICE_OBJECT FindFilterDeviceByPdo(PDEVICE_OBJECT Pdo);

// The live filter device the agent's VolumeHandle names (its
// FilterExtension.VolumeHandle), held as FindFilterDeviceByName's result is;
// NULL for 0, the control device and any value that is not the handle of a
// filter device in service. Nothing is read through the value: it is only
// compared with the handles of the devices in the driver's list.
PDEVICE_OBJECT IsFilterDevice(ULONG VolumeHandle);

// Turns an agent's volume path into an object-manager name in a copy of its
// own (nonpaged, tag "QvdV", always terminated): a name of two or more
// characters that begins with a backslash gets "?" as its second character
// and loses one trailing backslash ("\\?\Volume{...}\" gives
// "\??\Volume{...}"); any other name is copied unchanged. Name is read once.
// STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, or STATUS_NAME_TOO_LONG
// beyond VOLUME_NAME_MAX_CHARS. The caller frees NtPath->Buffer with
// ExFreePool.
NTSTATUS MakeNtVolumePath(PCWSTR Name, PUNICODE_STRING NtPath);

// Joins up to three parts, each may be NULL, with a backslash between
// present parts, into one zero-filled paged block (tag "QvdU"): a counted
// string followed by its characters, with room for the separators and a
// terminator. JoinPath("\DosDevices", "X:", NULL) is "\DosDevices\X:"; three
// NULL parts give an empty string of capacity 0. NULL when the block cannot
// be had or the parts exceed VOLUME_NAME_MAX_CHARS in all. Freed with
// FreeIfAllocated.
PUNICODE_STRING JoinPath(PCWSTR First, PCWSTR Second, PCWSTR Third);

// Opens a volume for reading its attributes and data, sharing read and
// write: Name "X:..." opens \DosDevices\X:, any other name is an object name
// opened as it is. The handle, or NULL when the open fails.
HANDLE OpenVolumeForRead(PCWSTR Name);

// Closes Handle unless it is NULL.
VOID CloseHandleIfOpen(HANDLE Handle);

// Fills *Info from the size figures of the volume Handle is open on. 0 when
// the query returns exactly STATUS_SUCCESS; -1 otherwise (NULL handle
// included), *Info untouched.
LONG QueryVolumeSize(HANDLE Handle, VolumeSizeInfo* Info);
