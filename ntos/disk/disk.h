// disk/disk.h - the machine's emulated storage: volumes and a CD-ROM drive,
// their backing stores, timing model, counters and fault injection.
//
// A volume is the physical device object (PDO) of \Driver\VolEmu, named
// \Device\HarddiskVolumeN (\Device\CdRomN for a CD-ROM) with an optional
// drive-letter link \DosDevices\X:, and, as the mount manager names every
// volume, a link \??\Volume{GUID} whose GUID stays the same for the same
// volume across boots. It is a direct-I/O device with a VPB.
// Reads and writes complete asynchronously on the volume's own kernel
// threads. Emulation internal: boot, tests and benchmarks call these from
// host code running as a kernel thread at PASSIVE_LEVEL unless said.
#pragma once

#include "ntddk.h"

#include <string>
#include <vector>

struct BOOT_STORAGE_DEVICE;

// Pool tag of the driver's allocations (device relations it returns).
#define DISK_TAG EX_POOL_TAG('V', 'o', 'l', 'E')

typedef enum _DISK_COMPLETION_IRQL {
    DiskCompleteMixed,    // alternate PASSIVE_LEVEL and DISPATCH_LEVEL, request by request
    DiskCompletePassive,  // always PASSIVE_LEVEL
    DiskCompleteDispatch, // always DISPATCH_LEVEL
} DISK_COMPLETION_IRQL;

typedef enum _DISK_BACKING {
    DiskBackingMemory,     // anonymous memory, zero-filled on first touch
    DiskBackingSparseFile, // a sparse host file; only written ranges take disk space
} DISK_BACKING;

// Volumes above this size get a sparse host file when booted from a machine
// description (which has no say in the backing).
#define DISK_BOOT_MEMORY_LIMIT (1ULL << 30)

struct DISK_VOLUME_CONFIG {
    ULONGLONG Bytes = 16ULL << 20; // capacity; a multiple of the sector size
    ULONG SectorSize = 512;        // 512 or 4096; a CD-ROM always has 2048
    std::u16string DriveLetter;    // "C:", or empty for a volume without a letter
    BOOLEAN ReadOnly = FALSE;      // FILE_READ_ONLY_DEVICE: writes are refused
    BOOLEAN CdRom = FALSE;         // \Device\CdRomN, FILE_DEVICE_CD_ROM, read-only
    DISK_BACKING Backing = DiskBackingMemory;
    std::string BackingFile; // sparse file path; empty: an anonymous temporary file
    ULONG Threads = 2;       // worker threads (requests served at once), >= 1
    DISK_COMPLETION_IRQL CompletionIrql = DiskCompleteMixed;
    ULONG LatencyMicroseconds = 0; // added to every read and write
    ULONGLONG BytesPerSecond = 0;  // transfer rate shared by the volume's requests; 0: unlimited
};

// Creates a volume (loading \Driver\VolEmu first in a freshly started
// kernel); *Pdo receives the device, referenced by its driver as any device
// is. The volume is not yet known to plug and play.
NTSTATUS DiskCreateVolume(const DISK_VOLUME_CONFIG& Config, PDEVICE_OBJECT* Pdo);
// DiskCreateVolume, then PnpAddVolume; returns the plug-and-play status
// (*Pdo is set whenever the device was created).
NTSTATUS DiskAddVolume(const DISK_VOLUME_CONFIG& Config, PDEVICE_OBJECT* Pdo);
// The machine's storage routine (BootSetStorageRoutine(DiskBootStorageRoutine)):
// one volume per storage device, in memory up to DISK_BOOT_MEMORY_LIMIT and
// in a sparse temporary file beyond.
NTSTATUS DiskBootStorageRoutine(const BOOT_STORAGE_DEVICE* Device);

// Frees the records of the volumes a machine abandoned when it powered off.
// Only once the kernel has stopped: their workers have been joined then.
VOID DiskReleaseAbandonedVolumes();

// The volume device named Name ("\Device\HarddiskVolume1") or reached by
// a drive-letter link ("\DosDevices\C:", "\??\C:"), or NULL. Not referenced.
PDEVICE_OBJECT DiskFindVolume(PCWSTR Name);

// The volume's "\??\Volume{GUID}" link name. Any IRQL.
std::u16string DiskQueryVolumeGuidName(PDEVICE_OBJECT Pdo);

// Requests and bytes per volume, since creation or the last reset. Any IRQL.
struct DISK_COUNTERS {
    ULONGLONG ReadRequests;    // reads that passed validation
    ULONGLONG WriteRequests;   // writes that passed validation
    ULONGLONG ReadBytes;       // bytes read successfully
    ULONGLONG WriteBytes;      // bytes written successfully
    ULONGLONG ControlRequests; // device-control requests
    ULONGLONG FailedRequests;  // reads, writes and control requests completed with an error
};
DISK_COUNTERS DiskQueryCounters(PDEVICE_OBJECT Pdo);
VOID DiskResetCounters(PDEVICE_OBJECT Pdo);

// Timing and completion, changed while the volume runs. Any IRQL.
VOID DiskSetTiming(PDEVICE_OBJECT Pdo, ULONG LatencyMicroseconds, ULONGLONG BytesPerSecond);
VOID DiskSetCompletionIrql(PDEVICE_OBJECT Pdo, DISK_COMPLETION_IRQL Irql);

// Fault injection. Any IRQL.
#define DISK_FAULT_READ 0x1
#define DISK_FAULT_WRITE 0x2
// Reads and/or writes (Operations: DISK_FAULT_*) that touch
// [Offset, Offset + Length) fail with Status (an error) and transfer nothing.
VOID DiskFailRange(PDEVICE_OBJECT Pdo, ULONG Operations, ULONGLONG Offset, ULONGLONG Length,
                   NTSTATUS Status);
// Starts counting the reads and writes served from now and fails the Nth
// of them (N >= 1) once with Status (an error); N 0 only restarts the count.
// Fault sweeps call it with 1, 2, ... in turn.
VOID DiskFailNthTransferFromNow(PDEVICE_OBJECT Pdo, ULONGLONG N, NTSTATUS Status);
// Reads and writes served since the last DiskFailNthTransferFromNow. A sweep
// that failed the Nth has met every transfer of its run once this stays
// below N.
ULONGLONG DiskTransfersSinceMark(PDEVICE_OBJECT Pdo);
// Device-control requests with IoControlCode fail with Status (an error).
VOID DiskRefuseControlCode(PDEVICE_OBJECT Pdo, ULONG IoControlCode, NTSTATUS Status);
// Forgets every range, transfer and control-code fault.
VOID DiskClearFaults(PDEVICE_OBJECT Pdo);
// The media becomes write-protected (TRUE) or writable again (FALSE): writes
// fail with STATUS_MEDIA_WRITE_PROTECTED. A read-only volume stays read-only.
VOID DiskSetWriteProtected(PDEVICE_OBJECT Pdo, BOOLEAN WriteProtected);

// Copies [Offset, Offset + Length) of the backing store into Buffer at one
// instant: no write is half applied in the copy. Any thread, any IRQL.
NTSTATUS DiskCopyBackingStore(PDEVICE_OBJECT Pdo, ULONGLONG Offset, PVOID Buffer, SIZE_T Length);
// The whole backing store, copied as above.
std::vector<UCHAR> DiskSnapshotBackingStore(PDEVICE_OBJECT Pdo);
// Host bytes the backing store occupies (resident pages or file blocks).
ULONGLONG DiskQueryBackingFootprint(PDEVICE_OBJECT Pdo);
