// disk/mount_manager.cpp - the mount manager's device,
// \Device\MountPointManager (\??\MountPointManager): it answers which
// names lead to which volume (IOCTL_MOUNTMGR_QUERY_POINTS). Its driver is
// \Driver\MountMgr, loaded with the volume driver.
//
// Requests complete in the dispatch routine, PASSIVE_LEVEL.
#include "mountmgr.h"
#include "ntos/disk/diskp.h"
#include "ntos/io/iop.h"

#include <cstring>

namespace {

constexpr const WCHAR* DiskpMountManagerLink = u"\\??\\MountPointManager";

NTSTATUS DiskpMountComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

bool DiskpSameNameIgnoringCase(const std::u16string& A, const std::u16string& B) {
    if (A.size() != B.size()) {
        return false;
    }
    for (size_t i = 0; i < A.size(); ++i) {
        if (RtlUpcaseUnicodeChar(A[i]) != RtlUpcaseUnicodeChar(B[i])) {
            return false;
        }
    }
    return true;
}

struct DISKP_POINT {
    const std::u16string* Link;
    const DISKP_MOUNT_NAMES* Volume;
};

// The mount points the query asks for: the one named by a symbolic link,
// every one of the volume named by its unique ID or device name, or all.
NTSTATUS DiskpQueryPoints(PIRP Irp, ULONG_PTR* Information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    if (inLength < sizeof(MOUNTMGR_MOUNT_POINT) || outLength < sizeof(MOUNTMGR_MOUNT_POINTS)) {
        return STATUS_INVALID_PARAMETER;
    }
    MOUNTMGR_MOUNT_POINT query;
    std::memcpy(&query, buffer, sizeof(query));
    auto inside = [&](ULONG Offset, USHORT Length) {
        return Offset <= inLength && Length <= inLength - Offset;
    };
    if (!inside(query.SymbolicLinkNameOffset, query.SymbolicLinkNameLength) ||
        !inside(query.UniqueIdOffset, query.UniqueIdLength) ||
        !inside(query.DeviceNameOffset, query.DeviceNameLength) ||
        query.SymbolicLinkNameLength % sizeof(WCHAR) != 0 ||
        query.DeviceNameLength % sizeof(WCHAR) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto text = [&](ULONG Offset, USHORT Length) {
        std::u16string value(Length / sizeof(WCHAR), u'\0');
        std::memcpy(value.data(), buffer + Offset, Length);
        return value;
    };
    const std::u16string link = text(query.SymbolicLinkNameOffset, query.SymbolicLinkNameLength);
    const std::u16string device = text(query.DeviceNameOffset, query.DeviceNameLength);
    const std::vector<UCHAR> id(buffer + query.UniqueIdOffset,
                                buffer + query.UniqueIdOffset + query.UniqueIdLength);

    const std::vector<DISKP_MOUNT_NAMES> volumes = DiskpListMountNames();
    std::vector<DISKP_POINT> points;
    for (const DISKP_MOUNT_NAMES& volume : volumes) {
        for (const std::u16string& name : volume.Links) {
            const bool wanted = !link.empty()     ? DiskpSameNameIgnoringCase(name, link)
                                : !id.empty()     ? id == volume.UniqueId
                                : !device.empty() ? device == volume.DeviceName
                                                  : true;
            if (wanted) {
                points.push_back(DISKP_POINT{&name, &volume});
            }
        }
    }
    if (points.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }

    // The records, then each point's link name, unique ID and device name.
    ULONG size = static_cast<ULONG>(FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints) +
                                    points.size() * sizeof(MOUNTMGR_MOUNT_POINT));
    for (const DISKP_POINT& point : points) {
        size += static_cast<ULONG>(point.Link->size() * sizeof(WCHAR) +
                                   point.Volume->UniqueId.size() +
                                   point.Volume->DeviceName.size() * sizeof(WCHAR));
    }
    auto* answer = reinterpret_cast<PMOUNTMGR_MOUNT_POINTS>(buffer);
    answer->Size = size;
    answer->NumberOfMountPoints = static_cast<ULONG>(points.size());
    if (outLength < size) {
        *Information = sizeof(MOUNTMGR_MOUNT_POINTS);
        return STATUS_BUFFER_OVERFLOW;
    }
    ULONG next = static_cast<ULONG>(FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints) +
                                    points.size() * sizeof(MOUNTMGR_MOUNT_POINT));
    auto place = [&](const void* Data, size_t Bytes, ULONG* Offset, USHORT* Length) {
        std::memcpy(buffer + next, Data, Bytes);
        *Offset = next;
        *Length = static_cast<USHORT>(Bytes);
        next += static_cast<ULONG>(Bytes);
    };
    for (size_t i = 0; i < points.size(); ++i) {
        MOUNTMGR_MOUNT_POINT entry = {};
        place(points[i].Link->data(), points[i].Link->size() * sizeof(WCHAR),
              &entry.SymbolicLinkNameOffset, &entry.SymbolicLinkNameLength);
        place(points[i].Volume->UniqueId.data(), points[i].Volume->UniqueId.size(),
              &entry.UniqueIdOffset, &entry.UniqueIdLength);
        place(points[i].Volume->DeviceName.data(),
              points[i].Volume->DeviceName.size() * sizeof(WCHAR), &entry.DeviceNameOffset,
              &entry.DeviceNameLength);
        std::memcpy(&answer->MountPoints[i], &entry, sizeof(entry));
    }
    *Information = size;
    return STATUS_SUCCESS;
}

NTSTATUS DiskpMountDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        return DiskpMountComplete(Irp, STATUS_SUCCESS, FILE_OPENED);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        return DiskpMountComplete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_MOUNTMGR_QUERY_POINTS) {
            ULONG_PTR information = 0;
            NTSTATUS status = DiskpQueryPoints(Irp, &information);
            return DiskpMountComplete(Irp, status, information);
        }
        return DiskpMountComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    default:
        return DiskpMountComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS DiskpMountManagerEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (auto& dispatch : DriverObject->MajorFunction) {
        dispatch = DiskpMountDispatch;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, MOUNTMGR_DEVICE_NAME);
    PDEVICE_OBJECT device;
    NTSTATUS status =
        IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_NETWORK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, DiskpMountManagerLink);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS DiskpLoadMountManager() {
    PDRIVER_OBJECT driver;
    return IopLoadDriver(u"MountMgr", DiskpMountManagerEntry, &driver);
}
