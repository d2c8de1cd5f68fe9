// win32/error.cpp - the thread's last error and the status-to-error mapping.
#include "win32/basep.h"

namespace {
thread_local DWORD BasepLastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return BasepLastError; }

void SetLastError(DWORD dwErrCode) { BasepLastError = dwErrCode; }

DWORD BasepErrorFromStatus(NTSTATUS Status) {
    switch (Status) {
    case STATUS_SUCCESS:
        return ERROR_SUCCESS;
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_ACCESS_DENIED:
    case STATUS_CANNOT_DELETE:
        return ERROR_ACCESS_DENIED;
    case STATUS_INVALID_HANDLE:
        return ERROR_INVALID_HANDLE;
    case STATUS_OBJECT_NAME_INVALID:
    case STATUS_OBJECT_PATH_SYNTAX_BAD:
        return ERROR_INVALID_NAME;
    case STATUS_BUFFER_OVERFLOW:
        return ERROR_MORE_DATA;
    case STATUS_BUFFER_TOO_SMALL:
        return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_NO_MORE_ENTRIES:
        return ERROR_NO_MORE_ITEMS;
    case STATUS_KEY_DELETED:
        return ERROR_KEY_DELETED;
    case STATUS_INSUFFICIENT_RESOURCES:
        return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_NO_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_INVALID_PARAMETER:
        return ERROR_INVALID_PARAMETER;
    default:
        // The platform's catch-all for a status without a Win32 counterpart.
        return 317; // ERROR_MR_MID_NOT_FOUND
    }
}
