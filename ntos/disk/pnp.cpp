// disk/pnp.cpp - plug-and-play, power, create/close/cleanup and the other
// requests a volume answers as the lowest driver of its stack.
//
// PASSIVE_LEVEL (power requests: IRQL <= DISPATCH_LEVEL).
#include "ntos/disk/diskp.h"

namespace {

// IRP_MN_QUERY_DEVICE_RELATIONS: a volume names itself as the target device
// and has no children; other relation types are left as they came.
NTSTATUS DiskpQueryRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
        return Irp->IoStatus.Status;
    }
    auto relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), DISK_TAG));
    if (relations == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 1;
    relations->Objects[0] = DeviceObject;
    ObReferenceObject(DeviceObject);
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

// IRP_MN_REMOVE_DEVICE: the volume refuses new requests, lets the queued ones
// finish, drops its name and links and, with nothing attached above it any
// more, deletes its device and frees its record.
VOID DiskpRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DISKP_VOLUME* volume = DiskpVolume(DeviceObject);
    volume->Removed.store(true);
    DiskpStopWorkers(volume);
    if (!volume->LinkName.empty()) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, volume->LinkName.c_str());
        IoDeleteSymbolicLink(&link);
    }
    UNICODE_STRING guidLink;
    RtlInitUnicodeString(&guidLink, volume->GuidLinkName.c_str());
    IoDeleteSymbolicLink(&guidLink);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    // A filter that stayed attached keeps the device; the plug-and-play
    // manager reports it. The record outlives the removal either way, as a
    // device extension outlives IoDeleteDevice while the device is still
    // referenced: a file system that mounted the volume keeps sending its
    // lazy writes here and must find the volume refusing them. Only the
    // backing store goes now; the record is reclaimed with the kernel's.
    if (DeviceObject->AttachedDevice == nullptr) {
        IoDeleteDevice(DeviceObject);
    }
    DiskpDestroyStore(&volume->Store);
}

} // namespace

NTSTATUS DiskpDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DISKP_VOLUME* volume = DiskpVolume(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        volume->Started.store(true);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        status = DiskpQueryRelations(DeviceObject, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        volume->SurpriseRemoved.store(true);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        DiskpRemove(DeviceObject, Irp);
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    default:
        // The bottom of the stack leaves what it does not handle as it came.
        status = Irp->IoStatus.Status;
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DiskpDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState) {
            PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
        }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    default:
        status = Irp->IoStatus.Status;
        break;
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DiskpDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DISKP_VOLUME* volume = DiskpVolume(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        if (volume->Removed.load() || volume->SurpriseRemoved.load()) {
            status = STATUS_NO_SUCH_DEVICE;
        } else {
            information = FILE_OPENED;
        }
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Flush and shutdown: the backing store holds no cache to write back.
NTSTATUS DiskpDispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS DiskpDispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
