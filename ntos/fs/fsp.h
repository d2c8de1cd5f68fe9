// fs/fsp.h - the emulated file system's internal records and routines: the
// file-system driver, its volumes and streams, and the routines tests and
// the memory manager call.
//
// The file system keeps its metadata (names, sizes, cluster lists) in memory
// and file data in clusters of the volume. Every data transfer becomes
// requests sent to the top of the volume's device stack carrying the file's
// file object and the issuing thread. Emulation internal. PASSIVE_LEVEL.
#pragma once

#include "ntifs.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#define FSP_TAG_BOUNCE EX_POOL_TAG('F', 's', 'B', 'f')

// Bytes of a cluster at least; a larger sector makes the cluster one sector.
#define FSP_MIN_CLUSTER_SIZE 4096u
// Clusters at the start of the volume that hold the internal metadata stream.
#define FSP_METADATA_CLUSTERS 16u
// Bytes of the metadata record written for a file (at least one sector).
#define FSP_RECORD_SIZE 1024u

struct FSP_VOLUME;

// One stream (file, directory, the volume itself, or the metadata stream):
// the FsContext of every file object opened on it. Lives until dismount.
struct FSP_STREAM {
    FSP_VOLUME* Volume;  // set at creation
    ULONG FileNumber;    // set at creation; selects the metadata record
    std::u16string Name; // path from the volume root, as created; set at creation
    bool IsDirectory;    // set at creation
    bool IsVolumeOpen;   // the stream behind opens of the volume itself
    ERESOURCE Resource;  // exclusive for writes and size changes, shared for reads
    // The memory manager's shared pages of a data stream, and the stream file
    // object that carries their paging I/O (referenced). Set at the first open,
    // under Resource; released at dismount.
    SECTION_OBJECT_POINTERS SectionObjects;
    PFILE_OBJECT PagingFileObject;

    // Guarded by Volume->Lock.
    ULONG Attributes;                // FILE_ATTRIBUTE_*
    ULONGLONG FileSize;              // bytes
    ULONGLONG ValidDataLength;       // bytes written; beyond it the file reads as zeros
    std::vector<ULONGLONG> Clusters; // volume cluster of each file cluster
    ULONG OpenCount;                 // opens not yet cleaned up (share access)
    ULONG Readers, Writers, Deleters;
    ULONG SharedRead, SharedWrite, SharedDelete;
};

// A mounted volume. Its device extension holds a pointer to it.
struct FSP_VOLUME {
    PDEVICE_OBJECT VolumeDevice; // the file system's volume device (set at mount)
    PDEVICE_OBJECT RealDevice;   // the storage device (set at mount)
    PVPB Vpb;                    // RealDevice->Vpb
    ULONG SectorSize;            // bytes
    ULONG ClusterSize;           // bytes
    ULONGLONG TotalClusters;

    std::mutex Lock;                       // guards what is marked so, never held across I/O
    std::vector<bool> ClusterInUse;        // Lock
    ULONGLONG FreeClusters;                // Lock
    std::vector<ULONGLONG> FilledClusters; // taken by FsAdjustFreeSpace; Lock
    std::map<std::u16string, FSP_STREAM*> Streams; // by upper-cased path; Lock
    ULONG NextFileNumber;                          // Lock

    FSP_STREAM* MetadataStream;      // the internal stream (set at mount)
    PFILE_OBJECT MetadataFileObject; // its stream file object (set at mount)
    FSP_STREAM* VolumeStream;        // FsContext of opens of the volume itself

    KEVENT LazyWriterStop; // set to end the lazy writer
    PVOID LazyWriter;      // referenced thread object of the lazy writer, or NULL
};

// System time between two passes of the lazy writer (100 ns units).
#define FSP_LAZY_WRITER_PERIOD (10LL * 1000 * 1000)

// The file system's device extension: the control block region of the NT
// file system lies at NTFS_VCB_DEVICE_OFFSET from the device's start.
struct FSP_DEVICE_EXTENSION {
    FSP_VOLUME* Volume;
};

// Loads the file-system driver \FileSystem\<Name> (u"Ntfs" lays out the NT
// control block; any other name, such as u"Fastfat", does not) and makes it
// mount every storage volume opened from then on. One file system at a time.
NTSTATUS FsLoadFileSystem(PCWSTR Name, PDRIVER_OBJECT* DriverObject);
// Dismounts every volume the driver mounted (no file may be open on them any
// more) and unloads it. Cached changes the lazy writer has not written yet
// are lost, as on a power failure: a caller that wants them kept flushes the
// volume first.
VOID FsUnloadFileSystem(PDRIVER_OBJECT DriverObject);

// The volume mounted on the storage device RealDevice, or NULL.
FSP_VOLUME* FsGetVolume(PDEVICE_OBJECT RealDevice);
// Takes Clusters free clusters out of use (filling the volume) or gives back
// clusters taken so (Clusters negative). Returns clusters actually moved.
LONGLONG FsAdjustFreeSpace(FSP_VOLUME* Volume, LONGLONG Clusters);

// Transfers Length bytes at byte Offset of Stream to or from Buffer, sending
// requests to the top of the volume's stack with FileObject and Thread and
// the request flags IrpFlags (IRP_PAGING_IO, IRP_NOCACHE). Writes grow the
// file. *Transferred receives the bytes moved.
NTSTATUS FspTransfer(FSP_STREAM* Stream, PFILE_OBJECT FileObject, PETHREAD Thread, bool Write,
                     PVOID Buffer, ULONG Length, ULONGLONG Offset, ULONG IrpFlags,
                     ULONG* Transferred);
// Writes zeros over [From, To) of Stream on the volume (non-cached).
NTSTATUS FspZeroRange(FSP_STREAM* Stream, PFILE_OBJECT FileObject, PETHREAD Thread, ULONGLONG From,
                      ULONGLONG To, ULONG IrpFlags);
// The volume byte offset behind file Offset of Stream; *Length is cut at the
// end of the contiguous run of clusters.
ULONGLONG FspMapRun(FSP_STREAM* Stream, ULONGLONG Offset, ULONG* Length);
// Sends one sector-aligned read or write to the top of the volume's stack
// and waits for it.
NTSTATUS FspVolumeIo(FSP_VOLUME* Volume, PFILE_OBJECT FileObject, PETHREAD Thread, bool Write,
                     PVOID Buffer, ULONG Length, ULONGLONG Offset, ULONG IrpFlags);
// Writes Stream's metadata record through the internal stream. Called
// whenever a file is created or grows.
NTSTATUS FspWriteMetadata(FSP_STREAM* Stream, PETHREAD Thread);

// Cached reads and writes of a file through the stream's shared pages.
NTSTATUS FspCachedTransfer(FSP_STREAM* Stream, PETHREAD Thread, bool Write, PVOID Buffer,
                           ULONG Length, ULONGLONG Offset, ULONG* Transferred);
// Gives a data stream its shared pages and paging file object (first open).
NTSTATUS FspInitializeStreamPages(FSP_STREAM* Stream);
// Discards the stream's pages and drops its paging file object.
VOID FspReleaseStreamPages(FSP_STREAM* Stream);
// Writes back the cached changes of Stream (and, with MappedChanges, what
// its views changed) and waits for them.
NTSTATUS FspFlushStream(FSP_STREAM* Stream, bool MappedChanges);
// The lazy writer of a mounted volume: a System thread that writes the
// dirty cached pages of its streams back every FSP_LAZY_WRITER_PERIOD.
NTSTATUS FspStartLazyWriter(FSP_VOLUME* Volume);
VOID FspStopLazyWriter(FSP_VOLUME* Volume);
// The volume's streams at the time of the call (they live until dismount).
std::vector<FSP_STREAM*> FspVolumeStreams(FSP_VOLUME* Volume);

// ZwFlushBuffersFile for a handle of Mode's handle table; *Result receives
// the final status block (Result must be safe to write).
NTSTATUS FsFlushBuffersFile(HANDLE FileHandle, KPROCESSOR_MODE Mode, PIO_STATUS_BLOCK Result);

// Dispatch routines of the file system's devices.
NTSTATUS FspDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FspDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FspDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FspDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FspDispatchQueryVolume(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FspDispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FspDispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FspDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FspDispatchFlushBuffers(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Creates a file object for Stream opened by the file system itself: no
// handle, no name; its close comes back to the file system.
NTSTATUS FspCreateStreamFileObject(FSP_VOLUME* Volume, FSP_STREAM* Stream, PFILE_OBJECT* Out);

// Creates a stream record (not yet named in the volume).
FSP_STREAM* FspCreateStream(FSP_VOLUME* Volume, const std::u16string& Name, bool IsDirectory);
VOID FspDeleteStream(FSP_STREAM* Stream);
// Sets the stream's size, allocating or freeing clusters. Caller holds
// Stream->Resource exclusively. STATUS_DISK_FULL when clusters run out.
NTSTATUS FspSetFileSize(FSP_STREAM* Stream, ULONGLONG NewSize);

inline FSP_VOLUME* FspVolumeOf(PDEVICE_OBJECT VolumeDevice) {
    return static_cast<FSP_DEVICE_EXTENSION*>(VolumeDevice->DeviceExtension)->Volume;
}
