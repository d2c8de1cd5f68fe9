// mountdev.h - the control codes a volume answers for the mount manager, and
// the records they return.
//
// Kernel and user mode. Layouts are the platform's, byte for byte.
#pragma once

#include "ntdef.h"
#include "nt/io.h"

#define MOUNTDEVCONTROLTYPE 0x0000004D // 'M'

#define IOCTL_MOUNTDEV_QUERY_UNIQUE_ID                                                             \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_MOUNTDEV_QUERY_DEVICE_NAME                                                           \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)

// The volume's device name ("\Device\HarddiskVolume1"), not terminated.
typedef struct _MOUNTDEV_NAME {
    USHORT NameLength; // bytes of Name
    WCHAR Name[1];
} MOUNTDEV_NAME, *PMOUNTDEV_NAME;

static_assert(sizeof(MOUNTDEV_NAME) == 4, "MOUNTDEV_NAME is 4 bytes");
static_assert(offsetof(MOUNTDEV_NAME, Name) == 2, "MOUNTDEV_NAME.Name");

// The volume's identity that survives renaming and reboots (for a partition
// of a basic disk: the disk's signature and the partition's offset).
typedef struct _MOUNTDEV_UNIQUE_ID {
    USHORT UniqueIdLength; // bytes of UniqueId
    UCHAR UniqueId[1];
} MOUNTDEV_UNIQUE_ID, *PMOUNTDEV_UNIQUE_ID;

static_assert(sizeof(MOUNTDEV_UNIQUE_ID) == 4, "MOUNTDEV_UNIQUE_ID is 4 bytes");
static_assert(offsetof(MOUNTDEV_UNIQUE_ID, UniqueId) == 2, "MOUNTDEV_UNIQUE_ID.UniqueId");
