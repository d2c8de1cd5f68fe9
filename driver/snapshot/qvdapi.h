// qvdapi.h - the control interface of the volume snapshot driver, shared
// with the backup agent: the control device's names, its control codes and
// the result codes written into the first word of every control record.
//
// Fixed-width integers only, no platform types, so that the agent's
// user-mode code includes it as the driver does. C++: the names are UTF-16
// literals (u"...") and the checks static_assert.
#pragma once

#include <stdint.h>

// The control device, its link in the kernel's namespace, and the path by
// which user mode opens it (CreateFile).
#define QVD_CONTROL_DEVICE_NAME u"\\Device\\QVDDev0"
#define QVD_CONTROL_LINK_NAME u"\\DosDevices\\QVDAPI"
#define QVD_CONTROL_USER_PATH u"\\\\.\\QVDAPI"
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
