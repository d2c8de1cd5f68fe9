// disk_geometry.cpp - asks the volume below a filter device for its disk
// geometry, with a request that the caller waits for.
//
// Kernel mode, PASSIVE_LEVEL.
#include "frame/frame.h"

#include <ntdddisk.h>

//
// QueryDiskGeometry - sends IOCTL_DISK_GET_DRIVE_GEOMETRY to the volume.
//
// LowerDevice: the device below the filter device. Geometry: 24 bytes, the
// request's input and output buffer. The request is built as a threaded
// device-control request, which the I/O manager frees when it completes;
// the caller waits on its event when the volume answers later. Returns the
// request's status, or STATUS_INSUFFICIENT_RESOURCES when it cannot be
// built. IRQL: PASSIVE_LEVEL.
//
NTSTATUS QueryDiskGeometry(PDEVICE_OBJECT LowerDevice, PVOID Geometry) {
    KEVENT done;
    IO_STATUS_BLOCK ioStatus = {};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_DISK_GET_DRIVE_GEOMETRY, LowerDevice, Geometry,
                                             sizeof(DISK_GEOMETRY), Geometry, sizeof(DISK_GEOMETRY),
                                             FALSE, &done, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IofCallDriver(LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}
