// win32/sync.cpp - CreateMutexW, ReleaseMutex and WaitForSingleObject.
#include "synchapi.h"
#include "fileapi.h"
#include "win32/ntcall.h"

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) {
    if (lpName != nullptr || (lpMutexAttributes != nullptr && lpMutexAttributes->bInheritHandle)) {
        SetLastError(ERROR_NOT_SUPPORTED); // named mutexes and inherited handles
        return nullptr;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = BasepNtCreateMutant(bInitialOwner ? TRUE : FALSE, &handle);
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL ReleaseMutex(HANDLE hMutex) {
    NTSTATUS status = BasepNtReleaseMutant(hMutex);
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    LONGLONG timeout = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    NTSTATUS status = BasepNtWait(hHandle, dwMilliseconds == INFINITE ? nullptr : &timeout);
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return WAIT_FAILED;
    }
    return static_cast<DWORD>(status); // WAIT_OBJECT_0, WAIT_ABANDONED or WAIT_TIMEOUT
}
