// control_device.cpp - the control device the backup agent opens
// ("\\.\QVDAPI"), its create, close and cleanup, and the routing of its
// control codes to the snapshot operations.
//
// Kernel mode. The dispatch routines run in the caller's thread at
// PASSIVE_LEVEL; they receive the requests of the filter devices too, and
// pass those on to the volume. The control device has no device extension
// and keeps no per-handle state, so any caller may open it any number of
// times. Requests on it are never left pending.
#include "frame/frame.h"
#include "snapshot/snapshot.h"

// Output room every control operation needs at least: its result word.
#define CONTROL_MINIMUM_OUTPUT 4u

NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, QVD_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, QVD_CONTROL_LINK_NAME);

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status =
        IoCreateDevice(DriverObject, 0, &deviceName, QVD_CONTROL_DEVICE_TYPE, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    DriverGlobals.ControlDevice = device;
    return STATUS_SUCCESS;
}

VOID DeleteControlDevice(VOID) {
    PAGED_CODE();
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, QVD_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(DriverGlobals.ControlDevice);
    DriverGlobals.ControlDevice = NULL;
}

static NTSTATUS CompleteControl(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, Boost);
    return Status;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    if (DeviceObject == DriverGlobals.ControlDevice) {
        return CompleteControl(Irp, STATUS_SUCCESS, FILE_OPENED, IO_NO_INCREMENT);
    }
    return PassDown(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchCloseCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    if (DeviceObject == DriverGlobals.ControlDevice) {
        return CompleteControl(Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    }
    return PassDownWithCompletion(DeviceObject, Irp, NULL, NULL);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == DriverGlobals.ControlDevice) {
        return DispatchControlRequest(Irp);
    }
    FilterExtension* extension = (FilterExtension*)DeviceObject->DeviceExtension;
    if (extension != NULL &&
        (extension->Tag == FILTER_TAG_LEGACY || extension->Tag == FILTER_TAG_VOLUME)) {
        return PassDownWithCompletion(DeviceObject, Irp, NULL, NULL);
    }
    return CompleteControl(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
}

//
// RunControlOperation - the operation of a routed code.
//
// Code: the control code. Buffer: the system buffer, input and output.
// InputLength, OutputLength: its lengths. Information: receives the bytes
// to return. Returns the operation's status; STATUS_INVALID_DEVICE_REQUEST
// for a code outside the table. IRQL: PASSIVE_LEVEL.
//
static NTSTATUS RunControlOperation(ULONG Code, PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                                    PULONG_PTR Information) {
    switch (Code) {
    case IOCTL_QVD_QUERY_VERSION:
        return QueryVersion(Buffer, InputLength, OutputLength, Information);
    case IOCTL_QVD_FREEZE_VOLUME:
        return FreezeVolume(Buffer, InputLength, OutputLength, Information);
    case IOCTL_QVD_THAW_VOLUME:
        return ThawVolume(Buffer, InputLength, OutputLength, Information);
    case IOCTL_QVD_REPORT_PROGRESS:
        return ReportProgress(Buffer, InputLength, OutputLength, Information);
    case IOCTL_QVD_ADD_PASS_THROUGH_FILE:
        return AddRemovePassThroughFile(Buffer, InputLength, OutputLength, Information, TRUE);
    case IOCTL_QVD_REMOVE_PASS_THROUGH_FILE:
        return AddRemovePassThroughFile(Buffer, InputLength, OutputLength, Information, FALSE);
    case IOCTL_QVD_CLEAR_PASS_THROUGH_FILES:
        return ClearPassThroughFiles(Buffer, InputLength, OutputLength, Information);
    case IOCTL_QVD_ENABLE_EXTENT_LIST:
        return EnableExtentList(Buffer, InputLength, OutputLength, Information);
    case IOCTL_QVD_READ_EXTENT_LIST:
        return ReadExtentList(Buffer, InputLength, OutputLength, Information);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS DispatchControlRequest(PIRP Irp) {
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR information = 0;
    NTSTATUS status;

    if (outputLength < CONTROL_MINIMUM_OUTPUT) {
        status = STATUS_INVALID_BUFFER_SIZE;
    } else {
        _SEH2_TRY {
            status = RunControlOperation(code, buffer, inputLength, outputLength, &information);
        }
        _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            status = GetExceptionCode();
            information = 0;
        }
        _SEH2_END;
    }
    return CompleteControl(Irp, status, information, IO_DISK_INCREMENT);
}
