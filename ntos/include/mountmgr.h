// mountmgr.h - the mount manager's device and its query of mount points:
// the names (drive letters, \??\Volume{GUID}) that lead to each volume.
//
// Kernel and user mode. Layouts are the platform's, byte for byte.
#pragma once

#include "ntdef.h"

#define MOUNTMGR_DEVICE_NAME u"\\Device\\MountPointManager"
#define MOUNTMGR_DOS_DEVICE_NAME u"\\\\.\\MountPointManager"

#define MOUNTMGRCONTROLTYPE 0x0000006D // 'm'
// CTL_CODE(MOUNTMGRCONTROLTYPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_MOUNTMGR_QUERY_POINTS 0x006D0008

// One mount point. Offsets are from the start of the record's buffer;
// lengths are bytes, names are not terminated.
typedef struct _MOUNTMGR_MOUNT_POINT {
    ULONG SymbolicLinkNameOffset;
    USHORT SymbolicLinkNameLength;
    USHORT Reserved1;
    ULONG UniqueIdOffset;
    USHORT UniqueIdLength;
    USHORT Reserved2;
    ULONG DeviceNameOffset;
    USHORT DeviceNameLength;
    USHORT Reserved3;
} MOUNTMGR_MOUNT_POINT, *PMOUNTMGR_MOUNT_POINT;

// The answer: Size is the bytes of the whole answer (also when it did not
// fit), then the mount points, then their names and unique IDs.
typedef struct _MOUNTMGR_MOUNT_POINTS {
    ULONG Size;
    ULONG NumberOfMountPoints;
    MOUNTMGR_MOUNT_POINT MountPoints[1];
} MOUNTMGR_MOUNT_POINTS, *PMOUNTMGR_MOUNT_POINTS;

static_assert(sizeof(MOUNTMGR_MOUNT_POINT) == 24, "MOUNTMGR_MOUNT_POINT is 24 bytes");
static_assert(sizeof(MOUNTMGR_MOUNT_POINTS) == 32, "MOUNTMGR_MOUNT_POINTS is 32 bytes");
