// filter_device.cpp - the filter devices above the volumes: their creation
// and removal, their plug-and-play and power requests, and the routines that
// hand a request to the device below.
//
// Kernel mode. AddDevice and the plug-and-play handler run at PASSIVE_LEVEL,
// serialised per device by the plug-and-play manager; the pass-through
// routines run at any IRQL up to DISPATCH_LEVEL.
//
// Lifetime. A FilterExtension is in use while a request or a piece of work
// holds its remove lock. Removal refuses new acquisitions, gives back its own
// and waits until the last holder has released; only then does it delete the
// device.
#include "frame/frame.h"
#include "support/pool_tags.h"
#include "snapshot/snapshot.h"

static VOID LockDeviceList(FilterDeviceList* List) {
    PAGED_CODE();
    KeWaitForSingleObject(&List->ListLock, Executive, KernelMode, FALSE, NULL);
}

static VOID UnlockDeviceList(FilterDeviceList* List) {
    KeReleaseSemaphore(&List->ListLock, IO_NO_INCREMENT, 1, FALSE);
}

//
// NextVolumeHandleLocked - a volume handle for a new filter device: the one
// after the last given, skipping 0 and any still held by a listed device
// (after the count wraps). Caller holds ListLock.
//
static ULONG NextVolumeHandleLocked(FilterDeviceList* List) {
    for (;;) {
        ULONG candidate = ++List->LastVolumeHandle;
        BOOLEAN taken = (candidate == 0);
        for (PLIST_ENTRY entry = List->FilterDevices.Flink; !taken && entry != &List->FilterDevices;
             entry = entry->Flink) {
            taken = CONTAINING_RECORD(entry, FilterExtension, ListLink)->VolumeHandle == candidate;
        }
        if (!taken) {
            return candidate;
        }
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    FilterDeviceList* list =
        (FilterDeviceList*)IoGetDriverObjectExtension(DriverObject, (PVOID)AddDevice);
    if (list == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FilterExtension), NULL, FILE_DEVICE_DISK,
                                     0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    FilterExtension* extension = (FilterExtension*)device->DeviceExtension;
    RtlZeroMemory(extension, sizeof(*extension));
    device->Flags |= DO_DIRECT_IO;
    extension->Tag = FILTER_TAG_VOLUME;
    extension->Size = sizeof(FilterExtension);
    extension->Self = device;
    extension->DeviceList = list;
    InitializeListHead(&extension->ListLink);
    extension->VolumePdo = PhysicalDeviceObject;
    extension->SpaceQueryItem.Routine = SpaceQueryWork;
    extension->SpaceQueryItem.Context = extension;
    KeInitializeSpinLock(&extension->StateLock);
    ExInitializeResourceLite(&extension->VolumeResource);
    IoInitializeRemoveLock(&extension->RemoveLock, QVD_TAG_REMOVE_LOCK, 0, 0);
    KeInitializeEvent(&extension->ChangeStoresIdle, NotificationEvent, TRUE);

    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (extension->LowerDevice == NULL) {
        ExDeleteResourceLite(&extension->VolumeResource);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    extension->VolumeFlags |= VOLUME_ATTACHED;
    device->Flags |= extension->LowerDevice->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);

    LockDeviceList(list);
    _SEH2_TRY {
        extension->VolumeHandle = NextVolumeHandleLocked(list);
        InsertTailList(&list->FilterDevices, &extension->ListLink);
    }
    _SEH2_FINALLY {
        UnlockDeviceList(list);
    }
    _SEH2_END;

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

//
// RemoveFilterDevice - takes a filter device out of service for good: waits
// until no request or work holds it, unlinks it, detaches it from the volume
// and deletes it. The caller holds the remove lock with Irp as its tag; this
// releases it. The record must not be touched afterwards. IRQL: PASSIVE_LEVEL.
//
static VOID RemoveFilterDevice(FilterExtension* Extension, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_OBJECT device = Extension->Self;
    PDEVICE_OBJECT lower = Extension->LowerDevice;
    FilterDeviceList* list = Extension->DeviceList;

    IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);
    LockDeviceList(list);
    _SEH2_TRY {
        RemoveEntryList(&Extension->ListLink);
        ExDeleteResourceLite(&Extension->VolumeResource);
    }
    _SEH2_FINALLY {
        UnlockDeviceList(list);
    }
    _SEH2_END;
    IoDetachDevice(lower);
    IoDeleteDevice(device);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    if (DeviceObject == DriverGlobals.ControlDevice) {
        Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }

    FilterExtension* extension = (FilterExtension*)DeviceObject->DeviceExtension;
    PDEVICE_OBJECT lower = extension->LowerDevice;
    if (!NT_SUCCESS(IoAcquireRemoveLock(&extension->RemoveLock, Irp))) {
        // Removal already ran: the device only waits for its deletion.
        IoSkipCurrentIrpStackLocation(Irp);
        return IofCallDriver(lower, Irp);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
        EndSnapshot(extension, TRUE);
        RemoveFilterDevice(extension, Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return IofCallDriver(lower, Irp);

    case IRP_MN_SURPRISE_REMOVAL:
        EndSnapshot(extension, TRUE);
        break;

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            UCHAR geometry[24];
            RtlZeroMemory(geometry, sizeof(geometry));
            QueryDiskGeometry(lower, geometry);
        }
        break;

    default:
        break;
    }

    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IofCallDriver(lower, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    if (DeviceObject == DriverGlobals.ControlDevice) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    FilterExtension* extension = (FilterExtension*)DeviceObject->DeviceExtension;
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

static NTSTATUS CompleteInvalidRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS PassDownWithCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context) {
    if (DeviceObject == DriverGlobals.ControlDevice) {
        return CompleteInvalidRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    FilterExtension* extension = (FilterExtension*)DeviceObject->DeviceExtension;
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteInvalidRequest(Irp, status);
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (CompletionRoutine != NULL) {
        IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    } else {
        IoSetCompletionRoutine(Irp, NULL, NULL, FALSE, FALSE, FALSE);
    }
    status = IofCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassDownWithCompletion(DeviceObject, Irp, NULL, NULL);
}

PFILE_OBJECT RequestFileObject(PIRP Irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (file == NULL && (Irp->Flags & IRP_ASSOCIATED_IRP) != 0) {
        PIRP master = Irp->AssociatedIrp.MasterIrp;
        file = IoGetCurrentIrpStackLocation(master)->FileObject;
    }
    return file;
}
