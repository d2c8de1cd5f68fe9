// disk/control.cpp - the device-control requests a volume answers: drive
// geometry, partition information and the mount manager's device name and
// unique ID.
// Every other code fails as an unknown request does at the bottom of a
// stack. Requests complete in the dispatch routine. IRQL <= DISPATCH_LEVEL.
#include "ntos/disk/diskp.h"
#include "mountdev.h"
#include "ntdddisk.h"

#include <cstring>

namespace {

NTSTATUS DiskpInjectedControlFault(DISKP_VOLUME* Volume, ULONG IoControlCode) {
    std::lock_guard<std::mutex> guard(Volume->FaultLock);
    for (const DISKP_CONTROL_FAULT& fault : Volume->ControlFaults) {
        if (fault.IoControlCode == IoControlCode) {
            return fault.Status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS DiskpGetGeometry(DISKP_VOLUME* Volume, PVOID Buffer, ULONG Length,
                          ULONG_PTR* Information) {
    if (Length < sizeof(DISK_GEOMETRY)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    DISK_GEOMETRY geometry;
    std::memset(&geometry, 0, sizeof(geometry));
    // A CD-ROM reports the class driver's fixed 64 x 32 layout, a hard disk
    // the usual translated 255 x 63.
    geometry.MediaType = Volume->CdRom ? RemovableMedia : FixedMedia;
    geometry.TracksPerCylinder = Volume->CdRom ? 64 : 255;
    geometry.SectorsPerTrack = Volume->CdRom ? 32 : 63;
    geometry.BytesPerSector = Volume->SectorSize;
    const ULONGLONG sectors = Volume->Store.Bytes / Volume->SectorSize;
    geometry.Cylinders.QuadPart = static_cast<LONGLONG>(
        sectors / (static_cast<ULONGLONG>(geometry.TracksPerCylinder) * geometry.SectorsPerTrack));
    std::memcpy(Buffer, &geometry, sizeof(geometry));
    *Information = sizeof(geometry);
    return STATUS_SUCCESS;
}

NTSTATUS DiskpGetPartitionInfo(DISKP_VOLUME* Volume, PVOID Buffer, ULONG Length,
                               ULONG_PTR* Information) {
    if (Length < sizeof(PARTITION_INFORMATION)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PARTITION_INFORMATION partition;
    std::memset(&partition, 0, sizeof(partition));
    partition.PartitionLength.QuadPart = static_cast<LONGLONG>(Volume->Store.Bytes);
    partition.RecognizedPartition = TRUE;
    if (!Volume->CdRom) {
        // A CD-ROM is one unpartitioned medium; a volume is a partition of
        // an installable file system type on its disk.
        partition.StartingOffset.QuadPart = static_cast<LONGLONG>(DiskpPartitionOffset);
        partition.HiddenSectors = static_cast<ULONG>(DiskpPartitionOffset / Volume->SectorSize);
        partition.PartitionNumber = 1;
        partition.PartitionType = PARTITION_IFS;
    }
    std::memcpy(Buffer, &partition, sizeof(partition));
    *Information = sizeof(partition);
    return STATUS_SUCCESS;
}

NTSTATUS DiskpQueryDeviceName(DISKP_VOLUME* Volume, PVOID Buffer, ULONG Length,
                              ULONG_PTR* Information) {
    if (Length < sizeof(MOUNTDEV_NAME)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* name = static_cast<PMOUNTDEV_NAME>(Buffer);
    const auto nameBytes = static_cast<USHORT>(Volume->DeviceName.size() * sizeof(WCHAR));
    name->NameLength = nameBytes;
    if (Length < FIELD_OFFSET(MOUNTDEV_NAME, Name) + static_cast<ULONG>(nameBytes)) {
        // The caller learns the length it needs and asks again.
        *Information = sizeof(MOUNTDEV_NAME);
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(name->Name, Volume->DeviceName.data(), nameBytes);
    *Information = FIELD_OFFSET(MOUNTDEV_NAME, Name) + nameBytes;
    return STATUS_SUCCESS;
}

NTSTATUS DiskpQueryUniqueId(DISKP_VOLUME* Volume, PVOID Buffer, ULONG Length,
                            ULONG_PTR* Information) {
    if (Length < sizeof(MOUNTDEV_UNIQUE_ID)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* id = static_cast<PMOUNTDEV_UNIQUE_ID>(Buffer);
    const auto idBytes = static_cast<USHORT>(Volume->UniqueId.size());
    id->UniqueIdLength = idBytes;
    if (Length < FIELD_OFFSET(MOUNTDEV_UNIQUE_ID, UniqueId) + static_cast<ULONG>(idBytes)) {
        *Information = sizeof(MOUNTDEV_UNIQUE_ID);
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(id->UniqueId, Volume->UniqueId.data(), idBytes);
    *Information = FIELD_OFFSET(MOUNTDEV_UNIQUE_ID, UniqueId) + idBytes;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS DiskpDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DISKP_VOLUME* volume = DiskpVolume(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    volume->ControlRequests.fetch_add(1);

    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (volume->Removed.load() || volume->SurpriseRemoved.load()) {
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        status = DiskpInjectedControlFault(volume, code);
    }
    if (NT_SUCCESS(status)) {
        switch (code) {
        case IOCTL_DISK_GET_DRIVE_GEOMETRY:
            status = DiskpGetGeometry(volume, buffer, length, &information);
            break;
        case IOCTL_DISK_GET_PARTITION_INFO:
            status = DiskpGetPartitionInfo(volume, buffer, length, &information);
            break;
        case IOCTL_MOUNTDEV_QUERY_DEVICE_NAME:
            status = DiskpQueryDeviceName(volume, buffer, length, &information);
            break;
        case IOCTL_MOUNTDEV_QUERY_UNIQUE_ID:
            status = DiskpQueryUniqueId(volume, buffer, length, &information);
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
    }
    DiskpComplete(volume, Irp, status, information);
    return status;
}
