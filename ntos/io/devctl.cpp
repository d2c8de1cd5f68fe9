// io/devctl.cpp - device-control requests on a file handle
// (ZwDeviceIoControlFile): buffered, direct and neither methods, waited for
// on synchronous files, signalled by event, file object or APC otherwise.
//
// Kernel mode, PASSIVE_LEVEL. Requests from user mode are not emulated here:
// buffers are the caller's kernel memory.
#include "ntos/io/irptrack.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

#include <cstring>

NTSTATUS IopReferenceFileByHandle(HANDLE FileHandle, KPROCESSOR_MODE AccessMode,
                                  PFILE_OBJECT* FileObject) {
    PVOID object;
    NTSTATUS status =
        ObReferenceObjectByHandle(FileHandle, 0, *IoFileObjectType, AccessMode, &object, nullptr);
    if (NT_SUCCESS(status)) {
        *FileObject = static_cast<PFILE_OBJECT>(object);
    }
    return status;
}

NTSTATUS IopReferenceEvent(HANDLE Event, PKEVENT* EventObject) {
    *EventObject = nullptr;
    if (Event == nullptr) {
        return STATUS_SUCCESS;
    }
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(Event, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *EventObject = static_cast<PKEVENT>(object);
    KeClearEvent(*EventObject);
    return STATUS_SUCCESS;
}

NTSTATUS IopSendFileRequest(PFILE_OBJECT FileObject, PDEVICE_OBJECT Device, PIRP Irp) {
    const bool synchronous = (FileObject->Flags & FO_SYNCHRONOUS_IO) != 0;
    if (synchronous) {
        KeClearEvent(&FileObject->Event);
    }
    // The request holds the caller's file object reference from here on;
    // keep one for the wait below.
    ObReferenceObject(FileObject);
    NTSTATUS status = IofCallDriver(Device, Irp);
    if (synchronous && status == STATUS_PENDING) {
        KeWaitForSingleObject(&FileObject->Event, Executive, KernelMode,
                              (FileObject->Flags & FO_ALERTABLE_IO) != 0, nullptr);
        status = FileObject->FinalStatus;
    }
    ObDereferenceObject(FileObject);
    return status;
}

NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeviceIoControlFile", VF_CALLER());
    PFILE_OBJECT fileObject;
    NTSTATUS status = IopReferenceFileByHandle(FileHandle, KernelMode, &fileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PKEVENT event;
    status = IopReferenceEvent(Event, &event);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(fileObject);
        return status;
    }

    // Builds the request as IoBuildDeviceIoControlRequest does, then makes
    // it a request on this file.
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(fileObject);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, device, InputBuffer, InputBufferLength,
                                             OutputBuffer, OutputBufferLength, FALSE, event,
                                             IoStatusBlock);
    if (irp == nullptr) {
        if (event != nullptr) {
            ObDereferenceObject(event);
        }
        ObDereferenceObject(fileObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Flags &= ~IRP_SYNCHRONOUS_API;
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    irp->Overlay.AsynchronousParameters.UserApcRoutine = ApcRoutine;
    irp->Overlay.AsynchronousParameters.UserApcContext = ApcContext;
    IoGetNextIrpStackLocation(irp)->FileObject = fileObject;
    {
        std::lock_guard<std::mutex> guard(IopIrpLock());
        IopFindIrpLocked(irp)->DereferenceUserEvent = event != nullptr;
    }
    return IopSendFileRequest(fileObject, device, irp);
}
