// fs/transfer.cpp - moving file data between callers' buffers and the
// volume: the split of a transfer into cluster runs, read-modify-write of
// partial sectors, zeros beyond the valid data, and the requests sent to the
// top of the volume's device stack.
//
// Kernel mode, PASSIVE_LEVEL; paging I/O at APC_LEVEL. A stream's resource
// is held across its I/O (exclusive for writes that are not paging writes);
// the volume lock only while reading cluster maps.
#include "ntos/fs/fsp.h"
#include "ntos/io/iop.h"

#include <cstring>

namespace {

// Bytes moved by one request to the volume at most.
constexpr ULONG FspMaximumRun = 256 * 1024;

NTSTATUS FspVolumeIoDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

ULONGLONG FspMapRun(FSP_STREAM* Stream, ULONGLONG Offset, ULONG* Length) {
    FSP_VOLUME* volume = Stream->Volume;
    std::lock_guard<std::mutex> guard(volume->Lock);
    const ULONGLONG clusterSize = volume->ClusterSize;
    ULONGLONG index = Offset / clusterSize;
    const ULONGLONG start = Stream->Clusters[index] * clusterSize + Offset % clusterSize;
    ULONGLONG run = clusterSize - Offset % clusterSize;
    while (run < *Length && index + 1 < Stream->Clusters.size() &&
           Stream->Clusters[index + 1] == Stream->Clusters[index] + 1) {
        index++;
        run += clusterSize;
    }
    if (run < *Length) {
        *Length = static_cast<ULONG>(run);
    }
    return start;
}

namespace {

// Reads or writes Length bytes at file Offset (inside the allocated clusters)
// with read-modify-write of the partial sectors at either end.
NTSTATUS FspTransferClusters(FSP_STREAM* Stream, PFILE_OBJECT FileObject, PETHREAD Thread,
                             bool Write, PUCHAR Buffer, ULONG Length, ULONGLONG Offset,
                             ULONG IrpFlags) {
    FSP_VOLUME* volume = Stream->Volume;
    const ULONG sector = volume->SectorSize;
    while (Length != 0) {
        ULONG part = Length < FspMaximumRun ? Length : FspMaximumRun;
        const ULONGLONG at = FspMapRun(Stream, Offset, &part);
        const ULONGLONG first = at / sector * sector;
        const ULONGLONG end = (at + part + sector - 1) / sector * sector;
        const auto span = static_cast<ULONG>(end - first);
        const auto head = static_cast<ULONG>(at - first);
        auto bounce =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, span, FSP_TAG_BOUNCE));
        if (bounce == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        NTSTATUS status = STATUS_SUCCESS;
        if (Write) {
            if (head != 0) {
                status = FspVolumeIo(volume, FileObject, Thread, false, bounce, sector, first,
                                     IrpFlags & ~IRP_PAGING_IO);
            }
            if (NT_SUCCESS(status) && (at + part) % sector != 0 && (span > sector || head == 0)) {
                status = FspVolumeIo(volume, FileObject, Thread, false, bounce + span - sector,
                                     sector, end - sector, IrpFlags & ~IRP_PAGING_IO);
            }
            if (NT_SUCCESS(status)) {
                std::memcpy(bounce + head, Buffer, part);
                status =
                    FspVolumeIo(volume, FileObject, Thread, true, bounce, span, first, IrpFlags);
            }
        } else {
            status = FspVolumeIo(volume, FileObject, Thread, false, bounce, span, first, IrpFlags);
            if (NT_SUCCESS(status)) {
                std::memcpy(Buffer, bounce + head, part);
            }
        }
        ExFreePoolWithTag(bounce, FSP_TAG_BOUNCE);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        Buffer += part;
        Offset += part;
        Length -= part;
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS FspZeroRange(FSP_STREAM* Stream, PFILE_OBJECT FileObject, PETHREAD Thread, ULONGLONG From,
                      ULONGLONG To, ULONG IrpFlags) {
    const ULONG chunk = 64 * 1024;
    auto zeros = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, chunk, FSP_TAG_BOUNCE));
    if (zeros == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(zeros, 0, chunk);
    NTSTATUS status = STATUS_SUCCESS;
    while (From < To && NT_SUCCESS(status)) {
        const ULONG part = To - From < chunk ? static_cast<ULONG>(To - From) : chunk;
        status = FspTransferClusters(Stream, FileObject, Thread, true, zeros, part, From, IrpFlags);
        From += part;
    }
    ExFreePoolWithTag(zeros, FSP_TAG_BOUNCE);
    return status;
}

NTSTATUS FspVolumeIo(FSP_VOLUME* Volume, PFILE_OBJECT FileObject, PETHREAD Thread, bool Write,
                     PVOID Buffer, ULONG Length, ULONGLONG Offset, ULONG IrpFlags) {
    // A removed volume takes no more requests: the lazy writer may still hold
    // pages of its files when plug and play takes the volume away.
    if (IopIsDeviceDeleted(Volume->RealDevice)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Volume->RealDevice);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(Offset);
    PIRP irp = IoBuildAsynchronousFsdRequest(Write ? IRP_MJ_WRITE : IRP_MJ_READ, top, Buffer,
                                             Length, &offset, &iosb);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Flags |= IrpFlags;
    irp->Tail.Overlay.Thread = Thread;
    irp->Tail.Overlay.OriginalFileObject = FileObject;
    IoGetNextIrpStackLocation(irp)->FileObject = FileObject;
    IoSetCompletionRoutine(irp, FspVolumeIoDone, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    status = irp->IoStatus.Status;
    IopFreeMdlChain(irp);
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        if (!Write && NT_SUCCESS(status)) {
            std::memcpy(Buffer, irp->AssociatedIrp.SystemBuffer, Length);
        }
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
    }
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

NTSTATUS FspTransfer(FSP_STREAM* Stream, PFILE_OBJECT FileObject, PETHREAD Thread, bool Write,
                     PVOID Buffer, ULONG Length, ULONGLONG Offset, ULONG IrpFlags,
                     ULONG* Transferred) {
    *Transferred = 0;
    FSP_VOLUME* volume = Stream->Volume;
    const bool paging = (IrpFlags & IRP_PAGING_IO) != 0;
    KeEnterCriticalRegion();
    // Paging writes never change the file's size: they share the stream
    // with readers (and with a cached writer whose page they load).
    if (Write && !paging) {
        ExAcquireResourceExclusiveLite(&Stream->Resource, TRUE);
    } else {
        ExAcquireResourceSharedLite(&Stream->Resource, TRUE);
    }
    ULONGLONG fileSize, validData;
    {
        std::lock_guard<std::mutex> guard(volume->Lock);
        fileSize = Stream->FileSize;
        validData = Stream->ValidDataLength;
    }
    NTSTATUS status = STATUS_SUCCESS;
    ULONGLONG end = Offset + Length;
    bool grew = false;
    if (!Write || paging) {
        // Reads, and paging writes, never go past the end of the file.
        if (Offset >= fileSize) {
            status = Write ? STATUS_SUCCESS : STATUS_END_OF_FILE;
            end = Offset;
        } else if (end > fileSize) {
            end = fileSize;
        }
    } else if (end > fileSize) {
        status = FspSetFileSize(Stream, end);
        grew = NT_SUCCESS(status);
    }
    const auto length = static_cast<ULONG>(end > Offset ? end - Offset : 0);
    auto buffer = static_cast<PUCHAR>(Buffer);
    if (NT_SUCCESS(status) && length != 0) {
        if (Write) {
            if (Offset > validData) {
                status = FspZeroRange(Stream, FileObject, Thread, validData, Offset, IrpFlags);
            }
            if (NT_SUCCESS(status)) {
                status = FspTransferClusters(Stream, FileObject, Thread, true, buffer, length,
                                             Offset, IrpFlags);
            }
            if (NT_SUCCESS(status)) {
                std::lock_guard<std::mutex> guard(volume->Lock);
                if (end > Stream->ValidDataLength) {
                    Stream->ValidDataLength = end;
                }
            }
        } else {
            // Bytes past the valid data read as zeros without touching the volume.
            const ULONGLONG valid = end < validData ? end : validData;
            const ULONG fromVolume = Offset < valid ? static_cast<ULONG>(valid - Offset) : 0;
            if (fromVolume != 0) {
                status = FspTransferClusters(Stream, FileObject, Thread, false, buffer, fromVolume,
                                             Offset, IrpFlags);
            }
            std::memset(buffer + fromVolume, 0, length - fromVolume);
        }
        if (NT_SUCCESS(status)) {
            *Transferred = length;
        }
    }
    if (grew && NT_SUCCESS(status) && Stream != volume->MetadataStream) {
        status = FspWriteMetadata(Stream, Thread);
    }
    ExReleaseResourceLite(&Stream->Resource);
    KeLeaveCriticalRegion();
    return status;
}
