// fileapi.h - opening devices and files, reading, writing and closing handles.
//
// User mode of the emulated machine. Names: "\\.\NAME" opens the object
// \??\NAME (a device link such as QVDAPI or C:); "X:\path" opens \??\X:\path.
// Handles are synchronous (FILE_FLAG_OVERLAPPED is refused with
// ERROR_NOT_SUPPORTED); an OVERLAPPED given to ReadFile/WriteFile supplies
// the byte offset only and must have no event.
#pragma once

#include "windows.h"

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_WRITE_THROUGH 0x80000000
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000

#ifndef ERROR_NOT_SUPPORTED
#define ERROR_INVALID_FUNCTION 1
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_NOT_READY 21
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_EOF 38
#define ERROR_NOT_SUPPORTED 50
#define ERROR_ALREADY_EXISTS 183
#define ERROR_NOT_OWNER 288
#define ERROR_INVALID_ADDRESS 487
#define ERROR_NOACCESS 998
#define ERROR_WRITE_PROTECT 19
#define ERROR_DISK_FULL 112
#define ERROR_INVALID_USER_BUFFER 1784
#define ERROR_OPERATION_ABORTED 995
#endif

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#ifndef ERROR_NEGATIVE_SEEK
#define ERROR_NEGATIVE_SEEK 131
#endif

// Moves the file pointer of a synchronous file handle; a position before
// the start fails with ERROR_NEGATIVE_SEEK. lpNewFilePointer may be NULL.
BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                      PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
// Ends the file at its file pointer (shrinking or growing it).
BOOL SetEndOfFile(HANDLE hFile);
// Deletes the file at once, or when its last handle closes if it is open.
BOOL DeleteFileW(LPCWSTR lpFileName);
// The volume GUID path ("\\?\Volume{GUID}\") of the volume mounted at a
// drive's root ("C:\") or named by its own GUID path. The mount point must
// end with a backslash. cchBufferLength: characters of lpszVolumeName (50
// always suffice); too few fail with ERROR_FILENAME_EXCED_RANGE.
BOOL GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName,
                                       DWORD cchBufferLength);
// Closes a kernel object handle (file, device, mutex).
// Writes the file's cached changes (every file's, on a volume handle) to
// the disk and waits for them. The handle must allow writing.
BOOL FlushFileBuffers(HANDLE hFile);
BOOL CloseHandle(HANDLE hObject);
