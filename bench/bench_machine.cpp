// bench_machine.cpp - the benchmarks' emulated machine.
#include "bench_machine.h"
#include "frame/exempt_file_list.h"
#include "ntos/disk/disk.h"
#include "ntos/evlog/evlp.h"
#include "ntos/ex/exp.h"
#include "ntos/fs/fsp.h"
#include "ntos/io/iop.h"
#include "ntos/ke/kernel.h"
#include "resources/message_table.h"
#include "support/pool_tags.h"
#include "tests/ntos/remove_volume.h"

#include <cstdio>
#include <cstdlib>

BenchMachine Bench;

namespace {

// The snapshot owner's reads, as the read dispatch hands them over.
NTSTATUS NTAPI OwnerReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (QueueFrozenRead(DeviceObject, Irp)) {
        return STATUS_PENDING;
    }
    return PassDown(DeviceObject, Irp);
}

void Check(NTSTATUS Status, const char* What) {
    if (!NT_SUCCESS(Status)) {
        std::fprintf(stderr, "bench: %s failed: 0x%08X\n", What, (unsigned)Status);
        std::exit(1);
    }
}

KEVENT FlushGate;
KEVENT FlushersParked;
LONG Parked;
WorkItem Blockers[2];

} // namespace

void StartBenchMachine() {
    KiStartKernel(KernelConfig());
    IopInitialize();
    EvlpRegisterMessageTable(u"QVDNT", &DriverMessageTable);
    DISK_VOLUME_CONFIG config;
    config.Bytes = BENCH_VOLUME_BYTES;
    config.DriveLetter = u"V:";
    config.LatencyMicroseconds = BENCH_LATENCY_US;
    config.BytesPerSecond = BENCH_BYTES_PER_SECOND;
    Check(DiskCreateVolume(config, &Bench.Volume), "creating V:");
    config.DriveLetter = u"T:";
    Check(DiskCreateVolume(config, &Bench.Store), "creating T:");
    Check(FsLoadFileSystem(u"Ntfs", &Bench.FsDriver), "loading the file system");
    Check(IopLoadDriver(u"QVDNT", DriverEntry, &Bench.Driver), "loading the driver");
    Bench.Driver->MajorFunction[IRP_MJ_READ] = OwnerReadDispatch;
    Check(Bench.Driver->DriverExtension->AddDevice(Bench.Driver, Bench.Volume), "AddDevice");
    Bench.Filter = Bench.Volume->AttachedDevice;
    Bench.Extension = (FilterExtension*)Bench.Filter->DeviceExtension;
    Bench.Extension->SectorSize = 512;
    KeInitializeEvent(&FlushGate, NotificationEvent, TRUE);
    KeInitializeEvent(&FlushersParked, NotificationEvent, FALSE);
}

void StopBenchMachine() {
    ReleaseBenchFlushes();
    if (Bench.Snapshot != nullptr) {
        ThawBench();
    }
    TestRemoveVolume(Bench.Filter);
    StopReclaimThread();
    StopWorkQueues();
    FreeBlockPools();
    ExemptFileClose();
    DeleteControlDevice();
    IopUnloadDriver(Bench.Driver);
    FsUnloadFileSystem(Bench.FsDriver);
    EvlpResetEventLog();
    IopShutdown();
    KiStopKernel();
}

void SetBenchTiming(bool On) {
    for (PDEVICE_OBJECT volume : {Bench.Volume, Bench.Store}) {
        DiskSetTiming(volume, On ? BENCH_LATENCY_US : 0, On ? BENCH_BYTES_PER_SECOND : 0);
    }
}

void FreezeBench() {
    auto* snapshot = (SnapshotContext*)ExAllocatePoolWithTag(PagedPool, sizeof(SnapshotContext),
                                                             QVD_TAG_SNAPSHOT_CONTEXT);
    RtlZeroMemory(snapshot, sizeof(*snapshot));
    snapshot->SnapshotLock = AllocateEventBlock(FALSE);
    KeInitializeEvent(snapshot->SnapshotLock, SynchronizationEvent, TRUE);
    snapshot->MapLock = AllocateEventBlock(FALSE);
    KeInitializeEvent(snapshot->MapLock, SynchronizationEvent, TRUE);
    snapshot->FlushLock = AllocateResourceBlock(FALSE);
    ExInitializeResourceLite(snapshot->FlushLock);
    Check(HashTableCreate(ExtentBucketCount(), PagedPool, HashU64, HASH_LOCK_RESOURCE, 0,
                          &snapshot->ExtentTable),
          "creating the ExtentTable");
    snapshot->PartitionLength = BENCH_VOLUME_BYTES;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\DosDevices\\T:\\partial.dat");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK iosb = {};
    Check(ZwCreateFile(&snapshot->PartialFileHandle, 0xC0110000, &attributes, &iosb, nullptr,
                       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, FILE_SHARE_READ,
                       FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE, nullptr, 0),
          "creating the partial data file");
    Bench.Snapshot = snapshot;
    Bench.Extension->SnapshotContext = snapshot;
    Bench.Extension->VolumeFlags |= VOLUME_OWNER_RECORDED | VOLUME_FROZEN;
    SetSnapshotOwner(Bench.Extension, PsGetCurrentThread());
    SetFrozenStateBroken(Bench.Extension, FALSE);
}

void ThawBench() {
    BenchWaitForFlushes();
    FilterExtension* volume = Bench.Extension;
    AcquireVolumeLock(volume, TRUE);
    volume->VolumeFlags &= (UCHAR) ~(VOLUME_OWNER_RECORDED | VOLUME_FROZEN | VOLUME_EXTENT_LIST);
    SnapshotContext* snapshot = Bench.Snapshot;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(snapshot->FlushLock, TRUE);
    DestroyExtentTable(snapshot->ExtentTable);
    ExReleaseResourceLite(snapshot->FlushLock);
    KeLeaveCriticalRegion();
    HashTableDestroy(snapshot->ExtentTable);
    while (snapshot->FreeList != nullptr) {
        ExtentPiece* range = snapshot->FreeList;
        snapshot->FreeList = range->Next;
        FreeExtentPiece(range);
    }
    ZwClose(snapshot->PartialFileHandle);
    FreeEventBlock(snapshot->MapLock);
    FreeEventBlock(snapshot->SnapshotLock);
    ExDeleteResourceLite(snapshot->FlushLock);
    FreeResourceBlock(snapshot->FlushLock);
    ExFreePoolWithTag(snapshot, QVD_TAG_SNAPSHOT_CONTEXT);
    volume->SnapshotContext = nullptr;
    Bench.Snapshot = nullptr;
    ReleaseVolumeLock(volume, PsGetCurrentThread());
    SetSnapshotOwner(volume, nullptr);
}

NTSTATUS BenchIo(PDEVICE_OBJECT Device, ULONG Major, PVOID Buffer, ULONG Length,
                 ULONGLONG Offset) {
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
    return status;
}

NTSTATUS BenchCowWrite(PVOID Buffer, ULONG Length, ULONGLONG Offset) {
    AcquireVolumeLock(Bench.Extension, FALSE);
    NTSTATUS status = PreserveWrite(Bench.Extension, nullptr, Offset, Length);
    ReleaseVolumeLock(Bench.Extension, PsGetCurrentThread());
    Check(status, "preserving");
    return BenchIo(Bench.Volume, IRP_MJ_WRITE, Buffer, Length, Offset);
}

void BenchWaitForFlushes() {
    while (ReadAcquire(&Bench.Snapshot->UnflushedPieces) != 0) {
        LARGE_INTEGER delay;
        delay.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
}

void HoldBenchFlushes() {
    KeClearEvent(&FlushGate);
    KeClearEvent(&FlushersParked);
    Parked = 0;
    for (WorkItem& blocker : Blockers) {
        blocker.Routine = [](PVOID) {
            if (InterlockedIncrement(&Parked) == 2) {
                KeSetEvent(&FlushersParked, IO_NO_INCREMENT, FALSE);
            }
            KeWaitForSingleObject(&FlushGate, Executive, KernelMode, FALSE, nullptr);
        };
        blocker.Context = nullptr;
        QueueWorkItem(&blocker, WORK_KIND_FLUSH);
    }
    KeWaitForSingleObject(&FlushersParked, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseBenchFlushes() {
    KeSetEvent(&FlushGate, IO_NO_INCREMENT, FALSE);
}

SIZE_T BenchDriverPoolBytes() {
    SIZE_T bytes = 0;
    for (const ExpPoolTagUsage& usage : ExpListPoolTags()) {
        if ((usage.Tag & 0x00FFFFFFu) == EX_POOL_TAG('Q', 'v', 'd', 0)) {
            bytes += usage.PagedBytes + usage.NonPagedBytes;
        }
    }
    return bytes;
}
