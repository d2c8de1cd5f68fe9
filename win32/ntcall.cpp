// win32/ntcall.cpp - user mode's calls into the system services.
#include "win32/ntcall.h"
#include "ntos/fs/file_information.h"
#include "ntos/io/nt_services.h"
#include "ntos/se/token_services.h"
#include "ntifs.h"

NTSTATUS BasepNtOpen(PCWSTR NtPath, ULONG DesiredAccess, ULONG ShareAccess, ULONG Disposition,
                     ULONG CreateOptions, ULONG FileAttributes, HANDLE* Handle,
                     ULONG_PTR* Information) {
    // The name goes to the kernel from the thread's stack: user memory, as
    // the host heap is not.
    WCHAR path[1024];
    size_t length = 0;
    while (NtPath[length] != 0) {
        if (length == 1023) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        path[length] = NtPath[length];
        length++;
    }
    UNICODE_STRING name;
    name.Buffer = path;
    name.Length = static_cast<USHORT>(length * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS status =
        NtCreateFile(Handle, DesiredAccess, &attributes, &iosb, nullptr, FileAttributes,
                     ShareAccess, Disposition, CreateOptions, nullptr, 0);
    *Information = iosb.Information;
    return status;
}

NTSTATUS BasepNtDeviceIoControl(HANDLE Handle, ULONG IoControlCode, PVOID InputBuffer,
                                ULONG InputLength, PVOID OutputBuffer, ULONG OutputLength,
                                ULONG_PTR* Information) {
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS status = NtDeviceIoControlFile(Handle, nullptr, nullptr, nullptr, &iosb, IoControlCode,
                                            InputBuffer, InputLength, OutputBuffer, OutputLength);
    *Information = NT_ERROR(status) ? 0 : iosb.Information;
    return status;
}

NTSTATUS BasepNtReadWrite(BOOLEAN Write, HANDLE Handle, PVOID Buffer, ULONG Length,
                          const LONGLONG* Offset, ULONG_PTR* Information) {
    IO_STATUS_BLOCK iosb = {};
    LARGE_INTEGER offset;
    offset.QuadPart = Offset != nullptr ? *Offset : 0;
    PLARGE_INTEGER byteOffset = Offset != nullptr ? &offset : nullptr;
    NTSTATUS status = Write ? NtWriteFile(Handle, nullptr, nullptr, nullptr, &iosb, Buffer, Length,
                                          byteOffset, nullptr)
                            : NtReadFile(Handle, nullptr, nullptr, nullptr, &iosb, Buffer, Length,
                                         byteOffset, nullptr);
    *Information = NT_ERROR(status) ? 0 : iosb.Information;
    return status;
}

NTSTATUS BasepNtFlushBuffers(HANDLE Handle) {
    IO_STATUS_BLOCK iosb = {};
    return NtFlushBuffersFile(Handle, &iosb);
}

NTSTATUS BasepNtClose(HANDLE Handle) {
    return NtClose(Handle);
}

NTSTATUS BasepNtCreateMutant(BOOLEAN InitialOwner, HANDLE* Handle) {
    return NtCreateMutant(Handle, MUTANT_ALL_ACCESS, nullptr, InitialOwner);
}

NTSTATUS BasepNtReleaseMutant(HANDLE Handle) {
    return NtReleaseMutant(Handle, nullptr);
}

NTSTATUS BasepNtWait(HANDLE Handle, const LONGLONG* Timeout) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = Timeout != nullptr ? *Timeout : 0;
    return NtWaitForSingleObject(Handle, FALSE, Timeout != nullptr ? &timeout : nullptr);
}

NTSTATUS BasepNtAllocateVirtualMemory(PVOID* Base, SIZE_T* Size, ULONG AllocationType,
                                      ULONG Protect) {
    return NtAllocateVirtualMemory(NtCurrentProcess(), Base, 0, Size, AllocationType, Protect);
}

NTSTATUS BasepNtFreeVirtualMemory(PVOID* Base, SIZE_T* Size, ULONG FreeType) {
    return NtFreeVirtualMemory(NtCurrentProcess(), Base, Size, FreeType);
}

NTSTATUS BasepNtOpenProcessToken(HANDLE Process, ULONG DesiredAccess, HANDLE* Token) {
    return NtOpenProcessToken(Process, DesiredAccess, Token);
}

NTSTATUS BasepNtAdjustPrivilegesToken(HANDLE Token, BOOLEAN DisableAll, PVOID NewState,
                                      ULONG BufferLength, PVOID PreviousState,
                                      ULONG* ReturnLength) {
    return NtAdjustPrivilegesToken(Token, DisableAll, static_cast<PTOKEN_PRIVILEGES>(NewState),
                                   BufferLength, static_cast<PTOKEN_PRIVILEGES>(PreviousState),
                                   ReturnLength);
}

NTSTATUS BasepNtQueryInformationFile(HANDLE Handle, PVOID Information, ULONG Length,
                                     ULONG InformationClass) {
    IO_STATUS_BLOCK iosb = {};
    return NtQueryInformationFile(Handle, &iosb, Information, Length,
                                  static_cast<FILE_INFORMATION_CLASS>(InformationClass));
}

NTSTATUS BasepNtSetInformationFile(HANDLE Handle, PVOID Information, ULONG Length,
                                   ULONG InformationClass) {
    IO_STATUS_BLOCK iosb = {};
    return NtSetInformationFile(Handle, &iosb, Information, Length,
                                static_cast<FILE_INFORMATION_CLASS>(InformationClass));
}

NTSTATUS BasepNtCreateSection(HANDLE File, ULONG Protect, LONGLONG MaximumSize, HANDLE* Section) {
    LARGE_INTEGER maximum;
    maximum.QuadPart = MaximumSize;
    return ZwCreateSection(Section, SECTION_ALL_ACCESS, nullptr,
                           MaximumSize != 0 ? &maximum : nullptr, Protect, SEC_COMMIT, File);
}

NTSTATUS BasepNtMapViewOfSection(HANDLE Section, ULONG Protect, LONGLONG Offset, SIZE_T* Size,
                                 PVOID* Base) {
    LARGE_INTEGER offset;
    offset.QuadPart = Offset;
    *Base = nullptr;
    return ZwMapViewOfSection(Section, NtCurrentProcess(), Base, 0, 0, &offset, Size, ViewUnmap, 0,
                              Protect);
}

NTSTATUS BasepNtUnmapViewOfSection(PVOID Base) {
    return ZwUnmapViewOfSection(NtCurrentProcess(), Base);
}
