// disk/driver.cpp - \Driver\VolEmu, the driver of the emulated volumes: its
// entry point, dispatch table and request completion.
#include "ntos/disk/diskp.h"

VOID DiskpComplete(DISKP_VOLUME* Volume, PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    if (NT_ERROR(Status)) {
        Volume->FailedRequests.fetch_add(1);
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_DISK_INCREMENT);
}

// Sets every dispatch slot to refuse the request, then the handled ones.
// The volumes are created by the storage routine, not by AddDevice.
// PASSIVE_LEVEL.
NTSTATUS DiskpDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (PDRIVER_DISPATCH& slot : DriverObject->MajorFunction) {
        slot = DiskpDispatchUnsupported;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DiskpDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DiskpDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DiskpDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DiskpDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DiskpDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DiskpDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DiskpDispatchFlush;
    DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DiskpDispatchFlush;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DiskpDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DiskpDispatchPower;
    return STATUS_SUCCESS;
}
