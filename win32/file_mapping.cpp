// win32/file_mapping.cpp - CreateFileMappingW, MapViewOfFile and
// UnmapViewOfFile, on the section services.
#include "memoryapi.h"
#include "fileapi.h"
#include "win32/ntcall.h"

HANDLE CreateFileMappingW(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                          DWORD flProtect, DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow,
                          LPCWSTR lpName) {
    // Named mappings and mappings of the paging file are not offered.
    if (lpFileMappingAttributes != nullptr || lpName != nullptr || hFile == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const LONGLONG maximum =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow);
    HANDLE section = nullptr;
    NTSTATUS status = BasepNtCreateSection(hFile, flProtect, maximum, &section);
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return nullptr;
    }
    return section;
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
    const ULONG protect = (dwDesiredAccess & FILE_MAP_WRITE) ? PAGE_READWRITE : PAGE_READONLY;
    const LONGLONG offset =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(dwFileOffsetHigh) << 32) | dwFileOffsetLow);
    SIZE_T size = dwNumberOfBytesToMap;
    PVOID base = nullptr;
    NTSTATUS status = BasepNtMapViewOfSection(hFileMappingObject, protect, offset, &size, &base);
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return nullptr;
    }
    return base;
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress) {
    NTSTATUS status = BasepNtUnmapViewOfSection(const_cast<PVOID>(lpBaseAddress));
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}
