// filter_device.cpp - the filter devices above the volumes: their creation
// and removal, their plug-and-play and power requests, and the routines that
// hand a request to the device below.
//
// Kernel mode. AddDevice and the plug-and-play handler run at PASSIVE_LEVEL,
// serialised per device by the plug-and-play manager; the pass-through
// routines run at any IRQL up to DISPATCH_LEVEL.
//
// Lifetime. A FilterExtension is in use while a request or a piece of work
// holds a reference (AcquireFilterDevice). Removal stops granting references,
// gives back the one it was created with and waits until the last holder
// has given its reference back; only then does it delete the device.
#include "frame/frame.h"

//
// AcquireFilterDevice - takes a reference on the filter device's record.
// Returns FALSE (nothing taken) once removal has begun. IRQL: <= DISPATCH_LEVEL.
//
BOOLEAN AcquireFilterDevice(FilterExtension* Extension) {
    KIRQL irql = KfAcquireSpinLock(&Extension->UseLock);
    BOOLEAN granted = !Extension->Removing;
    if (granted) {
        Extension->UseCount++;
    }
    KfReleaseSpinLock(&Extension->UseLock, irql);
    return granted;
}

//
// ReleaseFilterDevice - gives back a reference; the last one lets removal
// go on. IRQL: <= DISPATCH_LEVEL.
//
VOID ReleaseFilterDevice(FilterExtension* Extension) {
    KIRQL irql = KfAcquireSpinLock(&Extension->UseLock);
    LONG remaining = --Extension->UseCount;
    KfReleaseSpinLock(&Extension->UseLock, irql);
    if (remaining == 0) {
        KeSetEvent(&Extension->Drained, IO_NO_INCREMENT, FALSE);
    }
}

//
// ReleaseFilterDeviceAndWait - removal's side of the count: no reference is
// granted from now on; the caller's reference and the one the record was
// created with are given back; returns once every other holder has given
// its reference back. IRQL: PASSIVE_LEVEL.
//
static VOID ReleaseFilterDeviceAndWait(FilterExtension* Extension) {
    KIRQL irql = KfAcquireSpinLock(&Extension->UseLock);
    Extension->Removing = TRUE;
    KfReleaseSpinLock(&Extension->UseLock, irql);
    ReleaseFilterDevice(Extension);
    ReleaseFilterDevice(Extension);
    KeWaitForSingleObject(&Extension->Drained, Executive, KernelMode, FALSE, NULL);
}

static VOID LockDeviceList(FilterDeviceList* List) {
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

//
// AddDevice - puts a filter device on top of a volume's stack.
//
// DriverObject: this driver. PhysicalDeviceObject: the volume's PDO.
// Every volume is taken, mounted or not, read-only or not; no outcome is
// logged. Returns STATUS_SUCCESS; STATUS_NO_SUCH_DEVICE without the driver
// object extension or when the attach is refused (the created device is
// deleted again); IoCreateDevice's status when that fails.
// IRQL: PASSIVE_LEVEL.
//
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
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
    extension->SpaceQueryItem.Context = extension;
    KeInitializeSpinLock(&extension->StateLock);
    ExInitializeResourceLite(&extension->VolumeResource);
    KeInitializeSpinLock(&extension->UseLock);
    extension->UseCount = 1;
    KeInitializeEvent(&extension->Drained, NotificationEvent, FALSE);

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
// and deletes it. The caller holds one reference, which this gives back.
// The record must not be touched afterwards. IRQL: PASSIVE_LEVEL.
//
static VOID RemoveFilterDevice(FilterExtension* Extension) {
    PDEVICE_OBJECT device = Extension->Self;
    PDEVICE_OBJECT lower = Extension->LowerDevice;
    FilterDeviceList* list = Extension->DeviceList;

    ReleaseFilterDeviceAndWait(Extension);
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

//
// DispatchPnp - plug-and-play requests.
//
// On the control device: STATUS_NOT_SUPPORTED. On a filter device every
// request goes on to the volume with the current stack location skipped;
// before that, removal ends the snapshot and removes the filter device,
// surprise removal ends the snapshot (the device stays in service), and a
// bus-relations query asks the volume for its geometry (result unused).
// Returns the lower driver's status. IRQL: PASSIVE_LEVEL.
//
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == DriverGlobals.ControlDevice) {
        Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }

    FilterExtension* extension = (FilterExtension*)DeviceObject->DeviceExtension;
    PDEVICE_OBJECT lower = extension->LowerDevice;
    if (!AcquireFilterDevice(extension)) {
        // Removal already ran: the device only waits for its deletion.
        IoSkipCurrentIrpStackLocation(Irp);
        return IofCallDriver(lower, Irp);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
        EndSnapshot(extension, TRUE);
        RemoveFilterDevice(extension);
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
    ReleaseFilterDevice(extension);
    return status;
}

//
// DispatchPower - power requests. The control device completes them with
// success (information left as it came); a filter device lets the next
// power request start and sends this one on. IRQL: <= DISPATCH_LEVEL.
//
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    if (DeviceObject == DriverGlobals.ControlDevice) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    FilterExtension* extension = (FilterExtension*)DeviceObject->DeviceExtension;
    if (!AcquireFilterDevice(extension)) {
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = PoCallDriver(extension->LowerDevice, Irp);
    ReleaseFilterDevice(extension);
    return status;
}

static NTSTATUS CompleteInvalidRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

//
// PassDownWithCompletion - sends a request to the volume below.
//
// DeviceObject: the device the request came to. Irp: the request.
// CompletionRoutine: invoked with Context on success, error and cancel; or
// NULL for none. The control device completes the request with
// STATUS_INVALID_DEVICE_REQUEST, a filter device being removed with
// STATUS_DELETE_PENDING. Returns the lower driver's status.
// IRQL: <= DISPATCH_LEVEL.
//
NTSTATUS PassDownWithCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context) {
    if (DeviceObject == DriverGlobals.ControlDevice) {
        return CompleteInvalidRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    FilterExtension* extension = (FilterExtension*)DeviceObject->DeviceExtension;
    if (!AcquireFilterDevice(extension)) {
        return CompleteInvalidRequest(Irp, STATUS_DELETE_PENDING);
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (CompletionRoutine != NULL) {
        IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    } else {
        IoSetCompletionRoutine(Irp, NULL, NULL, FALSE, FALSE, FALSE);
    }
    NTSTATUS status = IofCallDriver(extension->LowerDevice, Irp);
    ReleaseFilterDevice(extension);
    return status;
}

//
// PassDown - sends a request on to the volume unchanged; the handler of
// every major function without one of its own. See PassDownWithCompletion.
// IRQL: <= DISPATCH_LEVEL.
//
NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassDownWithCompletion(DeviceObject, Irp, NULL, NULL);
}

//
// RequestFileObject - the file object a request is for: its own, else that
// of its master when it is an associated request; may be NULL.
// IRQL: <= DISPATCH_LEVEL.
//
PFILE_OBJECT RequestFileObject(PIRP Irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (file == NULL && (Irp->Flags & IRP_ASSOCIATED_IRP) != 0) {
        PIRP master = Irp->AssociatedIrp.MasterIrp;
        file = IoGetCurrentIrpStackLocation(master)->FileObject;
    }
    return file;
}
