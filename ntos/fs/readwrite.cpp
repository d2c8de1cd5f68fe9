// fs/readwrite.cpp - the read and write dispatch routine: file data through
// the stream's clusters, volume opens straight to the volume, and the
// current byte offset of synchronous files.
//
// Kernel mode, PASSIVE_LEVEL, in the issuing thread (or the memory manager's
// paging threads). Requests are finished before the routine returns.
#include "ntos/fs/fsp.h"

NTSTATUS FspDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FSP_VOLUME* volume = FspVolumeOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    auto stream = static_cast<FSP_STREAM*>(fileObject->FsContext);
    const bool write = stack->MajorFunction == IRP_MJ_WRITE;
    const ULONG length = stack->Parameters.Read.Length;
    const LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG transferred = 0;

    PVOID buffer = Irp->UserBuffer;
    if (Irp->MdlAddress != nullptr) {
        buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
    }
    // The file system has no cache: every transfer reaches the volume
    // uncached, and paging transfers say so.
    const ULONG flags = IRP_NOCACHE | (Irp->Flags & IRP_PAGING_IO);
    if (stream == nullptr || stream->IsDirectory) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (offset < 0 || (length != 0 && buffer == nullptr)) {
        status = STATUS_INVALID_PARAMETER;
    } else if (length == 0) {
        status = STATUS_SUCCESS;
    } else if (stream->IsVolumeOpen) {
        if (offset % volume->SectorSize != 0 || length % volume->SectorSize != 0) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            status = FspVolumeIo(volume, fileObject, Irp->Tail.Overlay.Thread, write, buffer,
                                 length, static_cast<ULONGLONG>(offset), flags);
            transferred = NT_SUCCESS(status) ? length : 0;
        }
    } else {
        status = FspTransfer(stream, fileObject, Irp->Tail.Overlay.Thread, write, buffer, length,
                             static_cast<ULONGLONG>(offset), flags, &transferred);
    }
    if (NT_SUCCESS(status) && (fileObject->Flags & FO_SYNCHRONOUS_IO) &&
        !(Irp->Flags & IRP_PAGING_IO)) {
        fileObject->CurrentByteOffset.QuadPart = offset + transferred;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = transferred;
    IoCompleteRequest(Irp, IO_DISK_INCREMENT);
    return status;
}
