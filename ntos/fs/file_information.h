// fs/file_information.h - the system services behind win32's file-pointer,
// size and delete routines: NtQueryInformationFile and
// NtSetInformationFile (the classes ZwQueryInformationFile and
// ZwSetInformationFile take).
//
// Run in the calling thread at PASSIVE_LEVEL. From UserMode the buffers
// are probed and the handle must grant what the class needs:
// FILE_READ_ATTRIBUTES to query basic information, FILE_WRITE_ATTRIBUTES to
// set it, FILE_WRITE_DATA to set the end of file or the allocation, DELETE
// to set the disposition.
#pragma once

#include "ntddk.h"

NTSTATUS NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass);
NTSTATUS NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass);
