// nt/fs.h - file I/O on handles, volume information, sections and views, and
// the private volume control block layout of the NT file system.
//
// Kernel mode, PASSIVE_LEVEL. Handles are those of the current process (the
// attached one while attached), or kernel handles.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "nt/io.h"

#ifndef STATUS_SECTION_PROTECTION
#define STATUS_SECTION_PROTECTION ((NTSTATUS)0xC000004EL)
#endif
#ifndef STATUS_INVALID_PARAMETER_6
#define STATUS_INVALID_PARAMETER_6 ((NTSTATUS)0xC00000F4L)
#endif
#ifndef STATUS_INVALID_PARAMETER_8
#define STATUS_INVALID_PARAMETER_8 ((NTSTATUS)0xC00000F6L)
#endif
#ifndef STATUS_MAPPED_FILE_SIZE_ZERO
#define STATUS_MAPPED_FILE_SIZE_ZERO ((NTSTATUS)0xC000011EL)
#endif

// ---------------------------------------------------------------------------
// Reads and writes
// ---------------------------------------------------------------------------
// ByteOffset NULL uses (and advances) the current byte offset of a file opened
// for synchronous I/O; an asynchronous file needs an offset. On a synchronous
// file the call waits and returns the final status. On an asynchronous one it
// may return STATUS_PENDING; completion writes IoStatusBlock, sets Event (or
// the file object) and, with ApcRoutine, runs it in the calling thread by a
// kernel APC at its next wait.
NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG Key);
NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG Key);

// Writes the file's cached and mapped changes to its volume (every file's,
// on a handle to the volume itself) and waits for them: IRP_MJ_FLUSH_BUFFERS.
// The handle must allow writing (STATUS_ACCESS_DENIED otherwise).
NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);

// The record of FileEndOfFileInformation (IRP_MJ_SET_INFORMATION).
typedef struct _FILE_END_OF_FILE_INFORMATION {
    LARGE_INTEGER EndOfFile; // bytes
} FILE_END_OF_FILE_INFORMATION, *PFILE_END_OF_FILE_INFORMATION;

// The record of FileStandardInformation (IRP_MJ_QUERY_INFORMATION).
typedef struct _FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize; // bytes of the clusters allocated
    LARGE_INTEGER EndOfFile;      // bytes
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
} FILE_STANDARD_INFORMATION, *PFILE_STANDARD_INFORMATION;

// ---------------------------------------------------------------------------
// Volume information
// ---------------------------------------------------------------------------
typedef struct _FILE_FS_SIZE_INFORMATION {
    LARGE_INTEGER TotalAllocationUnits;     // clusters of the volume
    LARGE_INTEGER AvailableAllocationUnits; // free clusters
    ULONG SectorsPerAllocationUnit;
    ULONG BytesPerSector;
} FILE_FS_SIZE_INFORMATION, *PFILE_FS_SIZE_INFORMATION;

// Only FileFsSizeInformation is emulated; other classes fail with
// STATUS_INVALID_INFO_CLASS. A buffer shorter than the record:
// STATUS_INFO_LENGTH_MISMATCH.
NTSTATUS ZwQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FsInformation, ULONG Length,
                                      FS_INFORMATION_CLASS FsInformationClass);

// ---------------------------------------------------------------------------
// Sections and views
// ---------------------------------------------------------------------------
#define SECTION_QUERY 0x0001
#define SECTION_MAP_WRITE 0x0002
#define SECTION_MAP_READ 0x0004
#define SECTION_MAP_EXECUTE 0x0008
#define SECTION_EXTEND_SIZE 0x0010
#define SECTION_ALL_ACCESS                                                                         \
    (STANDARD_RIGHTS_REQUIRED | SECTION_QUERY | SECTION_MAP_WRITE | SECTION_MAP_READ |             \
     SECTION_MAP_EXECUTE | SECTION_EXTEND_SIZE)

#ifndef PAGE_NOACCESS
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#endif
#define PAGE_WRITECOPY 0x08

#define SEC_FILE 0x00800000
#define SEC_IMAGE 0x01000000
#define SEC_RESERVE 0x04000000
#define SEC_COMMIT 0x08000000
#define SEC_NOCACHE 0x10000000

typedef enum _SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 } SECTION_INHERIT;

// A section backed by the file FileHandle names (paging-file-backed sections
// are not emulated: FileHandle NULL fails with STATUS_NOT_IMPLEMENTED).
// MaximumSize NULL or 0 takes the file's size (an empty file then fails with
// STATUS_MAPPED_FILE_SIZE_ZERO); a larger size extends a file the section may
// write. SEC_COMMIT and SEC_RESERVE mean the same for a file-backed section.
// Only PAGE_READONLY and PAGE_READWRITE protections are emulated.
NTSTATUS ZwCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER MaximumSize,
                         ULONG SectionPageProtection, ULONG AllocationAttributes,
                         HANDLE FileHandle);

// Maps a view of the section into ProcessHandle's process (only
// NtCurrentProcess() is emulated). *SectionOffset is rounded down to the
// 64 KiB allocation granularity and *ViewSize grows by the difference, then
// up to whole pages; *ViewSize 0 maps to the end of the section. On return
// *BaseAddress is the start of the view (the rounded offset's byte),
// *SectionOffset and *ViewSize the rounded values. Changes made through the
// view reach the file only as paging writes, from the background writer or
// at unmap.
NTSTATUS ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress,
                            ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                            PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition,
                            ULONG AllocationType, ULONG Win32Protect);
// Writes the view's changes back and unmaps it from Process.
// STATUS_NOT_MAPPED_VIEW when BaseAddress is not a view of that process.
NTSTATUS MmUnmapViewOfSection(PEPROCESS Process, PVOID BaseAddress);
NTSTATUS ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress);

// ---------------------------------------------------------------------------
// The NT file system's private volume control block
// ---------------------------------------------------------------------------
// The control block lies inside the file system's volume device object, a
// fixed distance from the start of the device object. Distances and offsets
// are counted in pointer-sized slots, so that on 32-bit x86 (4-byte slots)
// they are the platform's byte offsets and on a 64-bit host they scale.
#define NTFS_VCB_DEVICE_OFFSET (52 * sizeof(PVOID)) // 0xD0 bytes on x86
#define NTFS_NTC_VCB 0x0701                         // 16-bit node type code at offset 0

// Stream file-object pointers (A, B) and the stream control block pointer (S)
// of the internal stream, by build and service pack.
// Build 2195 and later: A = B at 0x5C, S at 0x1C.
#define NTFS_VCB_STREAM_FILE_2195 (23 * sizeof(PVOID))
#define NTFS_VCB_STREAM_SCB_2195 (7 * sizeof(PVOID))
// Earlier builds with a service pack above 3: A = B at 0x44, S at 0x18.
#define NTFS_VCB_STREAM_FILE_SP4 (17 * sizeof(PVOID))
#define NTFS_VCB_STREAM_SCB_SP4 (6 * sizeof(PVOID))
// Earlier builds with service pack 3 or lower: A at 0x3C, B at 0x40, S at 0x18.
#define NTFS_VCB_STREAM_FILE_A_SP3 (15 * sizeof(PVOID))
#define NTFS_VCB_STREAM_FILE_B_SP3 (16 * sizeof(PVOID))
#define NTFS_VCB_STREAM_SCB_SP3 (6 * sizeof(PVOID))
// Bytes of the control block the emulation lays out (every slot above fits).
#define NTFS_VCB_EMULATED_SIZE (24 * sizeof(PVOID))
