// fs/stream.cpp - streams: their records, cluster allocation and size
// changes, and the metadata record written for each file through the
// volume's internal stream.
//
// Kernel mode, PASSIVE_LEVEL. Cluster maps are guarded by the volume's lock,
// which is never held across I/O.
#include "ntos/fs/fsp.h"
#include "ntos/mm/stream_pages.h"

#include <cstring>

namespace {

// A file's metadata record as the internal stream stores it.
struct FSP_RECORD_HEADER {
    ULONG Magic; // 'ELIF'
    ULONG FileNumber;
    ULONGLONG FileSize; // bytes
    ULONGLONG Clusters; // clusters allocated
    ULONG Attributes;
    ULONG NameLength; // characters following the header
};
constexpr ULONG FspRecordMagic = 0x454C4946;

} // namespace

FSP_STREAM* FspCreateStream(FSP_VOLUME* Volume, const std::u16string& Name, bool IsDirectory) {
    auto* stream = new FSP_STREAM();
    stream->Volume = Volume;
    stream->Name = Name;
    stream->IsDirectory = IsDirectory;
    stream->IsVolumeOpen = false;
    stream->FileNumber = Volume->NextFileNumber++;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    stream->CreationTime = stream->LastAccessTime = stream->LastWriteTime = stream->ChangeTime =
        now.QuadPart;
    ExInitializeResourceLite(&stream->Resource);
    return stream;
}

VOID FspDeleteStream(FSP_STREAM* Stream) {
    FspReleaseStreamPages(Stream);
    ExDeleteResourceLite(&Stream->Resource);
    delete Stream;
}

NTSTATUS FspInitializeStreamPages(FSP_STREAM* Stream) {
    if (Stream->IsDirectory || Stream->IsVolumeOpen) {
        return STATUS_SUCCESS;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Stream->Resource, TRUE);
    NTSTATUS status = STATUS_SUCCESS;
    if (Stream->PagingFileObject == nullptr) {
        status = FspCreateStreamFileObject(Stream->Volume, Stream, &Stream->PagingFileObject);
        if (NT_SUCCESS(status)) {
            Stream->PagingFileObject->SectionObjectPointer = &Stream->SectionObjects;
            status = MmpCreateStreamPages(&Stream->SectionObjects, Stream->PagingFileObject);
            if (!NT_SUCCESS(status)) {
                ObDereferenceObject(Stream->PagingFileObject);
                Stream->PagingFileObject = nullptr;
            }
        }
    }
    ExReleaseResourceLite(&Stream->Resource);
    KeLeaveCriticalRegion();
    return status;
}

VOID FspReleaseStreamPages(FSP_STREAM* Stream) {
    MmpDeleteStreamPages(&Stream->SectionObjects);
    if (Stream->PagingFileObject != nullptr) {
        ObDereferenceObject(Stream->PagingFileObject);
        Stream->PagingFileObject = nullptr;
    }
}

NTSTATUS FspFlushStream(FSP_STREAM* Stream, bool MappedChanges) {
    auto pages = MmpPagesOf(&Stream->SectionObjects);
    if (pages == nullptr) {
        return STATUS_SUCCESS;
    }
    return MmpFlushPages(pages, 0, ~0ULL, MappedChanges, true);
}

std::vector<FSP_STREAM*> FspVolumeStreams(FSP_VOLUME* Volume) {
    std::lock_guard<std::mutex> guard(Volume->Lock);
    std::vector<FSP_STREAM*> streams;
    for (auto& entry : Volume->Streams) {
        streams.push_back(entry.second);
    }
    return streams;
}

NTSTATUS FspSetFileSize(FSP_STREAM* Stream, ULONGLONG NewSize) {
    FSP_VOLUME* volume = Stream->Volume;
    auto pages = MmpPagesOf(&Stream->SectionObjects);
    std::lock_guard<std::mutex> guard(volume->Lock);
    if (pages != nullptr && NewSize < Stream->FileSize) {
        MmpTruncatePages(pages, NewSize);
    }
    const ULONGLONG needed = (NewSize + volume->ClusterSize - 1) / volume->ClusterSize;
    const ULONGLONG have = Stream->Clusters.size();
    if (needed > have) {
        if (needed - have > volume->FreeClusters) {
            return STATUS_DISK_FULL;
        }
        ULONGLONG next = 0;
        for (ULONGLONG i = have; i < needed; i++) {
            while (volume->ClusterInUse[next]) {
                next++;
            }
            volume->ClusterInUse[next] = true;
            Stream->Clusters.push_back(next);
        }
        volume->FreeClusters -= needed - have;
    } else {
        for (ULONGLONG i = needed; i < have; i++) {
            volume->ClusterInUse[Stream->Clusters[i]] = false;
        }
        Stream->Clusters.resize(needed);
        volume->FreeClusters += have - needed;
    }
    Stream->FileSize = NewSize;
    if (Stream->ValidDataLength > NewSize) {
        Stream->ValidDataLength = NewSize;
    }
    return STATUS_SUCCESS;
}

LONGLONG FsAdjustFreeSpace(FSP_VOLUME* Volume, LONGLONG Clusters) {
    std::lock_guard<std::mutex> guard(Volume->Lock);
    LONGLONG moved = 0;
    if (Clusters > 0) {
        // Taken from the end of the volume, so files keep their low clusters.
        for (ULONGLONG c = Volume->TotalClusters; c-- > 0 && moved < Clusters;) {
            if (!Volume->ClusterInUse[c]) {
                Volume->ClusterInUse[c] = true;
                Volume->FilledClusters.push_back(c);
                moved++;
            }
        }
        Volume->FreeClusters -= static_cast<ULONGLONG>(moved);
    } else {
        while (moved < -Clusters && !Volume->FilledClusters.empty()) {
            Volume->ClusterInUse[Volume->FilledClusters.back()] = false;
            Volume->FilledClusters.pop_back();
            moved++;
        }
        Volume->FreeClusters += static_cast<ULONGLONG>(moved);
    }
    return moved;
}

NTSTATUS FspWriteMetadata(FSP_STREAM* Stream, PETHREAD Thread) {
    FSP_VOLUME* volume = Stream->Volume;
    const ULONG recordSize =
        volume->SectorSize > FSP_RECORD_SIZE ? volume->SectorSize : FSP_RECORD_SIZE;
    auto record = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, recordSize, FSP_TAG_BOUNCE));
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(record, 0, recordSize);
    FSP_RECORD_HEADER header = {};
    header.Magic = FspRecordMagic;
    header.FileNumber = Stream->FileNumber;
    {
        std::lock_guard<std::mutex> guard(volume->Lock);
        header.FileSize = Stream->FileSize;
        header.Clusters = Stream->Clusters.size();
        header.Attributes = Stream->Attributes;
    }
    const size_t maxChars = (recordSize - sizeof(header)) / sizeof(WCHAR);
    const size_t chars = Stream->Name.size() < maxChars ? Stream->Name.size() : maxChars;
    header.NameLength = static_cast<ULONG>(chars);
    std::memcpy(record, &header, sizeof(header));
    std::memcpy(record + sizeof(header), Stream->Name.data(), chars * sizeof(WCHAR));

    const ULONGLONG records = volume->MetadataStream->FileSize / recordSize;
    ULONG written = 0;
    NTSTATUS status =
        FspTransfer(volume->MetadataStream, volume->MetadataFileObject, Thread, true, record,
                    recordSize, (Stream->FileNumber % records) * recordSize, IRP_NOCACHE, &written);
    ExFreePoolWithTag(record, FSP_TAG_BOUNCE);
    return status;
}

NTSTATUS FspSetAllocation(FSP_STREAM* Stream, ULONGLONG AllocationSize) {
    FSP_VOLUME* volume = Stream->Volume;
    ULONGLONG fileSize;
    {
        std::lock_guard<std::mutex> guard(volume->Lock);
        fileSize = Stream->FileSize;
    }
    if (AllocationSize <= fileSize) {
        return FspSetFileSize(Stream, AllocationSize);
    }
    std::lock_guard<std::mutex> guard(volume->Lock);
    const ULONGLONG needed = (AllocationSize + volume->ClusterSize - 1) / volume->ClusterSize;
    const ULONGLONG have = Stream->Clusters.size();
    if (needed <= have) {
        return STATUS_SUCCESS;
    }
    if (needed - have > volume->FreeClusters) {
        return STATUS_DISK_FULL;
    }
    ULONGLONG next = 0;
    for (ULONGLONG i = have; i < needed; i++) {
        while (volume->ClusterInUse[next]) {
            next++;
        }
        volume->ClusterInUse[next] = true;
        Stream->Clusters.push_back(next);
    }
    volume->FreeClusters -= needed - have;
    return STATUS_SUCCESS;
}

VOID FspDeletePendingStream(FSP_STREAM* Stream, PETHREAD Thread) {
    FSP_VOLUME* volume = Stream->Volume;
    {
        std::lock_guard<std::mutex> guard(volume->Lock);
        auto named = volume->Streams.find(FspUpcasePath(Stream->Name));
        if (named != volume->Streams.end() && named->second == Stream) {
            volume->Streams.erase(named);
        }
        Stream->Deleted = true;
        volume->DeletedStreams.push_back(Stream);
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Stream->Resource, TRUE);
    FspSetFileSize(Stream, 0);
    // The record now describes an empty file: nothing of it survives.
    FspWriteMetadata(Stream, Thread);
    ExReleaseResourceLite(&Stream->Resource);
    KeLeaveCriticalRegion();
}
