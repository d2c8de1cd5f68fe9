// io/nt_services.cpp - the system services user mode calls: opening devices,
// device control, reads and writes, closing handles, mutants, waits and
// user memory; and setting the previous mode those services run under.
//
// Runs in the calling thread at PASSIVE_LEVEL. Arguments from a UserMode
// caller are probed and captured inside exception guards before anything is
// done with them; a fault becomes the service's status, as the platform's
// system-service entry does.
#include "ntos/io/nt_services.h"
#include "ntos/fs/fsp.h"
#include "ntos/io/iodb.h"
#include "ntos/ke/ki.h"
#include "ntos/mm/user_memory.h"
#include "ntos/ob/obp.h"

#include <string>

namespace {

template <typename T> void IopProbeForWriteOf(T* Pointer) {
    ProbeForWrite(Pointer, sizeof(T), alignof(T));
}
template <typename T> void IopProbeForReadOf(const T* Pointer) {
    ProbeForRead(Pointer, sizeof(T), alignof(T));
}

// Runs Access, which reads or writes the caller's memory, inside an
// exception guard; a fault becomes the returned status.
template <typename ACCESS> NTSTATUS IopGuarded(ACCESS Access) {
    NTSTATUS status = STATUS_SUCCESS;
    _SEH2_TRY {
        Access();
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    _SEH2_END;
    return status;
}

// Object attributes and their name, copied out of the caller's memory.
struct IOP_CAPTURED_ATTRIBUTES {
    OBJECT_ATTRIBUTES Attributes; // ObjectName points at Name
    UNICODE_STRING Name;          // Buffer points into Text
    std::u16string Text;
};

NTSTATUS IopCaptureAttributes(POBJECT_ATTRIBUTES Source, KPROCESSOR_MODE Mode,
                              IOP_CAPTURED_ATTRIBUTES* Captured) {
    NTSTATUS status = STATUS_SUCCESS;
    bool hasName = false;
    status = IopGuarded([&] {
        if (Mode == UserMode) {
            IopProbeForReadOf(Source);
        }
        Captured->Attributes = *Source;
        if (Captured->Attributes.ObjectName != nullptr) {
            if (Mode == UserMode) {
                IopProbeForReadOf(Captured->Attributes.ObjectName);
            }
            UNICODE_STRING name = *Captured->Attributes.ObjectName;
            if (Mode == UserMode) {
                ProbeForRead(name.Buffer, name.Length, sizeof(WCHAR));
            }
            Captured->Text.assign(name.Buffer, name.Length / sizeof(WCHAR));
            hasName = true;
        }
    });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (hasName) {
        Captured->Name.Buffer = Captured->Text.data();
        Captured->Name.Length = static_cast<USHORT>(Captured->Text.size() * sizeof(WCHAR));
        Captured->Name.MaximumLength = Captured->Name.Length;
        Captured->Attributes.ObjectName = &Captured->Name;
    }
    if (Mode == UserMode && (Captured->Attributes.Attributes & OBJ_KERNEL_HANDLE)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// Stores a service's results in the caller's memory, probed beforehand.
NTSTATUS IopStoreResult(PIO_STATUS_BLOCK IoStatusBlock, const IO_STATUS_BLOCK& Result) {
    return IopGuarded([&] { *IoStatusBlock = Result; });
}

// Probes the buffers of a request; returns the fault's status or success.
NTSTATUS IopProbeBuffers(PIO_STATUS_BLOCK IoStatusBlock, PVOID ReadBuffer, ULONG ReadLength,
                         PVOID WriteBuffer, ULONG WriteLength) {
    return IopGuarded([&] {
        IopProbeForWriteOf(IoStatusBlock);
        ProbeForRead(ReadBuffer, ReadLength, 1);
        ProbeForWrite(WriteBuffer, WriteLength, 1);
    });
}

// References the file object behind FileHandle. A user caller's handle must
// have been opened for the reads and writes the request does
// (STATUS_ACCESS_DENIED otherwise).
NTSTATUS IopReferenceFileForAccess(HANDLE FileHandle, KPROCESSOR_MODE Mode, bool Reads, bool Writes,
                                   PFILE_OBJECT* FileObject) {
    PFILE_OBJECT fileObject;
    NTSTATUS status = IopReferenceFileByHandle(FileHandle, Mode, &fileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Mode == UserMode &&
        ((Reads && !fileObject->ReadAccess) || (Writes && !fileObject->WriteAccess))) {
        ObDereferenceObject(fileObject);
        return STATUS_ACCESS_DENIED;
    }
    *FileObject = fileObject;
    return STATUS_SUCCESS;
}

// Sends a threaded request built for FileObject's device and waits for it;
// *Result receives the final status block. A request that could not be built
// (Irp NULL) is STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS IopCallAndWait(PDEVICE_OBJECT Device, PIRP Irp, PFILE_OBJECT FileObject,
                        KPROCESSOR_MODE Mode, PKEVENT Event, PIO_STATUS_BLOCK Result) {
    if (Irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->RequestorMode = Mode;
    IoGetNextIrpStackLocation(Irp)->FileObject = FileObject;
    NTSTATUS status = IofCallDriver(Device, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
        status = Result->Status;
    }
    Result->Status = status;
    return status;
}

// A request's status as the service returns it: unless it is an error, the
// final status block is stored for the caller first, and a fault doing so
// becomes the service's status.
NTSTATUS IopReturnResult(NTSTATUS Status, PIO_STATUS_BLOCK IoStatusBlock,
                         const IO_STATUS_BLOCK& Result) {
    if (NT_ERROR(Status)) {
        return Status;
    }
    NTSTATUS stored = IopStoreResult(IoStatusBlock, Result);
    return NT_SUCCESS(stored) ? Status : stored;
}

// Runs a memory service on the caller's *BaseAddress and *RegionSize: both
// are captured, handed to Service and stored back when it succeeds.
template <typename SERVICE>
NTSTATUS IopCallMemoryService(PVOID* BaseAddress, PSIZE_T RegionSize, SERVICE Service) {
    const KPROCESSOR_MODE mode = ExGetPreviousMode();
    NTSTATUS status = STATUS_SUCCESS;
    PVOID base = nullptr;
    SIZE_T size = 0;
    status = IopGuarded([&] {
        if (mode == UserMode) {
            IopProbeForWriteOf(BaseAddress);
            IopProbeForWriteOf(RegionSize);
        }
        base = *BaseAddress;
        size = *RegionSize;
    });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = Service(&base, &size);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    NTSTATUS stored = IopGuarded([&] {
        *BaseAddress = base;
        *RegionSize = size;
    });
    return NT_SUCCESS(stored) ? status : stored;
}

NTSTATUS IopOpen(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                 PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                 ULONG FileAttributes, ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions,
                 PVOID EaBuffer, ULONG EaLength) {
    const KPROCESSOR_MODE mode = ExGetPreviousMode();
    IOP_CAPTURED_ATTRIBUTES captured;
    NTSTATUS status = IopCaptureAttributes(ObjectAttributes, mode, &captured);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LARGE_INTEGER allocation = {};
    status = IopGuarded([&] {
        if (mode == UserMode) {
            IopProbeForWriteOf(FileHandle);
            IopProbeForWriteOf(IoStatusBlock);
            if (AllocationSize != nullptr) {
                IopProbeForReadOf(AllocationSize);
            }
        }
        if (AllocationSize != nullptr) {
            allocation = *AllocationSize;
        }
    });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HANDLE handle;
    IO_STATUS_BLOCK result = {};
    status = IopCreateFileHandle(DesiredAccess, &captured.Attributes, allocation, FileAttributes,
                                 ShareAccess, Disposition, CreateOptions, EaBuffer, EaLength, mode,
                                 &handle, &result);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IopGuarded([&] {
        *FileHandle = handle;
        *IoStatusBlock = result;
    });
    if (!NT_SUCCESS(status)) {
        ObpCloseHandle(handle, mode);
        return status;
    }
    return result.Status;
}

NTSTATUS IopReadWrite(UCHAR MajorFunction, HANDLE FileHandle, HANDLE Event,
                      PIO_APC_ROUTINE ApcRoutine, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                      ULONG Length, PLARGE_INTEGER ByteOffset) {
    const KPROCESSOR_MODE mode = ExGetPreviousMode();
    const bool read = MajorFunction == IRP_MJ_READ;
    if (Event != nullptr || ApcRoutine != nullptr) {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS status = STATUS_SUCCESS;
    LARGE_INTEGER offset = {};
    bool hasOffset = false;
    status = IopGuarded([&] {
        if (mode == UserMode) {
            IopProbeForWriteOf(IoStatusBlock);
            if (read) {
                ProbeForWrite(Buffer, Length, 1);
            } else {
                ProbeForRead(Buffer, Length, 1);
            }
            if (ByteOffset != nullptr) {
                IopProbeForReadOf(ByteOffset);
            }
        }
        if (ByteOffset != nullptr) {
            offset = *ByteOffset;
            hasOffset = true;
        }
    });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PFILE_OBJECT fileObject;
    status = IopReferenceFileForAccess(FileHandle, mode, read, !read, &fileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const bool useCurrentOffset = !hasOffset && (fileObject->Flags & FO_SYNCHRONOUS_IO);
    if (useCurrentOffset) {
        offset = fileObject->CurrentByteOffset;
    } else if (!hasOffset) {
        ObDereferenceObject(fileObject);
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(fileObject);
    KEVENT event;
    IO_STATUS_BLOCK result = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(MajorFunction, device, Buffer, Length, &offset, &event,
                                            &result);
    status = IopCallAndWait(device, irp, fileObject, mode, &event, &result);
    if (useCurrentOffset && NT_SUCCESS(status)) {
        fileObject->CurrentByteOffset.QuadPart = offset.QuadPart + result.Information;
    }
    ObDereferenceObject(fileObject);
    return IopReturnResult(status, IoStatusBlock, result);
}

} // namespace

VOID IopSetThreadPreviousMode(KPROCESSOR_MODE Mode) {
    KeGetCurrentThread()->PreviousMode = Mode;
}

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
    return IopOpen(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                   FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer,
                   EaLength);
}

NTSTATUS NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                    ULONG ShareAccess, ULONG OpenOptions) {
    return IopOpen(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                   ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0);
}

NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength) {
    UNREFERENCED_PARAMETER(ApcContext);
    const KPROCESSOR_MODE mode = ExGetPreviousMode();
    if (Event != nullptr || ApcRoutine != nullptr) {
        return STATUS_NOT_IMPLEMENTED;
    }
    if (mode == UserMode) {
        NTSTATUS status = IopProbeBuffers(IoStatusBlock, InputBuffer, InputBufferLength,
                                          OutputBuffer, OutputBufferLength);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    // The access a control code demands of the handle.
    const ULONG access = (IoControlCode >> 14) & 3;
    PFILE_OBJECT fileObject;
    NTSTATUS status = IopReferenceFileForAccess(FileHandle, mode, (access & FILE_READ_ACCESS) != 0,
                                                (access & FILE_WRITE_ACCESS) != 0, &fileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(fileObject);
    KEVENT event;
    IO_STATUS_BLOCK result = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IoControlCode, device, InputBuffer, InputBufferLength,
                                      OutputBuffer, OutputBufferLength, FALSE, &event, &result);
    status = IopCallAndWait(device, irp, fileObject, mode, &event, &result);
    ObDereferenceObject(fileObject);
    return IopReturnResult(status, IoStatusBlock, result);
}

NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    return IopReadWrite(IRP_MJ_READ, FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length,
                        ByteOffset);
}

NTSTATUS NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    return IopReadWrite(IRP_MJ_WRITE, FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length,
                        ByteOffset);
}

NTSTATUS NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
    const KPROCESSOR_MODE mode = ExGetPreviousMode();
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS status = FsFlushBuffersFile(FileHandle, mode, &iosb);
    if (!NT_ERROR(status)) {
        const NTSTATUS stored = IopGuarded([&] {
            if (mode == UserMode) {
                IopProbeForWriteOf(IoStatusBlock);
            }
            *IoStatusBlock = iosb;
        });
        if (!NT_SUCCESS(stored)) {
            return stored;
        }
    }
    return status;
}

NTSTATUS NtClose(HANDLE Handle) {
    return ObpCloseHandle(Handle, ExGetPreviousMode());
}

NTSTATUS NtCreateMutant(PHANDLE MutantHandle, ACCESS_MASK DesiredAccess,
                        POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN InitialOwner) {
    const KPROCESSOR_MODE mode = ExGetPreviousMode();
    ULONG attributes = 0;
    if (ObjectAttributes != nullptr) {
        IOP_CAPTURED_ATTRIBUTES captured;
        NTSTATUS status = IopCaptureAttributes(ObjectAttributes, mode, &captured);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (captured.Attributes.ObjectName != nullptr) {
            return STATUS_NOT_IMPLEMENTED; // named mutants are not emulated
        }
        attributes = captured.Attributes.Attributes;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (mode == UserMode) {
        status = IopGuarded([&] { IopProbeForWriteOf(MutantHandle); });
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    OBJECT_ATTRIBUTES kernelAttributes;
    InitializeObjectAttributes(&kernelAttributes, nullptr, attributes, nullptr, nullptr);
    HANDLE handle;
    status = ZwCreateMutant(&handle, DesiredAccess, &kernelAttributes, InitialOwner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    NTSTATUS stored = IopGuarded([&] { *MutantHandle = handle; });
    if (!NT_SUCCESS(stored)) {
        ObpCloseHandle(handle, mode);
        return stored;
    }
    return status;
}

NTSTATUS NtReleaseMutant(HANDLE MutantHandle, PLONG PreviousCount) {
    const KPROCESSOR_MODE mode = ExGetPreviousMode();
    NTSTATUS status = STATUS_SUCCESS;
    if (mode == UserMode && PreviousCount != nullptr) {
        status = IopGuarded([&] { IopProbeForWriteOf(PreviousCount); });
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    PVOID mutant;
    status =
        ObReferenceObjectByHandle(MutantHandle, 0, *ExMutantObjectType, mode, &mutant, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG previous = 0;
    status = IopGuarded(
        [&] { previous = KeReleaseMutant(static_cast<PKMUTANT>(mutant), 1, FALSE, FALSE); });
    ObDereferenceObject(mutant);
    if (NT_SUCCESS(status) && PreviousCount != nullptr) {
        status = IopGuarded([&] { *PreviousCount = previous; });
    }
    return status;
}

NTSTATUS NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    const KPROCESSOR_MODE mode = ExGetPreviousMode();
    NTSTATUS status = STATUS_SUCCESS;
    LARGE_INTEGER timeout = {};
    if (Timeout != nullptr) {
        status = IopGuarded([&] {
            if (mode == UserMode) {
                IopProbeForReadOf(Timeout);
            }
            timeout = *Timeout;
        });
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    PVOID object;
    status = ObReferenceObjectByHandle(Handle, SYNCHRONIZE, nullptr, mode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID waitable = object;
    if (ObpGetObjectType(object) == *IoFileObjectType) {
        waitable = &static_cast<PFILE_OBJECT>(object)->Event;
    }
    status = KeWaitForSingleObject(waitable, UserRequest, mode, Alertable,
                                   Timeout != nullptr ? &timeout : nullptr);
    ObDereferenceObject(object);
    return status;
}

NTSTATUS NtAllocateVirtualMemory(HANDLE ProcessHandle, PVOID* BaseAddress, ULONG_PTR ZeroBits,
                                 PSIZE_T RegionSize, ULONG AllocationType, ULONG Protect) {
    if (ProcessHandle != NtCurrentProcess() || ZeroBits != 0) {
        return STATUS_NOT_IMPLEMENTED; // other processes' memory and ZeroBits are not emulated
    }
    return IopCallMemoryService(BaseAddress, RegionSize, [&](PVOID* Base, PSIZE_T Size) {
        return MmpAllocateUserMemory(PsGetCurrentProcess(), Base, Size, AllocationType, Protect);
    });
}

NTSTATUS NtFreeVirtualMemory(HANDLE ProcessHandle, PVOID* BaseAddress, PSIZE_T RegionSize,
                             ULONG FreeType) {
    if (ProcessHandle != NtCurrentProcess()) {
        return STATUS_NOT_IMPLEMENTED;
    }
    return IopCallMemoryService(BaseAddress, RegionSize, [&](PVOID* Base, PSIZE_T Size) {
        return MmpFreeUserMemory(PsGetCurrentProcess(), Base, Size, FreeType);
    });
}
