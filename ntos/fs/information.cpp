// fs/information.cpp - volume size queries, a file's information (times,
// attributes, sizes, position, deletion) and device control on an open of
// the volume (passed to the volume's stack).
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

constexpr ULONG FspSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                        FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NORMAL;

// A file or directory of the volume, not an open of the volume itself.
bool FspIsFileStream(const FSP_STREAM* Stream) {
    return Stream != nullptr && !Stream->IsVolumeOpen;
}

NTSTATUS FspQueryBasic(FSP_STREAM* Stream, PFILE_BASIC_INFORMATION Info) {
    std::lock_guard<std::mutex> guard(Stream->Volume->Lock);
    Info->CreationTime.QuadPart = Stream->CreationTime;
    Info->LastAccessTime.QuadPart = Stream->LastAccessTime;
    Info->LastWriteTime.QuadPart = Stream->LastWriteTime;
    Info->ChangeTime.QuadPart = Stream->ChangeTime;
    Info->FileAttributes = Stream->Attributes != 0 ? Stream->Attributes : FILE_ATTRIBUTE_NORMAL;
    return STATUS_SUCCESS;
}

NTSTATUS FspQueryStandard(FSP_STREAM* Stream, PFILE_STANDARD_INFORMATION Info) {
    FSP_VOLUME* volume = Stream->Volume;
    *Info = {};
    std::lock_guard<std::mutex> guard(volume->Lock);
    Info->AllocationSize.QuadPart =
        static_cast<LONGLONG>(Stream->Clusters.size() * volume->ClusterSize);
    Info->EndOfFile.QuadPart = static_cast<LONGLONG>(Stream->FileSize);
    Info->NumberOfLinks = Stream->DeletePending ? 0 : 1;
    Info->DeletePending = Stream->DeletePending;
    Info->Directory = Stream->IsDirectory;
    return STATUS_SUCCESS;
}

NTSTATUS FspSetBasic(FSP_STREAM* Stream, const FILE_BASIC_INFORMATION* Info, PETHREAD Thread) {
    if (Info->FileAttributes & ~(FspSettableAttributes | FILE_ATTRIBUTE_DIRECTORY)) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> guard(Stream->Volume->Lock);
        if ((Info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !Stream->IsDirectory) {
            return STATUS_INVALID_PARAMETER;
        }
        const LONGLONG* given[4] = {&Info->CreationTime.QuadPart, &Info->LastAccessTime.QuadPart,
                                    &Info->LastWriteTime.QuadPart, &Info->ChangeTime.QuadPart};
        LONGLONG* kept[4] = {&Stream->CreationTime, &Stream->LastAccessTime,
                             &Stream->LastWriteTime, &Stream->ChangeTime};
        for (int i = 0; i < 4; ++i) {
            if (*given[i] != 0) {
                *kept[i] = *given[i];
            }
        }
        if (Info->FileAttributes != 0) {
            // NORMAL alone clears the others; a directory stays a directory.
            Stream->Attributes = (Info->FileAttributes & FspSettableAttributes &
                                  ~ULONG{FILE_ATTRIBUTE_NORMAL}) |
                                 (Stream->IsDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0);
        }
    }
    return FspWriteMetadata(Stream, Thread);
}

NTSTATUS FspSetPosition(FSP_STREAM* Stream, PFILE_OBJECT FileObject,
                        const FILE_POSITION_INFORMATION* Info) {
    const LONGLONG offset = Info->CurrentByteOffset.QuadPart;
    // Unbuffered files move by whole sectors only.
    if (offset < 0 || ((FileObject->Flags & FO_NO_INTERMEDIATE_BUFFERING) &&
                       offset % Stream->Volume->SectorSize != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    FileObject->CurrentByteOffset.QuadPart = offset;
    return STATUS_SUCCESS;
}

// End of file (Allocation false) or allocation (true), under the stream's
// resource.
NTSTATUS FspSetSize(FSP_STREAM* Stream, LONGLONG Size, bool Allocation, PETHREAD Thread) {
    if (Size < 0 || Stream->IsDirectory) {
        return STATUS_INVALID_PARAMETER;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Stream->Resource, TRUE);
    NTSTATUS status = Allocation ? FspSetAllocation(Stream, static_cast<ULONGLONG>(Size))
                                 : FspSetFileSize(Stream, static_cast<ULONGLONG>(Size));
    if (NT_SUCCESS(status)) {
        {
            std::lock_guard<std::mutex> guard(Stream->Volume->Lock);
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            Stream->LastWriteTime = Stream->ChangeTime = now.QuadPart;
        }
        status = FspWriteMetadata(Stream, Thread);
    }
    ExReleaseResourceLite(&Stream->Resource);
    KeLeaveCriticalRegion();
    return status;
}

// Marks the file for deletion at its last cleanup, or takes the mark back.
NTSTATUS FspSetDisposition(FSP_STREAM* Stream, const FILE_DISPOSITION_INFORMATION* Info) {
    FSP_VOLUME* volume = Stream->Volume;
    std::lock_guard<std::mutex> guard(volume->Lock);
    if (!Info->DeleteFile) {
        Stream->DeletePending = false;
        return STATUS_SUCCESS;
    }
    if (Stream == volume->MetadataStream || Stream->Name == u"\\" ||
        (Stream->Attributes & FILE_ATTRIBUTE_READONLY)) {
        return STATUS_CANNOT_DELETE;
    }
    if (Stream->IsDirectory) {
        const std::u16string prefix = FspUpcasePath(Stream->Name) + u"\\";
        auto child = volume->Streams.lower_bound(prefix);
        if (child != volume->Streams.end() && child->first.rfind(prefix, 0) == 0) {
            return STATUS_DIRECTORY_NOT_EMPTY;
        }
    }
    Stream->DeletePending = true;
    return STATUS_SUCCESS;
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
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    auto stream = static_cast<FSP_STREAM*>(fileObject->FsContext);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    const ULONG length = stack->Parameters.QueryFile.Length;
    switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileBasicInformation:
        if (length < sizeof(FILE_BASIC_INFORMATION)) {
            return FspComplete(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        if (!FspIsFileStream(stream)) {
            return FspComplete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        FspQueryBasic(stream, static_cast<PFILE_BASIC_INFORMATION>(buffer));
        return FspComplete(Irp, STATUS_SUCCESS, sizeof(FILE_BASIC_INFORMATION));
    case FileStandardInformation:
        if (length < sizeof(FILE_STANDARD_INFORMATION)) {
            return FspComplete(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        if (!FspIsFileStream(stream)) {
            return FspComplete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        FspQueryStandard(stream, static_cast<PFILE_STANDARD_INFORMATION>(buffer));
        return FspComplete(Irp, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
    case FilePositionInformation:
        if (length < sizeof(FILE_POSITION_INFORMATION)) {
            return FspComplete(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        static_cast<PFILE_POSITION_INFORMATION>(buffer)->CurrentByteOffset =
            fileObject->CurrentByteOffset;
        return FspComplete(Irp, STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
    default:
        return FspComplete(Irp, STATUS_INVALID_INFO_CLASS, 0);
    }
}

NTSTATUS FspDispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    auto stream = static_cast<FSP_STREAM*>(fileObject->FsContext);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    const ULONG length = stack->Parameters.SetFile.Length;
    PETHREAD thread = Irp->Tail.Overlay.Thread;
    ULONG needed;
    switch (stack->Parameters.SetFile.FileInformationClass) {
    case FileBasicInformation:
        needed = sizeof(FILE_BASIC_INFORMATION);
        break;
    case FilePositionInformation:
        needed = sizeof(FILE_POSITION_INFORMATION);
        break;
    case FileEndOfFileInformation:
        needed = sizeof(FILE_END_OF_FILE_INFORMATION);
        break;
    case FileAllocationInformation:
        needed = sizeof(FILE_ALLOCATION_INFORMATION);
        break;
    case FileDispositionInformation:
        needed = sizeof(FILE_DISPOSITION_INFORMATION);
        break;
    default:
        return FspComplete(Irp, STATUS_INVALID_INFO_CLASS, 0);
    }
    if (length < needed) {
        return FspComplete(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    if (stream == nullptr) {
        return FspComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    NTSTATUS status;
    switch (stack->Parameters.SetFile.FileInformationClass) {
    case FilePositionInformation:
        status = FspSetPosition(stream, fileObject,
                                static_cast<const FILE_POSITION_INFORMATION*>(buffer));
        break;
    case FileBasicInformation:
        status = FspIsFileStream(stream)
                     ? FspSetBasic(stream, static_cast<const FILE_BASIC_INFORMATION*>(buffer),
                                   thread)
                     : STATUS_INVALID_PARAMETER;
        break;
    case FileEndOfFileInformation:
        status = FspIsFileStream(stream)
                     ? FspSetSize(stream,
                                  static_cast<PFILE_END_OF_FILE_INFORMATION>(buffer)
                                      ->EndOfFile.QuadPart,
                                  false, thread)
                     : STATUS_INVALID_PARAMETER;
        break;
    case FileAllocationInformation:
        status = FspIsFileStream(stream)
                     ? FspSetSize(stream,
                                  static_cast<PFILE_ALLOCATION_INFORMATION>(buffer)
                                      ->AllocationSize.QuadPart,
                                  true, thread)
                     : STATUS_INVALID_PARAMETER;
        break;
    default: // FileDispositionInformation
        status = FspIsFileStream(stream)
                     ? FspSetDisposition(stream,
                                         static_cast<const FILE_DISPOSITION_INFORMATION*>(buffer))
                     : STATUS_INVALID_PARAMETER;
        break;
    }
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
