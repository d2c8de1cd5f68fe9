// io/devctl.cpp - device-control requests on a file handle
// (ZwDeviceIoControlFile): buffered, direct and neither methods, waited for
// on synchronous files, signalled by event, file object or APC otherwise.
//
// Kernel mode, PASSIVE_LEVEL. Requests from user mode are not emulated here:
// buffers are the caller's kernel memory.
#include "ntos/io/irptrack.h"
#include "ntos/verifier/bugcheck.h"

#include <cstring>

NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength) {
    PVOID object;
    NTSTATUS status =
        ObReferenceObjectByHandle(FileHandle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto fileObject = static_cast<PFILE_OBJECT>(object);
    PKEVENT event = nullptr;
    if (Event != nullptr) {
        PVOID eventObject;
        status = ObReferenceObjectByHandle(Event, EVENT_MODIFY_STATE, *ExEventObjectType,
                                           KernelMode, &eventObject, nullptr);
        if (!NT_SUCCESS(status)) {
            ObDereferenceObject(fileObject);
            return status;
        }
        event = static_cast<PKEVENT>(eventObject);
        KeClearEvent(event);
    }
    bool synchronous = (fileObject->Flags & FO_SYNCHRONOUS_IO) != 0;
    if (synchronous) {
        KeClearEvent(&fileObject->Event);
    }

    // Builds the request as IoBuildDeviceIoControlRequest does, then makes
    // it a request on this file.
    IO_STATUS_BLOCK* iosb = IoStatusBlock;
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(fileObject);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, device, InputBuffer, InputBufferLength,
                                             OutputBuffer, OutputBufferLength, FALSE, event, iosb);
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

    // The request holds the file object reference from here on.
    ObReferenceObject(fileObject);
    status = IofCallDriver(device, irp);
    if (synchronous && status == STATUS_PENDING) {
        KeWaitForSingleObject(&fileObject->Event, Executive, KernelMode,
                              (fileObject->Flags & FO_ALERTABLE_IO) != 0, nullptr);
        status = fileObject->FinalStatus;
    }
    ObDereferenceObject(fileObject);
    return status;
}
