// fs/zwinformation.cpp - querying and setting a file's information on a
// handle: Zw* for kernel callers, Nt* for user mode. Each builds a buffered
// request for the file system and waits for it.
//
// PASSIVE_LEVEL.
#include "ntos/fs/file_information.h"
#include "ntos/verifier/bugcheck.h"

#include <cstring>
#include <vector>
#include "ntos/verifier/irql_rule.h"

namespace {

#define FSP_TAG_INFORMATION EX_POOL_TAG('F', 's', 'I', 'n')

// What a class needs: its record's size and alignment, and the handle's
// access. The alignment is the record's own, as the I/O manager probes it:
// a one-byte disposition record may sit at any address.
struct FSP_INFORMATION_RULE {
    FILE_INFORMATION_CLASS Class;
    ULONG Size;
    ULONG Alignment;
    ACCESS_MASK QueryAccess; // ~0u: cannot be queried
    ACCESS_MASK SetAccess;   // ~0u: cannot be set
};

constexpr ACCESS_MASK FspNever = ~ACCESS_MASK{0};

constexpr FSP_INFORMATION_RULE FspInformationRules[] = {
    {FileBasicInformation, sizeof(FILE_BASIC_INFORMATION), alignof(FILE_BASIC_INFORMATION),
     FILE_READ_ATTRIBUTES, FILE_WRITE_ATTRIBUTES},
    {FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION), alignof(FILE_STANDARD_INFORMATION),
     0, FspNever},
    {FilePositionInformation, sizeof(FILE_POSITION_INFORMATION), alignof(FILE_POSITION_INFORMATION),
     0, 0},
    {FileEndOfFileInformation, sizeof(FILE_END_OF_FILE_INFORMATION),
     alignof(FILE_END_OF_FILE_INFORMATION), FspNever, FILE_WRITE_DATA},
    {FileAllocationInformation, sizeof(FILE_ALLOCATION_INFORMATION),
     alignof(FILE_ALLOCATION_INFORMATION), FspNever, FILE_WRITE_DATA},
    {FileDispositionInformation, sizeof(FILE_DISPOSITION_INFORMATION),
     alignof(FILE_DISPOSITION_INFORMATION), FspNever, DELETE},
};

// A handle's granted access with generic rights as the file rights they
// stand for.
ACCESS_MASK FspMapFileAccess(ACCESS_MASK Granted) {
    ACCESS_MASK mapped = Granted & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (Granted & GENERIC_READ) {
        mapped |= FILE_GENERIC_READ;
    }
    if (Granted & GENERIC_WRITE) {
        mapped |= FILE_GENERIC_WRITE;
    }
    if (Granted & GENERIC_EXECUTE) {
        mapped |= STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;
    }
    if (Granted & GENERIC_ALL) {
        mapped |= FILE_ALL_ACCESS;
    }
    return mapped;
}

NTSTATUS FspInformationDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the query or set (Set) to the file system with the captured record
// in Buffer (the reply comes back in it) and waits for the final status.
NTSTATUS FspSendInformation(PFILE_OBJECT FileObject, bool Set, FILE_INFORMATION_CLASS Class,
                            std::vector<UCHAR>& Buffer, IO_STATUS_BLOCK* Result) {
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(FileObject);
    const ULONG length = static_cast<ULONG>(Buffer.size());
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PVOID system = ExAllocatePoolWithTag(NonPagedPool, length, FSP_TAG_INFORMATION);
    if (irp == nullptr || system == nullptr) {
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
        if (system != nullptr) {
            ExFreePoolWithTag(system, FSP_TAG_INFORMATION);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(system, Buffer.data(), length);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->RequestorMode = ExGetPreviousMode();
    irp->Flags = IRP_BUFFERED_IO | (Set ? 0 : IRP_INPUT_OPERATION);
    irp->AssociatedIrp.SystemBuffer = system;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = FileObject;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->FileObject = FileObject;
    if (Set) {
        next->MajorFunction = IRP_MJ_SET_INFORMATION;
        next->Parameters.SetFile.Length = length;
        next->Parameters.SetFile.FileInformationClass = Class;
    } else {
        next->MajorFunction = IRP_MJ_QUERY_INFORMATION;
        next->Parameters.QueryFile.Length = length;
        next->Parameters.QueryFile.FileInformationClass = Class;
    }
    IoSetCompletionRoutine(irp, FspInformationDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    *Result = irp->IoStatus;
    if (!Set && !NT_ERROR(Result->Status)) {
        const ULONG_PTR copied = Result->Information < length ? Result->Information : length;
        std::memcpy(Buffer.data(), system, copied);
        Result->Information = copied;
    }
    IoFreeIrp(irp);
    ExFreePoolWithTag(system, FSP_TAG_INFORMATION);
    return Result->Status;
}

NTSTATUS FspFileInformation(bool Set, KPROCESSOR_MODE Mode, HANDLE FileHandle,
                            PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                            FILE_INFORMATION_CLASS Class, const void* Caller) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "file information requested above PASSIVE_LEVEL", Caller,
                   KeGetCurrentIrql());
    }
    const FSP_INFORMATION_RULE* rule = nullptr;
    for (const FSP_INFORMATION_RULE& candidate : FspInformationRules) {
        if (candidate.Class == Class) {
            rule = &candidate;
        }
    }
    const ACCESS_MASK needed =
        rule == nullptr ? FspNever : (Set ? rule->SetAccess : rule->QueryAccess);
    if (needed == FspNever) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (Length < rule->Size) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    PVOID object;
    OBJECT_HANDLE_INFORMATION handleInformation = {};
    NTSTATUS status = ObReferenceObjectByHandle(FileHandle, 0, *IoFileObjectType, Mode, &object,
                                                &handleInformation);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto fileObject = static_cast<PFILE_OBJECT>(object);
    if (Mode != KernelMode && (needed & ~FspMapFileAccess(handleInformation.GrantedAccess)) != 0) {
        ObDereferenceObject(fileObject);
        return STATUS_ACCESS_DENIED;
    }
    // The record goes through a captured copy, as the caller's memory may
    // change or vanish while the file system works; the record is all any
    // class reads or writes.
    std::vector<UCHAR> record(rule->Size);
    status = STATUS_SUCCESS;
    _SEH2_TRY {
        if (Mode != KernelMode) {
            ProbeForWrite(IoStatusBlock, sizeof(IO_STATUS_BLOCK), alignof(ULONG));
            if (Set) {
                ProbeForRead(FileInformation, Length, rule->Alignment);
            } else {
                ProbeForWrite(FileInformation, Length, rule->Alignment);
            }
        }
        if (Set) {
            std::memcpy(record.data(), FileInformation, rule->Size);
        }
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = _SEH2_GetExceptionCode();
    }
    _SEH2_END;
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(fileObject);
        return status;
    }
    IO_STATUS_BLOCK result = {};
    status = FspSendInformation(fileObject, Set, Class, record, &result);
    ObDereferenceObject(fileObject);
    if (NT_ERROR(status)) {
        return status;
    }
    _SEH2_TRY {
        if (!Set) {
            std::memcpy(FileInformation, record.data(), result.Information);
        }
        *IoStatusBlock = result;
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = _SEH2_GetExceptionCode();
    }
    _SEH2_END;
    return status;
}

} // namespace

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryInformationFile", VF_CALLER());
    return FspFileInformation(false, KernelMode, FileHandle, IoStatusBlock, FileInformation, Length,
                              FileInformationClass, VF_CALLER());
}

NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwSetInformationFile", VF_CALLER());
    return FspFileInformation(true, KernelMode, FileHandle, IoStatusBlock, FileInformation, Length,
                              FileInformationClass, VF_CALLER());
}

NTSTATUS NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass) {
    return FspFileInformation(false, ExGetPreviousMode(), FileHandle, IoStatusBlock,
                              FileInformation, Length, FileInformationClass, VF_CALLER());
}

NTSTATUS NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass) {
    return FspFileInformation(true, ExGetPreviousMode(), FileHandle, IoStatusBlock, FileInformation,
                              Length, FileInformationClass, VF_CALLER());
}
