// mm/paging_io.cpp - requests the memory manager sends to a mapped file's
// file system: paging reads and writes of its pages, and the queries and
// changes of its size.
//
// Kernel mode, PASSIVE_LEVEL (paging I/O: up to APC_LEVEL). Each request is
// owned by the memory manager, carries the file object and the calling
// thread, and is waited for.
#include "ntos/mm/section.h"

#include <cstring>

namespace {

NTSTATUS MmpRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends Irp (built for FileObject's device) and waits; frees the request and
// its MDL. Returns the final status block.
IO_STATUS_BLOCK MmpSendAndWait(PFILE_OBJECT FileObject, PDEVICE_OBJECT Device, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Irp->Tail.Overlay.Thread = PsGetCurrentThread();
    Irp->Tail.Overlay.OriginalFileObject = FileObject;
    IoGetNextIrpStackLocation(Irp)->FileObject = FileObject;
    IoSetCompletionRoutine(Irp, MmpRequestDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Device, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    IO_STATUS_BLOCK result = Irp->IoStatus;
    if (Irp->MdlAddress != nullptr) {
        MmUnlockPages(Irp->MdlAddress);
        IoFreeMdl(Irp->MdlAddress);
        Irp->MdlAddress = nullptr;
    }
    IoFreeIrp(Irp);
    return result;
}

// A buffered information request (query or set) of FileInformationClass.
NTSTATUS MmpFileInformation(PFILE_OBJECT FileObject, UCHAR MajorFunction,
                            FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length) {
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(FileObject);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = KernelMode;
    irp->Flags =
        IRP_BUFFERED_IO | (MajorFunction == IRP_MJ_QUERY_INFORMATION ? IRP_INPUT_OPERATION : 0);
    irp->AssociatedIrp.SystemBuffer = Buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = MajorFunction;
    if (MajorFunction == IRP_MJ_QUERY_INFORMATION) {
        next->Parameters.QueryFile.Length = Length;
        next->Parameters.QueryFile.FileInformationClass = Class;
    } else {
        next->Parameters.SetFile.Length = Length;
        next->Parameters.SetFile.FileInformationClass = Class;
        next->Parameters.SetFile.FileObject = FileObject;
    }
    return MmpSendAndWait(FileObject, device, irp).Status;
}

} // namespace

NTSTATUS MmpPagingIo(PFILE_OBJECT FileObject, bool Write, PVOID Buffer, ULONG Length,
                     ULONGLONG Offset, bool Synchronous, ULONG_PTR* Transferred) {
    *Transferred = 0;
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(FileObject);
    IO_STATUS_BLOCK iosb = {};
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(Offset);
    PIRP irp = IoBuildAsynchronousFsdRequest(Write ? IRP_MJ_WRITE : IRP_MJ_READ, device, Buffer,
                                             Length, &offset, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Flags |= IRP_PAGING_IO | IRP_NOCACHE;
    if (!Write || Synchronous) {
        irp->Flags |= IRP_SYNCHRONOUS_PAGING_IO;
    }
    // Paging I/O runs with normal kernel APCs blocked, as in a page fault:
    // a driver below that waits for a request completed by an APC to this
    // thread waits for ever.
    KIRQL irql;
    KeRaiseIrql(APC_LEVEL, &irql);
    IO_STATUS_BLOCK result = MmpSendAndWait(FileObject, device, irp);
    KeLowerIrql(irql);
    if (NT_SUCCESS(result.Status)) {
        *Transferred = result.Information;
    }
    return result.Status;
}

NTSTATUS MmpQueryFileSize(PFILE_OBJECT FileObject, ULONGLONG* Size) {
    FILE_STANDARD_INFORMATION info = {};
    NTSTATUS status = MmpFileInformation(FileObject, IRP_MJ_QUERY_INFORMATION,
                                         FileStandardInformation, &info, sizeof(info));
    if (NT_SUCCESS(status)) {
        *Size = static_cast<ULONGLONG>(info.EndOfFile.QuadPart);
    }
    return status;
}

NTSTATUS MmpSetFileSize(PFILE_OBJECT FileObject, ULONGLONG Size) {
    FILE_END_OF_FILE_INFORMATION info = {};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(Size);
    return MmpFileInformation(FileObject, IRP_MJ_SET_INFORMATION, FileEndOfFileInformation, &info,
                              sizeof(info));
}
