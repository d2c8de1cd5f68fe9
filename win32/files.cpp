// win32/files.cpp - CreateFileW, ReadFile, WriteFile and CloseHandle.
#include "fileapi.h"
#include "win32/ntcall.h"

#include <string>

#ifndef ERROR_FILE_EXISTS
#define ERROR_FILE_EXISTS 80
#endif

namespace {

// The NT name of a Win32 path; empty when the form is not emulated.
std::u16string BasepNtPathName(LPCWSTR Path) {
    std::u16string path(Path);
    if (path.rfind(u"\\\\.\\", 0) == 0) {
        return u"\\??\\" + path.substr(4);
    }
    if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') {
        return u"\\??\\" + path;
    }
    return {};
}

// The file-creation disposition of a Win32 one, or ~0u.
ULONG BasepDisposition(DWORD CreationDisposition) {
    switch (CreationDisposition) {
    case CREATE_NEW:
        return 2; // FILE_CREATE
    case CREATE_ALWAYS:
        return 5; // FILE_OVERWRITE_IF
    case OPEN_EXISTING:
        return 1; // FILE_OPEN
    case OPEN_ALWAYS:
        return 3; // FILE_OPEN_IF
    case TRUNCATE_EXISTING:
        return 4; // FILE_OVERWRITE
    default:
        return ~0u;
    }
}

BOOL BasepReadWrite(BOOLEAN Write, HANDLE File, LPVOID Buffer, DWORD Length, LPDWORD Transferred,
                    LPOVERLAPPED Overlapped) {
    if (Transferred != nullptr) {
        *Transferred = 0;
    }
    LONGLONG offset = 0;
    if (Overlapped != nullptr) {
        if (Overlapped->hEvent != nullptr) {
            SetLastError(ERROR_NOT_SUPPORTED); // overlapped I/O is not emulated
            return FALSE;
        }
        offset = (LONGLONG(Overlapped->OffsetHigh) << 32) | Overlapped->Offset;
    }
    ULONG_PTR information = 0;
    NTSTATUS status = BasepNtReadWrite(Write, File, Buffer, Length,
                                       Overlapped != nullptr ? &offset : nullptr, &information);
    if (Transferred != nullptr) {
        *Transferred = static_cast<DWORD>(information);
    }
    if (Overlapped != nullptr) {
        Overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
        Overlapped->InternalHigh = information;
    }
    if (!Write && status == STATUS_END_OF_FILE) {
        return TRUE; // end of file is a successful read of 0 bytes
    }
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

} // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (hTemplateFile != nullptr || (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) ||
        (lpSecurityAttributes != nullptr && lpSecurityAttributes->bInheritHandle)) {
        SetLastError(ERROR_NOT_SUPPORTED); // templates, overlapped and inherited handles
        return INVALID_HANDLE_VALUE;
    }
    const ULONG disposition = BasepDisposition(dwCreationDisposition);
    if (disposition == ~0u) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string ntPath = lpFileName != nullptr ? BasepNtPathName(lpFileName) : u"";
    if (ntPath.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ULONG options = 0x20; // FILE_SYNCHRONOUS_IO_NONALERT
    if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
        options |= 0x40; // FILE_NON_DIRECTORY_FILE
    } else {
        options |= 0x4000; // FILE_OPEN_FOR_BACKUP_INTENT
    }
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH)
        options |= 0x2;
    if (dwFlagsAndAttributes & FILE_FLAG_NO_BUFFERING)
        options |= 0x8;
    if (dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN)
        options |= 0x4;
    if (dwFlagsAndAttributes & FILE_FLAG_RANDOM_ACCESS)
        options |= 0x800;
    if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE)
        options |= 0x1000;
    const ULONG access = dwDesiredAccess | SYNCHRONIZE | 0x80; // FILE_READ_ATTRIBUTES
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
    NTSTATUS status = BasepNtOpen(ntPath.c_str(), access, dwShareMode, disposition, options,
                                  dwFlagsAndAttributes & 0x7FA7, &handle, &information);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
        // CREATE_NEW on an existing file: CreateFileW reports the file, not
        // the generic ERROR_ALREADY_EXISTS the status maps to.
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return INVALID_HANDLE_VALUE;
    }
    // Opening an existing file with OPEN_ALWAYS or CREATE_ALWAYS says so.
    const bool existed = information == 1 /* FILE_OPENED */ || information == 3 /* OVERWRITTEN */;
    SetLastError((dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS) &&
                         existed
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return handle;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    return BasepReadWrite(FALSE, hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                          lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    return BasepReadWrite(TRUE, hFile, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                          lpNumberOfBytesWritten, lpOverlapped);
}

BOOL FlushFileBuffers(HANDLE hFile) {
    NTSTATUS status = BasepNtFlushBuffers(hFile);
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    NTSTATUS status = BasepNtClose(hObject);
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}
