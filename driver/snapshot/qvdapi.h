// qvdapi.h - the control interface of the volume snapshot driver, shared
// with the backup agent: the control device's names, its control codes, the
// nine request/response records and the result codes written into the first
// word of every record.
//
// Plain C layout, no platform types beyond fixed-width integers, so that the
// agent's user-mode code includes it as the driver does. Every field is
// little-endian; pointers and handles inside a record are 32-bit values of
// the calling (32-bit) process. The layouts are byte-exact: the static
// asserts below pin every offset and size.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The control device and the link user mode opens it by ("\\.\QVDAPI").
#define QVD_CONTROL_DEVICE_NAME u"\\Device\\QVDDev0"
#define QVD_CONTROL_LINK_NAME u"\\DosDevices\\QVDAPI"
#define QVD_CONTROL_DEVICE_TYPE 0x8000u

// Device type 0x8000, functions 0x800 to 0x808, buffered, any access.
#define QVD_CONTROL_CODE(Function) ((0x8000u << 16) | ((uint32_t)(Function) << 2))

#define IOCTL_QVD_QUERY_VERSION QVD_CONTROL_CODE(0x800)            // 0x80002000
#define IOCTL_QVD_FREEZE_VOLUME QVD_CONTROL_CODE(0x801)            // 0x80002004
#define IOCTL_QVD_THAW_VOLUME QVD_CONTROL_CODE(0x802)              // 0x80002008
#define IOCTL_QVD_REPORT_PROGRESS QVD_CONTROL_CODE(0x803)          // 0x8000200C
#define IOCTL_QVD_ADD_PASS_THROUGH_FILE QVD_CONTROL_CODE(0x804)    // 0x80002010
#define IOCTL_QVD_REMOVE_PASS_THROUGH_FILE QVD_CONTROL_CODE(0x805) // 0x80002014
#define IOCTL_QVD_CLEAR_PASS_THROUGH_FILES QVD_CONTROL_CODE(0x806) // 0x80002018
#define IOCTL_QVD_ENABLE_EXTENT_LIST QVD_CONTROL_CODE(0x807)       // 0x8000201C
#define IOCTL_QVD_READ_EXTENT_LIST QVD_CONTROL_CODE(0x808)         // 0x80002020

static_assert(IOCTL_QVD_QUERY_VERSION == 0x80002000u);
static_assert(IOCTL_QVD_READ_EXTENT_LIST == 0x80002020u);

// Result codes of the control operations (the record's Result word).
#define QVD_RESULT_SUCCESS 0u
#define QVD_RESULT_FREEZE_FAILED 2u
#define QVD_RESULT_INVALID 3u
#define QVD_RESULT_ALREADY_FROZEN 4u
#define QVD_RESULT_BAD_POSITION 5u
#define QVD_RESULT_BAD_FILE_HANDLE 7u
#define QVD_RESULT_LIST_FULL 8u
#define QVD_RESULT_NOT_LISTED 9u
#define QVD_RESULT_READ_ONLY_VOLUME 10u
#define QVD_RESULT_NO_MEMORY 11u
#define QVD_RESULT_FILE_SETUP_FAILED 12u
#define QVD_RESULT_NTFS_CHECK_FAILED 13u
#define QVD_RESULT_BAD_MUTEX 14u

// Result codes are written into Result; besides them FreezeVolume can leave a
// failing NTSTATUS (a negative 32-bit value) there: that of the disk-geometry
// query or of the query of the partial data file's volume name.

// FreezeFlags bits. In: STAY_BROKEN keeps a broken frozen state broken when
// free space returns (reads of the frozen image then fail); REPLACE_FREEZE
// ends a running snapshot of the volume first. Out, after a successful freeze
// that reports a previous change store: CHANGE_STORE_INCOMPLETE when that
// store missed writes.
#define QVD_FREEZE_STAY_BROKEN 0x1u
#define QVD_FREEZE_REPLACE_FREEZE 0x2u
#define QVD_FREEZE_CHANGE_STORE_INCOMPLETE 0x80u

// ProgressRequest.Status bits.
#define QVD_STATUS_LOW_SPACE 0x1u    // free space below WarnFreeKB
#define QVD_STATUS_OUT_OF_SPACE 0x2u // free space fell below MinFreeKB at some time
#define QVD_STATUS_BROKEN 0x4u       // the frozen image is no longer maintained

// Characters of PreviousChangeStoreName, its terminator included.
#define QVD_CHANGE_STORE_NAME_CHARS 256u

#pragma pack(push, 4)

// QueryVersion (output only).
typedef struct _QvdVersionInfo {
    uint32_t Result;
    uint32_t Major; // 7
    uint32_t Minor; // 0
    uint32_t Build; // 102
} QvdVersionInfo;

// FreezeVolume (in and out).
typedef struct _QvdFreezeRequest {
    uint32_t Result;       // out
    uint32_t VolumeHandle; // out: the frozen volume's handle, 0 on most failures
    uint16_t PreviousChangeStoreName[QVD_CHANGE_STORE_NAME_CHARS]; // out, terminated
    uint32_t VolumeName;          // in: wide string, "X:" or a volume path
    uint32_t PartialDataFilePath; // in: wide string, "X:\..."
    uint32_t ChangeStorePath;     // in: wide string, or 0 for no change store
    uint32_t SnapshotMutex;       // in: handle of a mutex the calling thread owns
    uint32_t FreezeFlags;         // in/out: QVD_FREEZE_*
    uint32_t Reserved;
    uint64_t MaxQuiesceMs;  // in: longest wait for the volume to become quiet
    uint64_t QuietPeriodMs; // in: time without writes after which a file is quiet
    uint64_t WarnFreeKB;    // in: free space below which QVD_STATUS_LOW_SPACE is set
    uint64_t MinFreeKB;     // in: free space below which the frozen state breaks
} QvdFreezeRequest;

// ThawVolume and EnableExtentList.
typedef struct _QvdVolumeRequest {
    uint32_t Result;
    uint32_t VolumeHandle; // in
} QvdVolumeRequest;

// ReportProgress.
typedef struct _QvdProgressRequest {
    uint32_t Result;
    uint32_t VolumeHandle; // in
    uint32_t Status;       // out: QVD_STATUS_*
    uint32_t Reserved;     // not written
    uint64_t Position;     // in: volume byte offset read up to
} QvdProgressRequest;

// AddPassThroughFile and RemovePassThroughFile.
typedef struct _QvdPassThroughFileRequest {
    uint32_t Result;
    uint32_t FileHandle; // in: a handle of the calling process to an open file
} QvdPassThroughFileRequest;

// ClearPassThroughFiles.
typedef struct _QvdResultRecord {
    uint32_t Result;
} QvdResultRecord;

// ReadExtentList.
typedef struct _QvdExtentListRequest {
    uint32_t Result;
    uint32_t VolumeHandle; // in
    uint32_t Cursor;       // in: first extent wanted; out: first extent not returned
    uint32_t Count;        // out: entries written into Array
    uint32_t ArraySize;    // in: bytes of Array, at least one entry
    uint32_t Array;        // in: the caller's array of QvdPreservedExtent
} QvdExtentListRequest;

// One entry of ReadExtentList's array.
typedef struct _QvdPreservedExtent {
    uint64_t VolumeOffset; // bytes
    uint64_t Length;       // bytes
    uint64_t FileOffset;   // where the extent's data begins in the partial data file
} QvdPreservedExtent;

#pragma pack(pop)

static_assert(sizeof(QvdVersionInfo) == 16);
static_assert(sizeof(QvdFreezeRequest) == 576);
static_assert(offsetof(QvdFreezeRequest, VolumeHandle) == 4);
static_assert(offsetof(QvdFreezeRequest, PreviousChangeStoreName) == 8);
static_assert(offsetof(QvdFreezeRequest, VolumeName) == 520);
static_assert(offsetof(QvdFreezeRequest, PartialDataFilePath) == 524);
static_assert(offsetof(QvdFreezeRequest, ChangeStorePath) == 528);
static_assert(offsetof(QvdFreezeRequest, SnapshotMutex) == 532);
static_assert(offsetof(QvdFreezeRequest, FreezeFlags) == 536);
static_assert(offsetof(QvdFreezeRequest, MaxQuiesceMs) == 544);
static_assert(offsetof(QvdFreezeRequest, QuietPeriodMs) == 552);
static_assert(offsetof(QvdFreezeRequest, WarnFreeKB) == 560);
static_assert(offsetof(QvdFreezeRequest, MinFreeKB) == 568);
static_assert(sizeof(QvdVolumeRequest) == 8);
static_assert(sizeof(QvdProgressRequest) == 24);
static_assert(offsetof(QvdProgressRequest, Status) == 8);
static_assert(offsetof(QvdProgressRequest, Position) == 16);
static_assert(sizeof(QvdPassThroughFileRequest) == 8);
static_assert(sizeof(QvdResultRecord) == 4);
static_assert(sizeof(QvdExtentListRequest) == 24);
static_assert(offsetof(QvdExtentListRequest, Cursor) == 8);
static_assert(offsetof(QvdExtentListRequest, Count) == 12);
static_assert(offsetof(QvdExtentListRequest, ArraySize) == 16);
static_assert(offsetof(QvdExtentListRequest, Array) == 20);
static_assert(sizeof(QvdPreservedExtent) == 24);
