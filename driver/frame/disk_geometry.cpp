// disk_geometry.cpp - asks the volume below a filter device for its disk
// geometry, with a request that the caller waits for.
//
// Kernel mode, PASSIVE_LEVEL.
#include "frame/frame.h"

#include <ntdddisk.h>

NTSTATUS QueryDiskGeometry(PDEVICE_OBJECT LowerDevice, PVOID Geometry) {
    PAGED_CODE();
    // A threaded request: the I/O manager frees it when it completes, after
    // copying its status and setting the event.
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
