// fs/information.cpp - volume size queries, a file's size and setting its
// end, and device control on an open of the volume (passed to the volume's
// stack).
//
// Kernel mode, PASSIVE_LEVEL.
#include "ntos/fs/fsp.h"

namespace {

NTSTATUS FspComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

} // namespace

NTSTATUS FspDispatchQueryVolume(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FSP_VOLUME* volume = FspVolumeOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.QueryVolume.FsInformationClass != FileFsSizeInformation) {
        return FspComplete(Irp, STATUS_INVALID_INFO_CLASS, 0);
    }
    if (stack->Parameters.QueryVolume.Length < sizeof(FILE_FS_SIZE_INFORMATION)) {
        return FspComplete(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    auto info = static_cast<PFILE_FS_SIZE_INFORMATION>(Irp->AssociatedIrp.SystemBuffer);
    {
        std::lock_guard<std::mutex> guard(volume->Lock);
        info->TotalAllocationUnits.QuadPart = static_cast<LONGLONG>(volume->TotalClusters);
        info->AvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(volume->FreeClusters);
    }
    info->SectorsPerAllocationUnit = volume->ClusterSize / volume->SectorSize;
    info->BytesPerSector = volume->SectorSize;
    return FspComplete(Irp, STATUS_SUCCESS, sizeof(FILE_FS_SIZE_INFORMATION));
}

NTSTATUS FspDispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FSP_VOLUME* volume = FspVolumeOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto stream = static_cast<FSP_STREAM*>(stack->FileObject->FsContext);
    if (stack->Parameters.QueryFile.FileInformationClass != FileStandardInformation) {
        return FspComplete(Irp, STATUS_INVALID_INFO_CLASS, 0);
    }
    if (stack->Parameters.QueryFile.Length < sizeof(FILE_STANDARD_INFORMATION)) {
        return FspComplete(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    if (stream == nullptr || stream->IsVolumeOpen) {
        return FspComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    auto info = static_cast<PFILE_STANDARD_INFORMATION>(Irp->AssociatedIrp.SystemBuffer);
    *info = {};
    {
        std::lock_guard<std::mutex> guard(volume->Lock);
        info->AllocationSize.QuadPart =
            static_cast<LONGLONG>(stream->Clusters.size() * volume->ClusterSize);
        info->EndOfFile.QuadPart = static_cast<LONGLONG>(stream->FileSize);
    }
    info->NumberOfLinks = 1;
    info->Directory = stream->IsDirectory;
    return FspComplete(Irp, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
}

NTSTATUS FspDispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto stream = static_cast<FSP_STREAM*>(stack->FileObject->FsContext);
    if (stack->Parameters.SetFile.FileInformationClass != FileEndOfFileInformation) {
        return FspComplete(Irp, STATUS_INVALID_INFO_CLASS, 0);
    }
    if (stack->Parameters.SetFile.Length < sizeof(FILE_END_OF_FILE_INFORMATION)) {
        return FspComplete(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    if (stream == nullptr || stream->IsDirectory || stream->IsVolumeOpen) {
        return FspComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    auto info = static_cast<PFILE_END_OF_FILE_INFORMATION>(Irp->AssociatedIrp.SystemBuffer);
    if (info->EndOfFile.QuadPart < 0) {
        return FspComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&stream->Resource, TRUE);
    NTSTATUS status = FspSetFileSize(stream, static_cast<ULONGLONG>(info->EndOfFile.QuadPart));
    if (NT_SUCCESS(status)) {
        status = FspWriteMetadata(stream, Irp->Tail.Overlay.Thread);
    }
    ExReleaseResourceLite(&stream->Resource);
    KeLeaveCriticalRegion();
    return FspComplete(Irp, status, 0);
}

NTSTATUS FspDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FSP_VOLUME* volume = FspVolumeOf(DeviceObject);
    auto stream =
        static_cast<FSP_STREAM*>(IoGetCurrentIrpStackLocation(Irp)->FileObject->FsContext);
    if (stream == nullptr || !stream->IsVolumeOpen) {
        return FspComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    // The volume's own control codes answer opens of the volume.
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(IoGetAttachedDevice(volume->RealDevice), Irp);
}
