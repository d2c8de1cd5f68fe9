// ntdddisk.h - disk device control codes and the records they return:
// drive geometry, partition information and media types.
//
// Kernel and user mode. Layouts are the platform's, byte for byte.
#pragma once

#include "ntdef.h"
#include "nt/io.h"

#define IOCTL_DISK_BASE FILE_DEVICE_DISK

#define IOCTL_DISK_GET_DRIVE_GEOMETRY                                                              \
    CTL_CODE(IOCTL_DISK_BASE, 0x0000, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_DISK_GET_PARTITION_INFO                                                              \
    CTL_CODE(IOCTL_DISK_BASE, 0x0001, METHOD_BUFFERED, FILE_READ_ACCESS)

typedef enum _MEDIA_TYPE {
    Unknown,
    F5_1Pt2_512,
    F3_1Pt44_512,
    F3_2Pt88_512,
    F3_20Pt8_512,
    F3_720_512,
    F5_360_512,
    F5_320_512,
    F5_320_1024,
    F5_180_512,
    F5_160_512,
    RemovableMedia,
    FixedMedia,
    F3_120M_512,
    F3_640_512,
    F5_640_512,
    F5_720_512,
    F3_1Pt2_512,
    F3_1Pt23_1024,
    F5_1Pt23_1024,
    F3_128Mb_512,
    F3_230Mb_512,
    F8_256_128
} MEDIA_TYPE,
    *PMEDIA_TYPE;

typedef struct _DISK_GEOMETRY {
    LARGE_INTEGER Cylinders;
    MEDIA_TYPE MediaType;
    ULONG TracksPerCylinder;
    ULONG SectorsPerTrack;
    ULONG BytesPerSector;
} DISK_GEOMETRY, *PDISK_GEOMETRY;

static_assert(sizeof(DISK_GEOMETRY) == 24, "DISK_GEOMETRY is 24 bytes");
static_assert(offsetof(DISK_GEOMETRY, MediaType) == 8, "DISK_GEOMETRY.MediaType");
static_assert(offsetof(DISK_GEOMETRY, BytesPerSector) == 20, "DISK_GEOMETRY.BytesPerSector");

// Partition types.
#define PARTITION_ENTRY_UNUSED 0x00
#define PARTITION_FAT_12 0x01
#define PARTITION_FAT_16 0x04
#define PARTITION_IFS 0x07
#define PARTITION_FAT32 0x0B

typedef struct _PARTITION_INFORMATION {
    LARGE_INTEGER StartingOffset;  // bytes from the start of the disk
    LARGE_INTEGER PartitionLength; // bytes
    ULONG HiddenSectors;           // sectors before the partition
    ULONG PartitionNumber;
    UCHAR PartitionType; // PARTITION_*
    BOOLEAN BootIndicator;
    BOOLEAN RecognizedPartition;
    BOOLEAN RewritePartition;
} PARTITION_INFORMATION, *PPARTITION_INFORMATION;

static_assert(sizeof(PARTITION_INFORMATION) == 32, "PARTITION_INFORMATION is 32 bytes");
static_assert(offsetof(PARTITION_INFORMATION, PartitionLength) == 8,
              "PARTITION_INFORMATION.PartitionLength");
static_assert(offsetof(PARTITION_INFORMATION, PartitionType) == 24,
              "PARTITION_INFORMATION.PartitionType");
