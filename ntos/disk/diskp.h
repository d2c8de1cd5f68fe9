// disk/diskp.h - records and routines shared by the files of the emulated
// volume driver (\Driver\VolEmu).
//
// Each volume device's extension points at a DISKP_VOLUME, a host record
// that outlives the device object: it is freed after IRP_MN_REMOVE_DEVICE
// once its worker threads have ended, or, for volumes abandoned at power-off,
// when the next kernel loads the driver again.
#pragma once

#include "ntos/disk/disk.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <vector>

// Where the emulated partition starts on its disk; 1 MiB suits both
// sector sizes.
constexpr ULONGLONG DiskpPartitionOffset = 1ULL << 20;

// A volume's backing store.
struct DISKP_STORE {
    DISK_BACKING Kind; // set at creation
    ULONGLONG Bytes;   // capacity; set at creation
    PUCHAR Memory;     // DiskBackingMemory: the mapping; set at creation
    int File;          // DiskBackingSparseFile: the host descriptor; set at creation
    // Reads and snapshot copies hold it shared, writes exclusive, so a copy
    // never sees a write half applied and overlapping writes do not interleave.
    std::shared_mutex Lock;
};

struct DISKP_RANGE_FAULT {
    ULONG Operations; // DISK_FAULT_*
    ULONGLONG Offset; // bytes
    ULONGLONG Length; // bytes
    NTSTATUS Status;
};

struct DISKP_CONTROL_FAULT {
    ULONG IoControlCode;
    NTSTATUS Status;
};

struct DISKP_VOLUME {
    PDEVICE_OBJECT Device;     // the volume's device; set at creation, stale once deleted
    std::u16string DeviceName; // "\Device\HarddiskVolumeN"; set at creation
    std::u16string LinkName;   // "\DosDevices\X:", or empty; set at creation
    std::vector<UCHAR> UniqueId; // what IOCTL_MOUNTDEV_QUERY_UNIQUE_ID answers; set at creation
    std::u16string GuidLinkName; // "\??\Volume{GUID}" derived from UniqueId; set at creation
    ULONG Number;              // N of the device name; set at creation
    ULONG SectorSize;          // bytes; set at creation
    BOOLEAN CdRom;             // set at creation
    BOOLEAN ReadOnly;          // FILE_READ_ONLY_DEVICE; set at creation
    DISKP_STORE Store;

    // Life; atomics.
    std::atomic<bool> Started{false};         // IRP_MN_START_DEVICE went through
    std::atomic<bool> SurpriseRemoved{false}; // the device is gone: I/O fails
    std::atomic<bool> Removed{false};         // IRP_MN_REMOVE_DEVICE arrived
    std::atomic<bool> WriteProtected{false};  // injected: writes fail as on protected media

    // Completion and timing; atomics.
    std::atomic<int> CompletionIrql{DiskCompleteMixed}; // DISK_COMPLETION_IRQL
    std::atomic<ULONG> CompletionSequence{0};           // alternates the mixed IRQL
    std::atomic<ULONG> LatencyMicroseconds{0};
    std::atomic<ULONGLONG> BytesPerSecond{0};

    // The request queue and its workers; QueueLock.
    std::mutex QueueLock;
    std::condition_variable QueueCv;   // work arrived, or stop
    std::condition_variable WorkersCv; // a worker ended
    std::deque<PIRP> Queue;            // reads and writes waiting for a worker
    ULONG MaxWorkers;                  // set at creation
    ULONG Workers;                     // worker threads alive
    ULONG IdleWorkers;                 // of those, waiting for work
    BOOLEAN Stopping;                  // workers end once the queue is empty
    // Host time (steady clock, ns) at which the shared transfer channel is
    // free again; QueueLock.
    LONGLONG ChannelFreeAt;

    // Fault injection; FaultLock.
    std::mutex FaultLock;
    std::vector<DISKP_RANGE_FAULT> RangeFaults;
    std::vector<DISKP_CONTROL_FAULT> ControlFaults;
    ULONGLONG TransfersSinceMark = 0; // reads and writes served since DiskFailNthTransferFromNow
    ULONGLONG FailTransfer = 0;       // the one of those to fail (1-based); 0: none
    NTSTATUS FailTransferStatus = STATUS_SUCCESS;

    // Counters; atomics.
    std::atomic<ULONGLONG> ReadRequests{0};
    std::atomic<ULONGLONG> WriteRequests{0};
    std::atomic<ULONGLONG> ReadBytes{0};
    std::atomic<ULONGLONG> WriteBytes{0};
    std::atomic<ULONGLONG> ControlRequests{0};
    std::atomic<ULONGLONG> FailedRequests{0};
};

// The device extension of a volume device.
struct DISKP_EXTENSION {
    DISKP_VOLUME* Volume; // set at creation
};

inline DISKP_VOLUME* DiskpVolume(PDEVICE_OBJECT DeviceObject) {
    return static_cast<DISKP_EXTENSION*>(DeviceObject->DeviceExtension)->Volume;
}

// Completes Irp with Status and Information, counting a failure. Any IRQL.
VOID DiskpComplete(DISKP_VOLUME* Volume, PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// Backing store (store.cpp). Create returns an NTSTATUS; the others run
// under the store's lock as said there.
NTSTATUS DiskpCreateStore(DISKP_STORE* Store, DISK_BACKING Kind, ULONGLONG Bytes,
                          const std::string& Path);
VOID DiskpDestroyStore(DISKP_STORE* Store);
NTSTATUS DiskpStoreRead(DISKP_STORE* Store, ULONGLONG Offset, PVOID Buffer, SIZE_T Length);
NTSTATUS DiskpStoreWrite(DISKP_STORE* Store, ULONGLONG Offset, const VOID* Buffer, SIZE_T Length);
ULONGLONG DiskpStoreFootprint(DISKP_STORE* Store);

// Dispatch routines of the driver.
NTSTATUS DiskpDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DiskpDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DiskpDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DiskpDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DiskpDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DiskpDispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DiskpDispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Queue (queue.cpp). Queues a validated read or write, already marked
// pending, for the volume's workers; starts a worker when none is idle.
// Any IRQL <= DISPATCH_LEVEL.
VOID DiskpQueueRequest(DISKP_VOLUME* Volume, PIRP Irp);
// Serves one queued request on a worker thread (readwrite.cpp).
VOID DiskpServeRequest(DISKP_VOLUME* Volume, PIRP Irp);
// Makes the workers end once the queue is empty and waits for them.
// PASSIVE_LEVEL.
VOID DiskpStopWorkers(DISKP_VOLUME* Volume);

// The names of a volume the mount manager answers for.
struct DISKP_MOUNT_NAMES {
    std::u16string DeviceName;
    std::vector<std::u16string> Links; // drive letter (if any), then the GUID name
    std::vector<UCHAR> UniqueId;
};
// The names of every volume of this kernel not yet removed (volume.cpp).
std::vector<DISKP_MOUNT_NAMES> DiskpListMountNames();
// Loads \Driver\MountMgr with its device \Device\MountPointManager
// (mount_manager.cpp). PASSIVE_LEVEL.
NTSTATUS DiskpLoadMountManager();

// The mount manager's names (mount_names.cpp): sets UniqueId and
// GuidLinkName of a volume whose Number, CdRom and DeviceName are set.
VOID DiskpAssignMountNames(DISKP_VOLUME* Volume);

// The driver's entry point (driver.cpp).
NTSTATUS DiskpDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

