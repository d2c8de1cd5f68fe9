// disk/readwrite.cpp - reads and writes of a volume: validation in the
// dispatch routine, the transfer on a worker thread, and completion at the
// IRQL the volume is set to.
#include "ntos/disk/diskp.h"
#include "ntos/verifier/bugcheck.h"

namespace {

// The injected status of a fault covering any byte of the transfer or of the
// counted transfer fault, or STATUS_SUCCESS. Counts the transfer.
NTSTATUS DiskpInjectedFault(DISKP_VOLUME* Volume, ULONG Operation, ULONGLONG Offset, ULONG Length) {
    std::lock_guard<std::mutex> guard(Volume->FaultLock);
    if (++Volume->TransfersSinceMark == Volume->FailTransfer) {
        return Volume->FailTransferStatus;
    }
    for (const DISKP_RANGE_FAULT& fault : Volume->RangeFaults) {
        if ((fault.Operations & Operation) != 0 && Offset < fault.Offset + fault.Length &&
            fault.Offset < Offset + Length) {
            return fault.Status;
        }
    }
    return STATUS_SUCCESS;
}

KIRQL DiskpNextCompletionIrql(DISKP_VOLUME* Volume) {
    switch (Volume->CompletionIrql.load(std::memory_order_relaxed)) {
    case DiskCompletePassive:
        return PASSIVE_LEVEL;
    case DiskCompleteDispatch:
        return DISPATCH_LEVEL;
    default:
        return (Volume->CompletionSequence.fetch_add(1, std::memory_order_relaxed) & 1) != 0
                   ? DISPATCH_LEVEL
                   : PASSIVE_LEVEL;
    }
}

} // namespace

// Validates a read or write as a disk does and queues it for the workers.
// Returns STATUS_PENDING, or the status of a request refused at once.
// IRQL <= DISPATCH_LEVEL.
NTSTATUS DiskpDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DISKP_VOLUME* volume = DiskpVolume(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const bool write = stack->MajorFunction == IRP_MJ_WRITE;
    const LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
    const ULONG length = stack->Parameters.Read.Length;

    if (volume->Removed.load() || volume->SurpriseRemoved.load()) {
        DiskpComplete(volume, Irp, STATUS_NO_SUCH_DEVICE, 0);
        return STATUS_NO_SUCH_DEVICE;
    }
    const ULONGLONG bytes = volume->Store.Bytes;
    if (offset < 0 || static_cast<ULONGLONG>(offset) % volume->SectorSize != 0 ||
        length % volume->SectorSize != 0 || static_cast<ULONGLONG>(offset) > bytes ||
        length > bytes - static_cast<ULONGLONG>(offset)) {
        DiskpComplete(volume, Irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    if (length != 0) {
        if (Irp->MdlAddress == nullptr) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "read or write without an MDL sent to a direct-I/O volume", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(Irp), length);
        }
        if (MmGetMdlByteCount(Irp->MdlAddress) < length) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "read or write longer than the buffer its MDL describes", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(Irp), length,
                       MmGetMdlByteCount(Irp->MdlAddress));
        }
    }
    (write ? volume->WriteRequests : volume->ReadRequests).fetch_add(1);
    Irp->IoStatus.Information = 0;
    IoMarkIrpPending(Irp);
    DiskpQueueRequest(volume, Irp);
    return STATUS_PENDING;
}

// Moves the data of one queued request between its MDL and the backing
// store, then completes it. Worker thread, PASSIVE_LEVEL.
VOID DiskpServeRequest(DISKP_VOLUME* Volume, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const bool write = stack->MajorFunction == IRP_MJ_WRITE;
    const auto offset = static_cast<ULONGLONG>(stack->Parameters.Read.ByteOffset.QuadPart);
    const ULONG length = stack->Parameters.Read.Length;

    NTSTATUS status = STATUS_SUCCESS;
    if (Volume->SurpriseRemoved.load()) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (write && (Volume->ReadOnly || Volume->WriteProtected.load())) {
        status = STATUS_MEDIA_WRITE_PROTECTED;
    } else {
        status =
            DiskpInjectedFault(Volume, write ? DISK_FAULT_WRITE : DISK_FAULT_READ, offset, length);
    }
    if (NT_SUCCESS(status) && length != 0) {
        PVOID buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
        if (buffer == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else if (write) {
            status = DiskpStoreWrite(&Volume->Store, offset, buffer, length);
        } else {
            status = DiskpStoreRead(&Volume->Store, offset, buffer, length);
        }
    }
    if (NT_SUCCESS(status)) {
        (write ? Volume->WriteBytes : Volume->ReadBytes).fetch_add(length);
    }

    KIRQL oldIrql = PASSIVE_LEVEL;
    const KIRQL irql = DiskpNextCompletionIrql(Volume);
    if (irql == DISPATCH_LEVEL) {
        KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    }
    DiskpComplete(Volume, Irp, status, NT_SUCCESS(status) ? length : 0);
    if (irql == DISPATCH_LEVEL) {
        KeLowerIrql(oldIrql);
    }
}
