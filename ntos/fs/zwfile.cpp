// fs/zwfile.cpp - reads, writes and volume queries on file handles from
// kernel code: ZwReadFile, ZwWriteFile, ZwQueryVolumeInformationFile.
//
// Kernel mode, PASSIVE_LEVEL. The handle is looked up in the current
// (attached) process, or as a kernel handle. A request on a synchronous file
// is waited for; on an asynchronous file its completion writes the status
// block, sets the event (or the file object) and queues the caller's APC
// routine to the issuing thread as a normal kernel APC.
#include "ntos/fs/fsp.h"
#include "ntos/io/iop.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

#include <cstring>

namespace {

#define FSP_TAG_REQUEST EX_POOL_TAG('F', 's', 'R', 'q')

// What the completion of a read or write on a handle must do for its issuer.
struct FSP_HANDLE_REQUEST {
    PFILE_OBJECT FileObject;    // referenced until completion
    PKEVENT Event;              // caller's event object (referenced), or NULL
    PIO_STATUS_BLOCK UserIosb;  // caller's status block
    PIO_APC_ROUTINE ApcRoutine; // caller's APC routine, or NULL
    PVOID ApcContext;
    PKTHREAD Issuer; // thread the APC goes to
    PVOID Buffer;    // caller's buffer, bytes
    ULONG Length;    // its length, bytes
    KAPC Apc;        // carries ApcRoutine to the issuer
};

VOID FspApcKernelRoutine(PKAPC Apc, PKNORMAL_ROUTINE* NormalRoutine, PVOID* NormalContext,
                         PVOID* SystemArgument1, PVOID* SystemArgument2) {
    UNREFERENCED_PARAMETER(Apc);
    UNREFERENCED_PARAMETER(NormalRoutine);
    UNREFERENCED_PARAMETER(NormalContext);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
}

VOID FspApcNormalRoutine(PVOID NormalContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto request = static_cast<FSP_HANDLE_REQUEST*>(NormalContext);
    request->ApcRoutine(request->ApcContext, request->UserIosb, 0);
    ExFreePoolWithTag(request, FSP_TAG_REQUEST);
}

VOID FspApcRundown(PKAPC Apc) {
    ExFreePoolWithTag(CONTAINING_RECORD(Apc, FSP_HANDLE_REQUEST, Apc), FSP_TAG_REQUEST);
}

NTSTATUS FspHandleRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto request = static_cast<FSP_HANDLE_REQUEST*>(Context);
    PFILE_OBJECT fileObject = request->FileObject;
    *request->UserIosb = Irp->IoStatus;
    if (fileObject->Flags & FO_SYNCHRONOUS_IO) {
        fileObject->FinalStatus = Irp->IoStatus.Status;
    }
    if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != nullptr) {
        // A buffered device answered into the request's system buffer: a
        // read hands the caller what the device returned, never more than
        // the caller's buffer holds.
        if ((Irp->Flags & IRP_INPUT_OPERATION) && NT_SUCCESS(Irp->IoStatus.Status)) {
            ULONG_PTR returned = Irp->IoStatus.Information;
            std::memcpy(request->Buffer, Irp->AssociatedIrp.SystemBuffer,
                        returned < request->Length ? returned : request->Length);
        }
        ExFreePool(Irp->AssociatedIrp.SystemBuffer);
        Irp->AssociatedIrp.SystemBuffer = nullptr;
        Irp->Flags &= ~IRP_DEALLOCATE_BUFFER;
    }
    // As the platform's I/O manager does, a request on an asynchronous file
    // that failed without pending reports only through the returned status:
    // no event is signalled and no APC queued, so a caller that gives up on
    // the failure status never meets a late completion.
    const bool reported = !NT_ERROR(Irp->IoStatus.Status) || Irp->PendingReturned ||
                          (fileObject->Flags & FO_SYNCHRONOUS_IO) != 0;
    IopFreeMdlChain(Irp);
    IoFreeIrp(Irp);
    if (!reported) {
        if (request->Event != nullptr) {
            ObDereferenceObject(request->Event);
        }
        ObDereferenceObject(fileObject);
        ExFreePoolWithTag(request, FSP_TAG_REQUEST);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // The request's hold on the file goes before its issuer is woken, so an
    // issuer that closes the file next really closes it.
    if (request->Event != nullptr) {
        ObDereferenceObject(fileObject);
        KeSetEvent(request->Event, IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(request->Event);
    } else {
        KeSetEvent(&fileObject->Event, IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(fileObject);
    }
    if (request->ApcRoutine != nullptr) {
        KeInitializeApc(&request->Apc, request->Issuer, OriginalApcEnvironment, FspApcKernelRoutine,
                        FspApcRundown, FspApcNormalRoutine, KernelMode, request);
        if (KeInsertQueueApc(&request->Apc, nullptr, nullptr, IO_NO_INCREMENT)) {
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    }
    ExFreePoolWithTag(request, FSP_TAG_REQUEST);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FspReadWriteHandle(UCHAR MajorFunction, HANDLE FileHandle, HANDLE Event,
                            PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                            PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                            PLARGE_INTEGER ByteOffset) {
    PFILE_OBJECT fileObject;
    NTSTATUS status = IopReferenceFileByHandle(FileHandle, KernelMode, &fileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const bool synchronous = (fileObject->Flags & FO_SYNCHRONOUS_IO) != 0;
    LARGE_INTEGER offset;
    if (ByteOffset != nullptr) {
        offset = *ByteOffset;
    } else if (synchronous) {
        offset = fileObject->CurrentByteOffset;
    } else {
        ObDereferenceObject(fileObject);
        return STATUS_INVALID_PARAMETER;
    }
    PKEVENT event;
    status = IopReferenceEvent(Event, &event);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(fileObject);
        return status;
    }
    auto request = static_cast<FSP_HANDLE_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FSP_HANDLE_REQUEST), FSP_TAG_REQUEST));
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(fileObject);
    PIRP irp = nullptr;
    if (request != nullptr) {
        irp = IoBuildAsynchronousFsdRequest(MajorFunction, device, Buffer, Length, &offset,
                                            IoStatusBlock);
    }
    if (irp == nullptr) {
        if (request != nullptr) {
            ExFreePoolWithTag(request, FSP_TAG_REQUEST);
        }
        if (event != nullptr) {
            ObDereferenceObject(event);
        }
        ObDereferenceObject(fileObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *request = {};
    request->FileObject = fileObject;
    request->Event = event;
    request->UserIosb = IoStatusBlock;
    request->ApcRoutine = ApcRoutine;
    request->ApcContext = ApcContext;
    request->Issuer = KeGetCurrentThread();
    request->Buffer = Buffer;
    request->Length = Length;
    irp->Flags |= (MajorFunction == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION) |
                  (synchronous ? IRP_SYNCHRONOUS_API : 0);
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    IoGetNextIrpStackLocation(irp)->FileObject = fileObject;
    IoSetCompletionRoutine(irp, FspHandleRequestDone, request, TRUE, TRUE, TRUE);
    return IopSendFileRequest(fileObject, device, irp);
}

NTSTATUS FspQueryDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG Key) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwReadFile", VF_CALLER());
    UNREFERENCED_PARAMETER(Key);
    return FspReadWriteHandle(IRP_MJ_READ, FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock,
                              Buffer, Length, ByteOffset);
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG Key) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwWriteFile", VF_CALLER());
    UNREFERENCED_PARAMETER(Key);
    return FspReadWriteHandle(IRP_MJ_WRITE, FileHandle, Event, ApcRoutine, ApcContext,
                              IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS ZwQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FsInformation, ULONG Length,
                                      FS_INFORMATION_CLASS FsInformationClass) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryVolumeInformationFile", VF_CALLER());
    PFILE_OBJECT fileObject;
    NTSTATUS status = IopReferenceFileByHandle(FileHandle, KernelMode, &fileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(fileObject);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PVOID buffer =
        Length != 0 ? ExAllocatePoolWithTag(NonPagedPool, Length, FSP_TAG_REQUEST) : nullptr;
    if (irp == nullptr || (Length != 0 && buffer == nullptr)) {
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
        if (buffer != nullptr) {
            ExFreePoolWithTag(buffer, FSP_TAG_REQUEST);
        }
        ObDereferenceObject(fileObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->RequestorMode = KernelMode;
    irp->Flags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_QUERY_VOLUME_INFORMATION;
    next->FileObject = fileObject;
    next->Parameters.QueryVolume.Length = Length;
    next->Parameters.QueryVolume.FsInformationClass = FsInformationClass;
    IoSetCompletionRoutine(irp, FspQueryDone, &event, TRUE, TRUE, TRUE);
    status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    status = irp->IoStatus.Status;
    if (!NT_ERROR(status)) {
        ULONG_PTR copied = irp->IoStatus.Information < Length ? irp->IoStatus.Information : Length;
        if (copied != 0) {
            std::memcpy(FsInformation, buffer, copied);
        }
        *IoStatusBlock = irp->IoStatus;
    }
    IoFreeIrp(irp);
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, FSP_TAG_REQUEST);
    }
    ObDereferenceObject(fileObject);
    return status;
}
