// fs/mount.cpp - the file-system driver: loading it under \FileSystem, mounting
// it on storage volumes through their VPB, the internal metadata stream and
// its stream file object, the NT-shaped volume control block, dismounting.
//
// Kernel mode, PASSIVE_LEVEL. Mounting runs inside the first open of a
// volume, called by the I/O manager's mount hook.
#include "ntos/fs/fsp.h"
#include "ntos/io/iodb.h"
#include "ntos/ob/obp.h"
#include "ntos/verifier/bugcheck.h"

#include <cstring>

namespace {

// Storage control codes a volume answers (the platform's values).
constexpr ULONG FspIoctlGetDriveGeometry = 0x00070000; // DISK_GEOMETRY, 24 bytes
constexpr ULONG FspIoctlGetPartitionInfo = 0x00074004; // PARTITION_INFORMATION, 32 bytes
constexpr ULONG FspGeometryBytesPerSector = 20;        // offset in DISK_GEOMETRY
constexpr ULONG FspPartitionLength = 8;                // offset in PARTITION_INFORMATION

// The loaded file system; one at a time. Every field is guarded by Lock.
struct FSP_GLOBALS {
    std::mutex Lock;
    PDRIVER_OBJECT Driver = nullptr;
    std::u16string DriverName;        // "\FileSystem\<Name>", the driver's name buffer
    bool NtLayout = false;            // mounted volumes carry the NT control block
    std::vector<FSP_VOLUME*> Volumes; // mounted by this driver
};

FSP_GLOBALS FspGlobals;

static_assert(((sizeof(DEVICE_OBJECT) + 15) & ~size_t{15}) + sizeof(FSP_DEVICE_EXTENSION) <=
                  NTFS_VCB_DEVICE_OFFSET,
              "the control block must lie inside the device extension, after the volume pointer");

// Sends a buffered control request to the top of RealDevice's stack and waits.
NTSTATUS FspQueryStorage(PDEVICE_OBJECT RealDevice, ULONG Code, PVOID Output, ULONG Length) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(RealDevice);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp =
        IoBuildDeviceIoControlRequest(Code, top, nullptr, 0, Output, Length, FALSE, &event, &iosb);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (irp != nullptr) {
        status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
    }
    ObDereferenceObject(top);
    return status;
}

// The service pack number of the running system, from its CSD string
// ("Service Pack N"); 0 without one.
ULONG FspServicePack() {
    UNICODE_STRING csd = {};
    PsGetVersion(nullptr, nullptr, nullptr, &csd);
    ULONG pack = 0;
    for (USHORT i = 0; i < csd.Length / sizeof(WCHAR); i++) {
        WCHAR c = csd.Buffer[i];
        if (c >= u'0' && c <= u'9') {
            pack = pack * 10 + (c - u'0');
        } else if (pack != 0) {
            break;
        }
    }
    return pack;
}

// Lays out the NT control block: node type and the internal stream's file
// object and stream pointers where the running build keeps them.
void FspLayOutControlBlock(FSP_VOLUME* Volume) {
    auto vcb = reinterpret_cast<PUCHAR>(Volume->VolumeDevice) + NTFS_VCB_DEVICE_OFFSET;
    std::memset(vcb, 0, NTFS_VCB_EMULATED_SIZE);
    const CSHORT nodeType = NTFS_NTC_VCB;
    const CSHORT nodeSize = static_cast<CSHORT>(NTFS_VCB_EMULATED_SIZE);
    std::memcpy(vcb, &nodeType, sizeof(nodeType));
    std::memcpy(vcb + sizeof(CSHORT), &nodeSize, sizeof(nodeSize));
    PVOID file = Volume->MetadataFileObject;
    PVOID stream = Volume->MetadataStream;
    ULONG build = 0;
    PsGetVersion(nullptr, nullptr, &build, nullptr);
    if (build >= 2195) {
        std::memcpy(vcb + NTFS_VCB_STREAM_FILE_2195, &file, sizeof(file));
        std::memcpy(vcb + NTFS_VCB_STREAM_SCB_2195, &stream, sizeof(stream));
    } else if (FspServicePack() > 3) {
        std::memcpy(vcb + NTFS_VCB_STREAM_FILE_SP4, &file, sizeof(file));
        std::memcpy(vcb + NTFS_VCB_STREAM_SCB_SP4, &stream, sizeof(stream));
    } else {
        std::memcpy(vcb + NTFS_VCB_STREAM_FILE_A_SP3, &file, sizeof(file));
        std::memcpy(vcb + NTFS_VCB_STREAM_FILE_B_SP3, &file, sizeof(file));
        std::memcpy(vcb + NTFS_VCB_STREAM_SCB_SP3, &stream, sizeof(stream));
    }
}

} // namespace

NTSTATUS FspCreateStreamFileObject(FSP_VOLUME* Volume, FSP_STREAM* Stream, PFILE_OBJECT* Out) {
    PVOID body;
    NTSTATUS status = ObpCreateObject(*IoFileObjectType, sizeof(FILE_OBJECT), &body);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto fileObject = static_cast<PFILE_OBJECT>(body);
    fileObject->Type = IO_TYPE_FILE;
    fileObject->Size = sizeof(FILE_OBJECT);
    fileObject->DeviceObject = Volume->RealDevice;
    ObReferenceObject(Volume->RealDevice);
    fileObject->Vpb = Volume->Vpb;
    {
        // The I/O manager releases these counts when the file object goes.
        std::lock_guard<std::mutex> guard(IopDatabaseLock());
        Volume->RealDevice->ReferenceCount++;
        Volume->Vpb->ReferenceCount++;
    }
    fileObject->Flags = FO_STREAM_FILE;
    fileObject->ReadAccess = TRUE;
    fileObject->WriteAccess = TRUE;
    fileObject->FsContext = Stream;
    KeInitializeEvent(&fileObject->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&fileObject->Event, NotificationEvent, FALSE);
    *Out = fileObject;
    return STATUS_SUCCESS;
}

namespace {

VOID FspFreeVolume(FSP_VOLUME* Volume) {
    for (FSP_STREAM* deleted : Volume->DeletedStreams) {
        FspDeleteStream(deleted);
    }
    for (auto& entry : Volume->Streams) {
        FspDeleteStream(entry.second);
    }
    if (Volume->MetadataStream != nullptr) {
        FspDeleteStream(Volume->MetadataStream);
    }
    if (Volume->VolumeStream != nullptr) {
        FspDeleteStream(Volume->VolumeStream);
    }
    delete Volume;
}

// The I/O manager's mount hook: recognises any storage volume whose geometry
// and size it can read.
NTSTATUS FspMountVolume(PDEVICE_OBJECT RealDevice, PVPB Vpb) {
    std::lock_guard<std::mutex> guard(FspGlobals.Lock);
    if (Vpb->Flags & VPB_MOUNTED) {
        return STATUS_SUCCESS;
    }
    if (FspGlobals.Driver == nullptr) {
        return STATUS_UNRECOGNIZED_VOLUME;
    }
    UCHAR geometry[24] = {};
    UCHAR partition[32] = {};
    if (!NT_SUCCESS(
            FspQueryStorage(RealDevice, FspIoctlGetDriveGeometry, geometry, sizeof(geometry))) ||
        !NT_SUCCESS(
            FspQueryStorage(RealDevice, FspIoctlGetPartitionInfo, partition, sizeof(partition)))) {
        return STATUS_UNRECOGNIZED_VOLUME;
    }
    ULONG sectorSize;
    LONGLONG length;
    std::memcpy(&sectorSize, geometry + FspGeometryBytesPerSector, sizeof(sectorSize));
    std::memcpy(&length, partition + FspPartitionLength, sizeof(length));
    if (sectorSize == 0 || (sectorSize & (sectorSize - 1)) != 0) {
        return STATUS_UNRECOGNIZED_VOLUME;
    }
    auto* volume = new FSP_VOLUME();
    volume->RealDevice = RealDevice;
    volume->Vpb = Vpb;
    volume->SectorSize = sectorSize;
    volume->ClusterSize = sectorSize > FSP_MIN_CLUSTER_SIZE ? sectorSize : FSP_MIN_CLUSTER_SIZE;
    volume->TotalClusters = static_cast<ULONGLONG>(length) / volume->ClusterSize;
    if (volume->TotalClusters <= FSP_METADATA_CLUSTERS) {
        delete volume;
        return STATUS_UNRECOGNIZED_VOLUME;
    }
    volume->ClusterInUse.assign(volume->TotalClusters, false);
    volume->FreeClusters = volume->TotalClusters - FSP_METADATA_CLUSTERS;
    volume->NextFileNumber = 1;

    // The metadata stream owns the first clusters of the volume.
    volume->MetadataStream = FspCreateStream(volume, u"\\$Mft", false);
    for (ULONGLONG c = 0; c < FSP_METADATA_CLUSTERS; c++) {
        volume->ClusterInUse[c] = true;
        volume->MetadataStream->Clusters.push_back(c);
    }
    volume->MetadataStream->FileSize = FSP_METADATA_CLUSTERS * volume->ClusterSize;
    volume->MetadataStream->ValidDataLength = volume->MetadataStream->FileSize;
    volume->VolumeStream = FspCreateStream(volume, u"", false);
    volume->VolumeStream->IsVolumeOpen = true;
    FSP_STREAM* root = FspCreateStream(volume, u"\\", true);
    root->Attributes = FILE_ATTRIBUTE_DIRECTORY;
    volume->Streams.emplace(u"\\", root);

    const ULONG extensionBytes =
        static_cast<ULONG>(NTFS_VCB_DEVICE_OFFSET + NTFS_VCB_EMULATED_SIZE -
                           ((sizeof(DEVICE_OBJECT) + 15) & ~size_t{15}));
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(FspGlobals.Driver, extensionBytes, nullptr,
                                     FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        FspFreeVolume(volume);
        return status;
    }
    static_cast<FSP_DEVICE_EXTENSION*>(device->DeviceExtension)->Volume = volume;
    volume->VolumeDevice = device;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(RealDevice);
    device->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    ObDereferenceObject(top);
    device->SectorSize = static_cast<USHORT>(sectorSize);
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    Vpb->DeviceObject = device;
    Vpb->Flags |= VPB_MOUNTED;
    status = FspCreateStreamFileObject(volume, volume->MetadataStream, &volume->MetadataFileObject);
    if (!NT_SUCCESS(status)) {
        Vpb->Flags &= ~VPB_MOUNTED;
        Vpb->DeviceObject = nullptr;
        IoDeleteDevice(device);
        FspFreeVolume(volume);
        return status;
    }
    if (FspGlobals.NtLayout) {
        FspLayOutControlBlock(volume);
    }
    status = FspStartLazyWriter(volume);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(volume->MetadataFileObject);
        Vpb->Flags &= ~VPB_MOUNTED;
        Vpb->DeviceObject = nullptr;
        IoDeleteDevice(device);
        FspFreeVolume(volume);
        return status;
    }
    FspGlobals.Volumes.push_back(volume);
    return STATUS_SUCCESS;
}

NTSTATUS FspDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = FspDispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = FspDispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = FspDispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = FspDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = FspDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = FspDispatchQueryVolume;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = FspDispatchQueryInformation;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = FspDispatchSetInformation;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FspDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = FspDispatchFlushBuffers;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS FsLoadFileSystem(PCWSTR Name, PDRIVER_OBJECT* DriverObject) {
    std::lock_guard<std::mutex> guard(FspGlobals.Lock);
    if (FspGlobals.Driver != nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "a second file system loaded", VF_CALLER());
    }
    PDRIVER_OBJECT driver;
    NTSTATUS status = IopLoadDriver(Name, FspDriverEntry, &driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // File systems live under \FileSystem rather than \Driver.
    FspGlobals.DriverName = std::u16string(u"\\FileSystem\\") + Name;
    UNICODE_STRING name;
    name.Buffer = FspGlobals.DriverName.data();
    name.Length = static_cast<USHORT>(FspGlobals.DriverName.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    ObpRemoveObjectName(driver);
    status = ObpInsertObjectName(driver, &name);
    if (!NT_SUCCESS(status)) {
        IopUnloadDriver(driver);
        return status;
    }
    driver->DriverName = name;
    FspGlobals.NtLayout = FspGlobals.DriverName.size() >= 5 &&
                          _wcsnicmp(FspGlobals.DriverName.data() + FspGlobals.DriverName.size() - 5,
                                    u"\\Ntfs", 5) == 0;
    FspGlobals.Driver = driver;
    IopSetMountRoutine(FspMountVolume);
    *DriverObject = driver;
    return STATUS_SUCCESS;
}

VOID FsUnloadFileSystem(PDRIVER_OBJECT DriverObject) {
    std::vector<FSP_VOLUME*> volumes;
    {
        std::lock_guard<std::mutex> guard(FspGlobals.Lock);
        IopSetMountRoutine(nullptr);
        volumes.swap(FspGlobals.Volumes);
        FspGlobals.Driver = nullptr;
    }
    for (FSP_VOLUME* volume : volumes) {
        FspStopLazyWriter(volume);
        // Stream file objects' closes reach us through the VPB, so they go
        // before the volume is unhooked; unwritten cached data goes with them.
        for (FSP_STREAM* stream : FspVolumeStreams(volume)) {
            FspReleaseStreamPages(stream);
        }
        // Deleted files keep their pages while a view may still map them.
        for (FSP_STREAM* stream : volume->DeletedStreams) {
            FspReleaseStreamPages(stream);
        }
        ObDereferenceObject(volume->MetadataFileObject);
        if (volume->Vpb->ReferenceCount != 0) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "file system dismounted with files open on a volume", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(volume->RealDevice),
                       volume->Vpb->ReferenceCount);
        }
        volume->Vpb->Flags &= ~VPB_MOUNTED;
        volume->Vpb->DeviceObject = nullptr;
        IoDeleteDevice(volume->VolumeDevice);
        FspFreeVolume(volume);
    }
    IopUnloadDriver(DriverObject);
}

FSP_VOLUME* FsGetVolume(PDEVICE_OBJECT RealDevice) {
    std::lock_guard<std::mutex> guard(FspGlobals.Lock);
    for (FSP_VOLUME* volume : FspGlobals.Volumes) {
        if (volume->RealDevice == RealDevice) {
            return volume;
        }
    }
    return nullptr;
}
