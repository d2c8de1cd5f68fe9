// ioapiset.h - device control from user mode.
#pragma once

#include "fileapi.h"

// Sends dwIoControlCode to the device behind hDevice and waits for it.
// Buffered codes: the I/O manager copies the input into a system buffer of
// the larger of both lengths and copies back as many bytes as the driver
// reports. *lpBytesReturned receives that count (also on ERROR_MORE_DATA).
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);
