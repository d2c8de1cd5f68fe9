// win32/device_control.cpp - DeviceIoControl.
#include "ioapiset.h"
#include "win32/ntcall.h"

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    if (lpOverlapped != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED); // overlapped device control is not emulated
        return FALSE;
    }
    ULONG_PTR information = 0;
    NTSTATUS status = BasepNtDeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                                             lpOutBuffer, nOutBufferSize, &information);
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = static_cast<DWORD>(information);
    }
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}
