// win32/file_information.cpp - SetFilePointerEx, GetFileSizeEx,
// SetEndOfFile and DeleteFileW, on the file-information services.
#include "fileapi.h"
#include "win32/ntcall.h"

#include <cstring>
#include <string>

namespace {

// The classes and records these routines use, laid out as the platform's.
constexpr ULONG BasepFileStandardInformation = 5;
constexpr ULONG BasepFileDispositionInformation = 13;
constexpr ULONG BasepFilePositionInformation = 14;
constexpr ULONG BasepFileAllocationInformation = 19;
constexpr ULONG BasepFileEndOfFileInformation = 20;

struct BASEP_FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
};

BOOL BasepFail(NTSTATUS Status) {
    BasepSetLastNtError(Status);
    return FALSE;
}

} // namespace

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                      PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) {
    LARGE_INTEGER base;
    base.QuadPart = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (dwMoveMethod == FILE_CURRENT) {
        status = BasepNtQueryInformationFile(hFile, &base, sizeof(base),
                                             BasepFilePositionInformation);
    } else if (dwMoveMethod == FILE_END) {
        BASEP_FILE_STANDARD_INFORMATION standard = {};
        status = BasepNtQueryInformationFile(hFile, &standard, sizeof(standard),
                                             BasepFileStandardInformation);
        base = standard.EndOfFile;
    } else if (dwMoveMethod != FILE_BEGIN) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!NT_SUCCESS(status)) {
        return BasepFail(status);
    }
    LARGE_INTEGER position;
    position.QuadPart = base.QuadPart + liDistanceToMove.QuadPart;
    if (position.QuadPart < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return FALSE;
    }
    status = BasepNtSetInformationFile(hFile, &position, sizeof(position),
                                       BasepFilePositionInformation);
    if (!NT_SUCCESS(status)) {
        return BasepFail(status);
    }
    if (lpNewFilePointer != nullptr) {
        *lpNewFilePointer = position;
    }
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    BASEP_FILE_STANDARD_INFORMATION standard = {};
    NTSTATUS status = BasepNtQueryInformationFile(hFile, &standard, sizeof(standard),
                                                  BasepFileStandardInformation);
    if (!NT_SUCCESS(status)) {
        return BasepFail(status);
    }
    *lpFileSize = standard.EndOfFile;
    return TRUE;
}

BOOL SetEndOfFile(HANDLE hFile) {
    LARGE_INTEGER position;
    NTSTATUS status = BasepNtQueryInformationFile(hFile, &position, sizeof(position),
                                                  BasepFilePositionInformation);
    if (NT_SUCCESS(status)) {
        status = BasepNtSetInformationFile(hFile, &position, sizeof(position),
                                           BasepFileEndOfFileInformation);
    }
    if (NT_SUCCESS(status)) {
        // The allocation follows the new end, as the platform's does.
        status = BasepNtSetInformationFile(hFile, &position, sizeof(position),
                                           BasepFileAllocationInformation);
    }
    return NT_SUCCESS(status) ? TRUE : BasepFail(status);
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
    std::u16string path = lpFileName != nullptr ? std::u16string(lpFileName) : std::u16string();
    if (path.size() < 3 || path[1] != u':' || path[2] != u'\\') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
    constexpr ULONG deleteAccess = 0x00010000; // DELETE
    constexpr ULONG shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    constexpr ULONG options = 0x40 | 0x4000; // FILE_NON_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT
    NTSTATUS status = BasepNtOpen((u"\\??\\" + path).c_str(), deleteAccess | 0x80 /* read attrs */,
                                  shareAll, 1 /* FILE_OPEN */, options, 0, &handle, &information);
    if (!NT_SUCCESS(status)) {
        return BasepFail(status);
    }
    BOOLEAN deleteFile = TRUE;
    status = BasepNtSetInformationFile(handle, &deleteFile, sizeof(deleteFile),
                                       BasepFileDispositionInformation);
    BasepNtClose(handle);
    return NT_SUCCESS(status) ? TRUE : BasepFail(status);
}
