// io/build.cpp - requests built for a driver to send to a lower device:
// device-control requests and file-system read/write/flush requests.
//
// Kernel mode. Device-control and synchronous FSD requests are threaded: the
// I/O manager finishes and frees them. Asynchronous FSD requests belong to
// the caller, who frees them and their MDL.
#include "ntos/io/irptrack.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

#include <cstring>

namespace {

// Gives Irp a system buffer of Length bytes, filled from Source when given.
bool IopAllocateSystemBuffer(PIRP Irp, ULONG Length, PVOID Source, ULONG SourceLength) {
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, Length, IOP_TAG_SYSTEM_BUFFER);
    if (buffer == nullptr) {
        return false;
    }
    if (Source != nullptr && SourceLength != 0) {
        std::memcpy(buffer, Source, SourceLength);
    }
    Irp->AssociatedIrp.SystemBuffer = buffer;
    Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
}

// Describes Buffer with a locked MDL chained to Irp.
bool IopLockBuffer(PIRP Irp, PVOID Buffer, ULONG Length, LOCK_OPERATION Operation) {
    PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, Irp);
    if (mdl == nullptr) {
        return false;
    }
    MmProbeAndLockPages(mdl, KernelMode, Operation);
    return true;
}

// Releases what a half-built request holds and frees it.
void IopDiscardIrp(PIRP Irp) {
    if (Irp->MdlAddress != nullptr) {
        MmUnlockPages(Irp->MdlAddress);
        IoFreeMdl(Irp->MdlAddress);
        Irp->MdlAddress = nullptr;
    }
    if (Irp->Flags & IRP_DEALLOCATE_BUFFER) {
        ExFreePoolWithTag(Irp->AssociatedIrp.SystemBuffer, IOP_TAG_SYSTEM_BUFFER);
    }
    IoFreeIrp(Irp);
}

PIRP IopBuildFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                        ULONG Length, PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock,
                        const void* Creator) {
    switch (MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_FLUSH_BUFFERS:
    case IRP_MJ_SHUTDOWN:
    case IRP_MJ_PNP:
    case IRP_MJ_POWER:
        break;
    default:
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "FSD request built for a major function other than read, write, flush, "
                   "shutdown, PnP or power",
                   Creator, MajorFunction);
    }
    PIRP irp = IopAllocateTrackedIrp(DeviceObject->StackSize, IopIrpKind::Owned, Creator);
    if (irp == nullptr) {
        return nullptr;
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);

    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        bool read = MajorFunction == IRP_MJ_READ;
        bool ok = true;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            ok = IopAllocateSystemBuffer(irp, Length, read ? nullptr : Buffer, Length);
            if (ok && read) {
                irp->Flags |= IRP_INPUT_OPERATION;
            }
            irp->UserBuffer = Buffer;
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            ok = IopLockBuffer(irp, Buffer, Length, read ? IoWriteAccess : IoReadAccess);
        } else {
            irp->UserBuffer = Buffer;
        }
        if (!ok) {
            IopDiscardIrp(irp);
            return nullptr;
        }
        next->Parameters.Read.Length = Length;
        if (StartingOffset != nullptr) {
            next->Parameters.Read.ByteOffset = *StartingOffset;
        }
    }
    return irp;
}

} // namespace

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    VfCheckIrqlAtMost(APC_LEVEL, "IoBuildDeviceIoControlRequest", VF_CALLER());
    PIRP irp = IopAllocateTrackedIrp(DeviceObject->StackSize, IopIrpKind::Threaded, VF_CALLER());
    if (irp == nullptr) {
        return nullptr;
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    bool ok = true;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG length =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length != 0) {
            ok = IopAllocateSystemBuffer(irp, length, InputBuffer, InputBufferLength);
            if (ok && OutputBufferLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
                irp->UserBuffer = OutputBuffer;
            }
        }
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBufferLength != 0) {
            ok = IopAllocateSystemBuffer(irp, InputBufferLength, InputBuffer, InputBufferLength);
        }
        if (ok && OutputBufferLength != 0) {
            ok = IopLockBuffer(irp, OutputBuffer, OutputBufferLength,
                               METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT
                                   ? IoReadAccess
                                   : IoWriteAccess);
        }
        break;
    case METHOD_NEITHER:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    if (!ok) {
        IopDiscardIrp(irp);
        return nullptr;
    }
    IopQueueThreadIrp(irp);
    return irp;
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                   ULONG Length, PLARGE_INTEGER StartingOffset,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
    return IopBuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                              IoStatusBlock, VF_CALLER());
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
    VfCheckIrqlAtMost(APC_LEVEL, "IoBuildSynchronousFsdRequest", VF_CALLER());
    PIRP irp = IopBuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                                  IoStatusBlock, VF_CALLER());
    if (irp == nullptr) {
        return nullptr;
    }
    irp->UserEvent = Event;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    IopQueueThreadIrp(irp);
    return irp;
}
