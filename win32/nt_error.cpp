// win32/nt_error.cpp - Win32 errors for the statuses of files, devices,
// mutexes and memory.
#include "win32/basep.h"
#include "fileapi.h"
#include "win32/ntcall.h"

#ifndef STATUS_MEMORY_NOT_ALLOCATED
#define STATUS_MEMORY_NOT_ALLOCATED ((NTSTATUS)0xC00000A0L)
#endif
#ifndef STATUS_SHARING_VIOLATION
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#endif
#ifndef STATUS_OBJECT_NAME_COLLISION
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#endif
#ifndef STATUS_CANCELLED
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#endif

ULONG BasepDosErrorFromStatus(NTSTATUS Status) {
    switch (Status) {
    case STATUS_ACCESS_VIOLATION:
    case STATUS_DATATYPE_MISALIGNMENT:
        return ERROR_NOACCESS;
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_NOT_IMPLEMENTED:
        return ERROR_INVALID_FUNCTION;
    case STATUS_NOT_SUPPORTED:
        return ERROR_NOT_SUPPORTED;
    case STATUS_UNSUCCESSFUL:
        return ERROR_GEN_FAILURE;
    case STATUS_NO_SUCH_DEVICE:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_TYPE_MISMATCH:
        return ERROR_INVALID_HANDLE;
    case STATUS_END_OF_FILE:
        return ERROR_HANDLE_EOF;
    case STATUS_DEVICE_NOT_READY:
        return ERROR_NOT_READY;
    case STATUS_MUTANT_NOT_OWNED:
        return ERROR_NOT_OWNER;
    case STATUS_SHARING_VIOLATION:
        return ERROR_SHARING_VIOLATION;
    case STATUS_OBJECT_NAME_COLLISION:
        return ERROR_ALREADY_EXISTS;
    case STATUS_CANCELLED:
        return ERROR_OPERATION_ABORTED;
    case STATUS_CONFLICTING_ADDRESSES:
    case STATUS_MEMORY_NOT_ALLOCATED:
        return ERROR_INVALID_ADDRESS;
    case STATUS_INVALID_PAGE_PROTECTION:
        return ERROR_INVALID_PARAMETER;
    case STATUS_INVALID_BUFFER_SIZE:
        return ERROR_INVALID_USER_BUFFER;
    case STATUS_MEDIA_WRITE_PROTECTED:
        return ERROR_WRITE_PROTECT;
    case STATUS_DISK_FULL:
        return ERROR_DISK_FULL;
    case STATUS_FILE_IS_A_DIRECTORY:
    case STATUS_DELETE_PENDING:
        return ERROR_ACCESS_DENIED;
    case STATUS_DIRECTORY_NOT_EMPTY:
        return 145; // ERROR_DIR_NOT_EMPTY
    case STATUS_INFO_LENGTH_MISMATCH:
        return 24; // ERROR_BAD_LENGTH
    case STATUS_INVALID_INFO_CLASS:
        return ERROR_INVALID_PARAMETER;
    default:
        return BasepErrorFromStatus(Status);
    }
}

void BasepSetLastNtError(NTSTATUS Status) {
    SetLastError(BasepDosErrorFromStatus(Status));
}
