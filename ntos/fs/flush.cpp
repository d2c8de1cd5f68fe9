// fs/flush.cpp - IRP_MJ_FLUSH_BUFFERS: writing a file's cached and mapped
// changes back (or every file's, on a volume open) and waiting for them,
// then passing the flush to the volume; and ZwFlushBuffersFile, which sends
// it from kernel code.
//
// Kernel mode, PASSIVE_LEVEL, in the requesting thread.
#include "ntos/fs/fsp.h"
#include "ntos/io/iop.h"

namespace {

NTSTATUS FspFlushDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a flush for FileObject to Device and waits; the final status.
NTSTATUS FspSendFlush(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PIO_STATUS_BLOCK Iosb) {
    PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = FileObject;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    next->FileObject = FileObject;
    IoSetCompletionRoutine(irp, FspFlushDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    *Iosb = irp->IoStatus;
    IoFreeIrp(irp);
    return Iosb->Status;
}

} // namespace

NTSTATUS FspDispatchFlushBuffers(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FSP_VOLUME* volume = FspVolumeOf(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    auto stream = static_cast<FSP_STREAM*>(fileObject->FsContext);
    NTSTATUS status = STATUS_SUCCESS;
    if (stream == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (stream->IsVolumeOpen) {
        for (FSP_STREAM* each : FspVolumeStreams(volume)) {
            const NTSTATUS flushed = FspFlushStream(each, true);
            if (NT_SUCCESS(status) && !NT_SUCCESS(flushed)) {
                status = flushed;
            }
        }
    } else {
        status = FspFlushStream(stream, true);
    }
    if (NT_SUCCESS(status)) {
        // What the file system wrote is on the volume only once the volume's
        // own caches are flushed too.
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(volume->RealDevice);
        IO_STATUS_BLOCK lower = {};
        status = FspSendFlush(top, fileObject, &lower);
        ObDereferenceObject(top);
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
    return FsFlushBuffersFile(FileHandle, KernelMode, IoStatusBlock);
}

NTSTATUS FsFlushBuffersFile(HANDLE FileHandle, KPROCESSOR_MODE Mode, PIO_STATUS_BLOCK Result) {
    PFILE_OBJECT fileObject;
    NTSTATUS status = IopReferenceFileByHandle(FileHandle, Mode, &fileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A flush changes the file: only an open that may write it may ask.
    if (!fileObject->WriteAccess) {
        ObDereferenceObject(fileObject);
        return STATUS_ACCESS_DENIED;
    }
    IO_STATUS_BLOCK iosb = {};
    status = FspSendFlush(IoGetRelatedDeviceObject(fileObject), fileObject, &iosb);
    if (!NT_ERROR(status)) {
        *Result = iosb;
    }
    ObDereferenceObject(fileObject);
    return status;
}
