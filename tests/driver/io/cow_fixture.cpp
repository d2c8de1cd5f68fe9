// cow_fixture.cpp - the frozen volume of the copy-on-write tests.
#include "cow_fixture.h"
#include "frame/exempt_file_list.h"
#include "ntos/disk/disk.h"
#include "ntos/evlog/evlp.h"
#include "ntos/fs/fsp.h"
#include "ntos/io/iop.h"
#include "ntos/remove_volume.h"
#include "resources/message_table.h"
#include "snapshot/snapshot.h"
#include "support/pool_tags.h"

#include <cstring>

namespace {

// The frozen read as the read dispatch hands it over for the owner's thread.
NTSTATUS NTAPI OwnerReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (QueueFrozenRead(DeviceObject, Irp)) {
        return STATUS_PENDING;
    }
    SetFrozenStateBroken((FilterExtension*)DeviceObject->DeviceExtension, TRUE);
    return PassDown(DeviceObject, Irp);
}

NTSTATUS SendAndWait(PDEVICE_OBJECT Device, ULONG Major, PVOID Buffer, ULONG Length,
                     ULONGLONG Offset, ULONG_PTR* Bytes) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)Offset;
    PIRP irp = IoBuildSynchronousFsdRequest(Major, Device, Buffer, Length, &offset, &done, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(Device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (Bytes != nullptr) {
        *Bytes = iosb.Information;
    }
    return status;
}

} // namespace

void CopyOnWriteTest::SetUp() {
    DriverTest::SetUp();
    IopInitialize();
    EvlpRegisterMessageTable(u"QVDNT", &DriverMessageTable);
    DISK_VOLUME_CONFIG config;
    config.Bytes = COW_VOLUME_BYTES;
    config.SectorSize = SectorSize;
    config.DriveLetter = u"V:";
    ASSERT_EQ(DiskCreateVolume(config, &Volume), STATUS_SUCCESS);
    DISK_VOLUME_CONFIG store;
    store.Bytes = 32ull << 20;
    store.SectorSize = SectorSize;
    store.DriveLetter = u"T:";
    ASSERT_EQ(DiskCreateVolume(store, &Store), STATUS_SUCCESS);
    ASSERT_EQ(FsLoadFileSystem(u"Ntfs", &FsDriver), STATUS_SUCCESS);
    ASSERT_EQ(IopLoadDriver(u"QVDNT", DriverEntry, &Driver), STATUS_SUCCESS);
    Driver->MajorFunction[IRP_MJ_READ] = OwnerReadDispatch;
    ASSERT_EQ(Driver->DriverExtension->AddDevice(Driver, Volume), STATUS_SUCCESS);
    Filter = Volume->AttachedDevice;
    Extension = (FilterExtension*)Filter->DeviceExtension;
    EvlpClearLog();

    // Old contents that tell every sector apart.
    std::vector<UCHAR> pattern(COW_VOLUME_BYTES);
    for (size_t i = 0; i < pattern.size(); i++) {
        pattern[i] = (UCHAR)((i / SectorSize) * 7 + i % 251);
    }
    ASSERT_EQ(SendAndWait(Volume, IRP_MJ_WRITE, pattern.data(), (ULONG)pattern.size(), 0, nullptr),
              STATUS_SUCCESS);
    KeInitializeEvent(&FlushGate, NotificationEvent, TRUE);
    KeInitializeEvent(&FlushersParked, NotificationEvent, FALSE);

    // The snapshot, built by hand: the image is taken now.
    FreezeImage = DiskSnapshotBackingStore(Volume);
    Extension->SectorSize = SectorSize;
    auto* snapshot = (SnapshotContext*)ExAllocatePoolWithTag(PagedPool, sizeof(SnapshotContext),
                                                             QVD_TAG_SNAPSHOT_CONTEXT);
    RtlZeroMemory(snapshot, sizeof(*snapshot));
    snapshot->SnapshotLock = AllocateEventBlock(FALSE);
    KeInitializeEvent(snapshot->SnapshotLock, SynchronizationEvent, TRUE);
    snapshot->MapLock = AllocateEventBlock(FALSE);
    KeInitializeEvent(snapshot->MapLock, SynchronizationEvent, TRUE);
    snapshot->FlushLock = AllocateResourceBlock(FALSE);
    ExInitializeResourceLite(snapshot->FlushLock);
    ASSERT_EQ(HashTableCreate(7, PagedPool, HashU64, HASH_LOCK_RESOURCE, 0, &snapshot->ExtentTable),
              STATUS_SUCCESS);
    snapshot->PartitionLength = COW_VOLUME_BYTES;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\DosDevices\\T:\\partial.dat");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK iosb = {};
    ASSERT_EQ(ZwCreateFile(&snapshot->PartialFileHandle, 0xC0110000, &attributes, &iosb, nullptr,
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, FILE_SHARE_READ,
                           FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE, nullptr, 0),
              STATUS_SUCCESS);
    Snapshot = snapshot;
    Extension->SnapshotContext = snapshot;
    Extension->VolumeFlags |= VOLUME_OWNER_RECORDED | VOLUME_FROZEN;
    SetFrozenStateBroken(Extension, FALSE);
}

void CopyOnWriteTest::ThawByHand() {
    AcquireVolumeLock(Extension, TRUE);
    Extension->VolumeFlags &= (UCHAR) ~(VOLUME_OWNER_RECORDED | VOLUME_FROZEN);
    TearDownSnapshot(Extension);
    Snapshot = nullptr;
    ReleaseVolumeLock(Extension, PsGetCurrentThread());
}

void CopyOnWriteTest::TearDown() {
    ReleaseFlushQueue();
    if (Snapshot != nullptr) {
        ThawByHand();
    }
    if (Driver != nullptr) {
        if (Filter != nullptr) {
            RemoveFilter();
        }
        StopReclaimThread();
        StopWorkQueues();
        FreeBlockPools();
        ExemptFileClose();
        DeleteControlDevice();
        IopUnloadDriver(Driver);
    }
    if (FsDriver != nullptr) {
        FsUnloadFileSystem(FsDriver);
    }
    IopVerifyNoLeakedIrps();
    EvlpResetEventLog();
    IopShutdown();
    DriverTest::TearDown();
}

void CopyOnWriteTest::RemoveFilter() {
    // Removal waits for queued flushes and reads: they hold the remove lock.
    TestRemoveVolume(Filter);
    Filter = nullptr;
}

NTSTATUS CopyOnWriteTest::Overwrite(ULONGLONG Offset, ULONG Length, UCHAR Fill) {
    AcquireVolumeLock(Extension, FALSE);
    NTSTATUS status = PreserveWrite(Extension, nullptr, Offset, Length);
    ReleaseVolumeLock(Extension, PsGetCurrentThread());
    std::vector<UCHAR> data(Length, Fill);
    EXPECT_EQ(SendAndWait(Volume, IRP_MJ_WRITE, data.data(), Length, Offset, nullptr),
              STATUS_SUCCESS);
    return status;
}

NTSTATUS CopyOnWriteTest::FrozenRead(ULONGLONG Offset, std::vector<UCHAR>& Buffer,
                                     ULONG_PTR* Bytes) {
    return SendAndWait(Filter, IRP_MJ_READ, Buffer.data(), (ULONG)Buffer.size(), Offset, Bytes);
}

std::vector<UCHAR> CopyOnWriteTest::Image(ULONGLONG Offset, ULONG Length) const {
    return std::vector<UCHAR>(FreezeImage.begin() + (ptrdiff_t)Offset,
                              FreezeImage.begin() + (ptrdiff_t)(Offset + Length));
}

void CopyOnWriteTest::WaitForFlushes() {
    while (ReadAcquire(&Snapshot->UnflushedPieces) != 0) {
        LARGE_INTEGER delay;
        delay.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
}

void CopyOnWriteTest::HoldFlushQueue() {
    KeClearEvent(&FlushGate);
    KeClearEvent(&FlushersParked);
    Parked = 0;
    for (WorkItem& blocker : Blockers) {
        blocker.Routine = [](PVOID Context) {
            auto* test = static_cast<CopyOnWriteTest*>(Context);
            if (InterlockedIncrement(&test->Parked) == 2) {
                KeSetEvent(&test->FlushersParked, IO_NO_INCREMENT, FALSE);
            }
            KeWaitForSingleObject(&test->FlushGate, Executive, KernelMode, FALSE, nullptr);
        };
        blocker.Context = this;
        QueueWorkItem(&blocker, WORK_KIND_FLUSH);
    }
    KeWaitForSingleObject(&FlushersParked, Executive, KernelMode, FALSE, nullptr);
}

void CopyOnWriteTest::ReleaseFlushQueue() {
    KeSetEvent(&FlushGate, IO_NO_INCREMENT, FALSE);
}

std::vector<CopyOnWriteTest::PieceView> CopyOnWriteTest::Pieces(ULONGLONG Sector) {
    std::vector<PieceView> pieces;
    HashBucket* bucket = nullptr;
    ULONG_PTR handle = 0;
    ExtentEntry* entry = FindExtentEntry(Snapshot, Sector, FALSE, &bucket, &handle);
    for (ExtentPiece* piece = entry != nullptr ? entry->Pieces : nullptr; piece != nullptr;
         piece = piece->Next) {
        pieces.push_back({piece->SectorOffset, piece->SectorCount, piece->Data != nullptr});
    }
    HashTableUnlockBucket(Snapshot->ExtentTable, bucket, handle);
    return pieces;
}

ULONGLONG CopyOnWriteTest::VolumeReadsSince() {
    ULONGLONG reads = DiskQueryCounters(Volume).ReadRequests;
    ULONGLONG since = reads - ReadsSeen;
    ReadsSeen = reads;
    return since;
}
