// fs/readwrite.cpp - the read and write dispatch routine: cached transfers
// through the stream's shared pages; non-cached ones (paging I/O, handles
// opened without intermediate buffering, volume opens) straight to the
// volume, pended on asynchronous handles; and the current byte offset of
// synchronous files.
//
// Kernel mode: PASSIVE_LEVEL in the issuing thread, APC_LEVEL for paging I/O
// (in the faulting thread or a writer thread).
#include "ntos/fs/fsp.h"
#include "ntos/io/iop.h"
#include "ntos/mm/stream_pages.h"

namespace {

#define FSP_TAG_ASYNC EX_POOL_TAG('F', 's', 'A', 's')

// Bytes one associated request moves at most.
constexpr ULONG FspAsyncRun = 256 * 1024;

// An asynchronous non-cached transfer whose runs are associated requests
// of the caller's request.
struct FSP_ASYNC_TRANSFER {
    PIRP Master;         // the caller's request, pending
    FSP_STREAM* Stream;  // NULL for a volume open
    bool Write;          // set at start
    ULONGLONG End;       // file byte after the transfer; set at start
    ULONG Length;        // bytes; set at start
    LONG Left;           // runs not yet completed (interlocked)
    NTSTATUS Status;     // first failure of a run (interlocked), else success
};

NTSTATUS FspComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_DISK_INCREMENT);
    return Status;
}

// Completion of one run: the last one sets the caller's request's status
// and the valid data a write extended. The I/O manager then completes the
// caller's request. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS FspAsyncRunDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto transfer = static_cast<FSP_ASYNC_TRANSFER*>(Context);
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        NTSTATUS expected = STATUS_SUCCESS;
        __atomic_compare_exchange_n(&transfer->Status, &expected, Irp->IoStatus.Status, false,
                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    }
    if (__atomic_sub_fetch(&transfer->Left, 1, __ATOMIC_ACQ_REL) != 0) {
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = __atomic_load_n(&transfer->Status, __ATOMIC_ACQUIRE);
    PIRP master = transfer->Master;
    master->IoStatus.Status = status;
    master->IoStatus.Information = NT_SUCCESS(status) ? transfer->Length : 0;
    if (NT_SUCCESS(status) && transfer->Write && transfer->Stream != nullptr) {
        std::lock_guard<std::mutex> guard(transfer->Stream->Volume->Lock);
        if (transfer->End > transfer->Stream->ValidDataLength) {
            transfer->Stream->ValidDataLength = transfer->End;
        }
    }
    ExFreePoolWithTag(transfer, FSP_TAG_ASYNC);
    return STATUS_SUCCESS;
}

// One run of an asynchronous transfer: volume Offset, Length bytes at Va.
struct FSP_RUN {
    ULONGLONG VolumeOffset;
    PUCHAR Va;
    ULONG Length;
};

// Sends the runs of a non-cached transfer of an asynchronous handle as
// associated requests of Irp and returns STATUS_PENDING; the caller's
// request completes when the last run does. Returns another status, with
// Irp untouched, when the transfer must be done synchronously instead.
NTSTATUS FspStartAsync(FSP_VOLUME* Volume, FSP_STREAM* Stream, PIRP Irp, bool Write,
                       PUCHAR Buffer, ULONG Length, ULONGLONG Offset) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Volume->RealDevice);
    // Runs reach the volume by MDL; a buffered stack (or a removed volume) is
    // served by the synchronous path.
    if ((top->Flags & DO_BUFFERED_IO) || IopIsDeviceDeleted(Volume->RealDevice)) {
        ObDereferenceObject(top);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    std::vector<FSP_RUN> runs;
    NTSTATUS status = STATUS_SUCCESS;
    ULONGLONG end = Offset + Length;
    if (Stream == nullptr) {
        for (ULONG done = 0; done < Length;) {
            const ULONG part = Length - done < FspAsyncRun ? Length - done : FspAsyncRun;
            runs.push_back(FSP_RUN{Offset + done, Buffer + done, part});
            done += part;
        }
    } else {
        // Only transfers wholly inside the valid data (writes may extend it
        // from its end) pend; the rest needs zeros that only the synchronous
        // path provides.
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&Stream->Resource, TRUE);
        ULONGLONG fileSize, validData;
        {
            std::lock_guard<std::mutex> guard(Volume->Lock);
            fileSize = Stream->FileSize;
            validData = Stream->ValidDataLength;
        }
        if (Write ? Offset > validData : end > validData) {
            status = STATUS_MORE_PROCESSING_REQUIRED;
        } else if (end > fileSize) {
            status = FspSetFileSize(Stream, end);
            if (NT_SUCCESS(status)) {
                status = FspWriteMetadata(Stream, Irp->Tail.Overlay.Thread);
            }
        }
        for (ULONG done = 0; NT_SUCCESS(status) && done < Length;) {
            ULONG part = Length - done < FspAsyncRun ? Length - done : FspAsyncRun;
            const ULONGLONG at = FspMapRun(Stream, Offset + done, &part);
            runs.push_back(FSP_RUN{at, Buffer + done, part});
            done += part;
        }
        ExReleaseResourceLite(&Stream->Resource);
        KeLeaveCriticalRegion();
    }
    if (!NT_SUCCESS(status) || status == STATUS_MORE_PROCESSING_REQUIRED) {
        ObDereferenceObject(top);
        return status;
    }

    // Everything the runs need is allocated before the first is sent.
    auto transfer = static_cast<FSP_ASYNC_TRANSFER*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FSP_ASYNC_TRANSFER), FSP_TAG_ASYNC));
    PMDL whole = nullptr;
    if (transfer != nullptr && Irp->MdlAddress == nullptr) {
        whole = IoAllocateMdl(Buffer, Length, FALSE, FALSE, nullptr);
        if (whole != nullptr) {
            _SEH2_TRY {
                MmProbeAndLockPages(whole, Irp->RequestorMode, Write ? IoReadAccess : IoWriteAccess);
            }
            _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
                status = _SEH2_GetExceptionCode();
            }
            _SEH2_END;
            if (!NT_SUCCESS(status)) {
                IoFreeMdl(whole);
                whole = nullptr;
            }
        }
    }
    PMDL source = Irp->MdlAddress != nullptr ? Irp->MdlAddress : whole;
    std::vector<PIRP> associated;
    for (const FSP_RUN& run : runs) {
        if (transfer == nullptr || source == nullptr) {
            break;
        }
        PIRP irp = IoMakeAssociatedIrp(Irp, top->StackSize);
        PMDL partial = irp != nullptr ? IoAllocateMdl(run.Va, run.Length, FALSE, FALSE, nullptr)
                                      : nullptr;
        if (partial == nullptr) {
            if (irp != nullptr) {
                IoFreeIrp(irp);
            }
            break;
        }
        IoBuildPartialMdl(source, partial, run.Va, run.Length);
        irp->MdlAddress = partial;
        irp->UserBuffer = run.Va;
        irp->Flags |= IRP_NOCACHE | (Write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION);
        irp->Tail.Overlay.OriginalFileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = Write ? IRP_MJ_WRITE : IRP_MJ_READ;
        next->FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
        next->Parameters.Read.Length = run.Length;
        next->Parameters.Read.ByteOffset.QuadPart = static_cast<LONGLONG>(run.VolumeOffset);
        IoSetCompletionRoutine(irp, FspAsyncRunDone, transfer, TRUE, TRUE, TRUE);
        associated.push_back(irp);
    }
    if (associated.size() != runs.size()) {
        for (PIRP irp : associated) {
            IoFreeMdl(irp->MdlAddress);
            IoFreeIrp(irp);
        }
        if (whole != nullptr) {
            MmUnlockPages(whole);
            IoFreeMdl(whole);
        }
        if (transfer != nullptr) {
            ExFreePoolWithTag(transfer, FSP_TAG_ASYNC);
        }
        ObDereferenceObject(top);
        return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
    }
    if (whole != nullptr) {
        Irp->MdlAddress = whole; // the I/O manager unlocks and frees it with the request
    }
    *transfer = {};
    transfer->Master = Irp;
    transfer->Stream = Stream;
    transfer->Write = Write;
    transfer->End = end;
    transfer->Length = Length;
    transfer->Left = static_cast<LONG>(associated.size());
    transfer->Status = STATUS_SUCCESS;
    Irp->AssociatedIrp.IrpCount = static_cast<LONG>(associated.size());
    IoMarkIrpPending(Irp);
    for (PIRP irp : associated) {
        IoCallDriver(top, irp);
    }
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

} // namespace

NTSTATUS FspDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FSP_VOLUME* volume = FspVolumeOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    auto stream = static_cast<FSP_STREAM*>(fileObject->FsContext);
    const bool write = stack->MajorFunction == IRP_MJ_WRITE;
    const ULONG length = stack->Parameters.Read.Length;
    const LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
    PETHREAD thread = Irp->Tail.Overlay.Thread;

    PVOID buffer = Irp->UserBuffer;
    if (Irp->MdlAddress != nullptr) {
        buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
    }
    if (stream == nullptr || stream->IsDirectory) {
        return FspComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    auto pages = MmpPagesOf(&stream->SectionObjects);
    // Streams without pages (the volume itself, the internal metadata
    // stream) are never cached.
    const bool paging = (Irp->Flags & IRP_PAGING_IO) != 0;
    const bool nonCached = paging || pages == nullptr || (Irp->Flags & IRP_NOCACHE) ||
                           (fileObject->Flags & FO_NO_INTERMEDIATE_BUFFERING);
    const bool aligned =
        offset % volume->SectorSize == 0 && length % volume->SectorSize == 0;
    if (offset < 0 || (length != 0 && buffer == nullptr) ||
        (nonCached && !paging && !aligned)) {
        // Non-cached transfers move whole sectors, as the platform demands.
        return FspComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (length == 0) {
        return FspComplete(Irp, STATUS_SUCCESS, 0);
    }
    const auto at = static_cast<ULONGLONG>(offset);
    if (nonCached && !paging && pages != nullptr) {
        // What the cache holds for the range reaches the volume first, so a
        // non-cached read sees it and a non-cached write is not overtaken.
        NTSTATUS status = MmpFlushPages(pages, at, length, true, true);
        if (!NT_SUCCESS(status)) {
            return FspComplete(Irp, status, 0);
        }
        if (write) {
            MmpRefreshPages(pages, at, buffer, length);
        }
    }
    if (nonCached && !paging && !(fileObject->Flags & FO_SYNCHRONOUS_IO)) {
        NTSTATUS status =
            FspStartAsync(volume, stream->IsVolumeOpen ? nullptr : stream, Irp, write,
                          static_cast<PUCHAR>(buffer), length, at);
        if (status != STATUS_MORE_PROCESSING_REQUIRED) {
            return status == STATUS_PENDING ? status : FspComplete(Irp, status, 0);
        }
    }

    NTSTATUS status;
    ULONG transferred = 0;
    if (stream->IsVolumeOpen) {
        status = FspVolumeIo(volume, fileObject, thread, write, buffer, length, at, IRP_NOCACHE);
        transferred = NT_SUCCESS(status) ? length : 0;
    } else if (nonCached) {
        const ULONG flags =
            IRP_NOCACHE | (Irp->Flags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO));
        status = FspTransfer(stream, fileObject, thread, write, buffer, length, at, flags,
                             &transferred);
    } else {
        status = FspCachedTransfer(stream, thread, write, buffer, length, at, &transferred);
    }
    if (NT_SUCCESS(status) && (fileObject->Flags & FO_SYNCHRONOUS_IO) && !paging) {
        fileObject->CurrentByteOffset.QuadPart = offset + transferred;
    }
    return FspComplete(Irp, status, transferred);
}
