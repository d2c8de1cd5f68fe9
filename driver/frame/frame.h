// frame.h - the driver frame's chief header: the global state, the list of
// filter devices, the per-volume record of a filter device and its flags,
// and the routines of start-up, the filter devices, the control device and
// the event log.
//
// Kernel mode. Every routine says the IRQL it runs at.
#pragma once

#include <ntddk.h>

#include "frame/work_queue.h"
#include "support/change_store.h"

struct _SnapshotContext;
struct _FreezeTimer;

// ---------------------------------------------------------------------------
// Global state
// ---------------------------------------------------------------------------

// Written by DriverEntry only (before any other routine of the driver runs)
// and read without a lock afterwards.
typedef struct _DRIVER_GLOBALS {
    PDRIVER_OBJECT DriverObject;  // passed to DriverEntry
    PEPROCESS SystemProcess;      // current process of DriverEntry: the System process
    PDEVICE_OBJECT ControlDevice; // "\Device\QVDDev0"; NULL until created
    ULONG OsBuildNumber;          // from PsGetVersion
    LONG ServicePackNumber;       // parsed from the CSD version string; 0 when none
} DRIVER_GLOBALS;

extern DRIVER_GLOBALS DriverGlobals;

// The driver object extension, kept under the client identifier that is the
// address of AddDevice.
typedef struct _FilterDeviceList {
    PDRIVER_OBJECT DriverObject; // set once at start-up
    LIST_ENTRY FilterDevices;    // FilterExtension.ListLink of every filter device; ListLock
    KSEMAPHORE ListLock;         // count 1, limit 1: a mutex around FilterDevices
    ULONG LastVolumeHandle;      // VolumeHandle given to the newest filter device; ListLock
} FilterDeviceList;

// ---------------------------------------------------------------------------
// Filter devices
// ---------------------------------------------------------------------------

// FilterExtension.Tag of a filter device. Code walking the driver's devices
// treats a device as its own filter device when the tag is one of these.
#define FILTER_TAG_LEGACY 1
#define FILTER_TAG_VOLUME 2

// VolumeFlags bits. ATTACHED belongs to the filter device's creation; the
// others to the freeze lifecycle.
#define VOLUME_QUIESCING 0x01
#define VOLUME_FROZEN 0x02
#define VOLUME_QUIESCE_ABORTED 0x04
#define VOLUME_FROZEN_STATE_BROKEN 0x08
#define VOLUME_ATTACHED 0x10
#define VOLUME_OWNER_RECORDED 0x20
#define VOLUME_EXTENT_LIST 0x40

// The device extension of a filter device: the per-volume record. Zeroed
// at creation; lives from AddDevice to plug-and-play removal. Fields without
// a guard named are written by AddDevice only, before the device is in
// service.
typedef struct _FilterExtension {
    USHORT Tag;                 // FILTER_TAG_VOLUME
    USHORT Size;                // bytes of this record
    PDEVICE_OBJECT LowerDevice; // device attached to: target of every passed request
    PDEVICE_OBJECT VolumePdo;   // the volume's physical device object
    ULONG SectorSize;           // bytes per sector; set by FreezeVolume under VolumeResource
    struct _SnapshotContext* SnapshotContext; // NULL when no snapshot; VolumeResource
    PETHREAD SnapshotOwner; // thread that froze the volume, or NULL; VolumeResource
    struct _ChangeStore* PreviousChangeStore; // store kept across a thaw, or NULL; VolumeResource
    ChangeStore ChangeStores[2];              // the volume's two store slots; VolumeResource
    struct _FreezeTimer* FreezeTimer;         // watchdog block, or NULL; VolumeResource
    PVOID SnapshotMutex;          // referenced mutex of the snapshot, or NULL; VolumeResource
    KSPIN_LOCK StateLock;         // held while the broken bit of VolumeFlags changes
    WorkItem SpaceQueryItem;      // free-space query of the snapshot; Context is this record
    UCHAR VolumeFlags;            // VOLUME_*; ATTACHED set once at attach, broken bit StateLock
    ERESOURCE VolumeResource;     // shared by the I/O path, exclusive for snapshot changes
    PDEVICE_OBJECT Self;          // the filter device
    FilterDeviceList* DeviceList; // the driver object extension
    LIST_ENTRY ListLink;          // in DeviceList->FilterDevices; DeviceList->ListLock
    // The 32-bit identity the agent names this volume by: never 0, unique
    // among the listed devices; given under ListLock as the device is listed.
    ULONG VolumeHandle;

    // In-use count: requests and work that touch this record hold a
    // reference (AcquireFilterDevice); removal waits for the count to drain
    // before it deletes the device.
    KSPIN_LOCK UseLock; // guards UseCount and Removing
    LONG UseCount;      // references held, plus 1 while not removing; UseLock
    BOOLEAN Removing;   // removal has begun: no new reference is granted; UseLock
    KEVENT Drained;     // notification, set when UseCount reaches 0
} FilterExtension;

// Creates a filter device above PhysicalDeviceObject's stack and links it
// into the driver's list. STATUS_NO_SUCH_DEVICE when the driver object
// extension is missing or the stack refuses the attach (nothing is left
// behind then); IoCreateDevice's status when that fails. IRQL: PASSIVE_LEVEL.
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// Plug-and-play requests: removal unlinks, detaches and deletes the filter
// device once no request holds it; surprise removal ends the snapshot; a
// bus-relations query asks the volume for its geometry. Every request goes
// on to the volume. On the control device: STATUS_NOT_SUPPORTED.
// IRQL: PASSIVE_LEVEL.
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Power requests go on to the volume (the control device completes them
// with success). IRQL: <= DISPATCH_LEVEL.
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Pass through: the request goes to LowerDevice with the current stack
// location copied to the next (no completion routine); returns the lower
// driver's status. Handler of every major function without its own. On the
// control device: completes with STATUS_INVALID_DEVICE_REQUEST. A filter
// device being removed completes it with STATUS_DELETE_PENDING.
// IRQL: <= DISPATCH_LEVEL.
NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// As PassDown, with CompletionRoutine (or none) invoked on success, error
// and cancel with Context. A caller whose routine touches the
// FilterExtension holds its own reference from AcquireFilterDevice and
// gives it back in the routine. IRQL: <= DISPATCH_LEVEL.
NTSTATUS PassDownWithCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context);

// The file object of Irp, or for an associated request without one the file
// object of its master; NULL when neither has one. IRQL: <= DISPATCH_LEVEL.
PFILE_OBJECT RequestFileObject(PIRP Irp);

// Takes a reference on Extension: TRUE unless removal has begun, in which
// case nothing is taken. IRQL: <= DISPATCH_LEVEL.
BOOLEAN AcquireFilterDevice(FilterExtension* Extension);
// Gives back a reference taken by AcquireFilterDevice. IRQL: <= DISPATCH_LEVEL.
VOID ReleaseFilterDevice(FilterExtension* Extension);

// Ends the volume's snapshot, if one runs (CloseStores: also close the
// volume's change stores). IRQL: PASSIVE_LEVEL.
NTSTATUS EndSnapshot(FilterExtension* Extension, BOOLEAN CloseStores);

// Sends IOCTL_DISK_GET_DRIVE_GEOMETRY to LowerDevice and waits for it; the
// 24-byte Geometry buffer is its input and output. Returns the request's
// status (STATUS_INSUFFICIENT_RESOURCES when it cannot be built).
// IRQL: PASSIVE_LEVEL.
NTSTATUS QueryDiskGeometry(PDEVICE_OBJECT LowerDevice, PVOID Geometry);

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------

// The driver's entry point. IRQL: PASSIVE_LEVEL, System process.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Stores the number that follows the first decimal digit's position in
// CsdVersion ("Service Pack 6a" gives 6) as DriverGlobals.ServicePackNumber;
// a string that begins with a digit or has none leaves it unchanged.
// IRQL: PASSIVE_LEVEL.
VOID ParseServicePack(PCUNICODE_STRING CsdVersion);

// ---------------------------------------------------------------------------
// Control device and request routing
// ---------------------------------------------------------------------------

// Creates "\Device\QVDDev0" as DriverGlobals.ControlDevice and its link
// "\DosDevices\QVDAPI". On failure nothing is left: no device, no link.
// IRQL: PASSIVE_LEVEL.
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject);
// Deletes the control device and its link. IRQL: PASSIVE_LEVEL.
VOID DeleteControlDevice(VOID);

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCloseCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Routes a device-control request of the control device to its operation
// and completes it. IRQL: PASSIVE_LEVEL.
NTSTATUS DispatchControlRequest(PIRP Irp);

// ---------------------------------------------------------------------------
// Event log
// ---------------------------------------------------------------------------

// Room of the shared insertion-string buffer, in UTF-16 code units.
#define LOG_BUFFER_UNITS 104

// Sets up the shared string buffer and its event. Called by DriverEntry
// before anything can write an entry. IRQL: PASSIVE_LEVEL.
VOID EventLogInit(VOID);

// Writes one entry of the driver's message table. Each letter of
// TypeString takes the next value: S wide string, s narrow string, d 32-bit
// integer (decimal), x 32-bit integer (8 hex digits), c character; other
// letters take nothing. Values that do not fit the room left are left out.
// Above PASSIVE_LEVEL the entry carries no strings. IRQL: <= DISPATCH_LEVEL.
VOID LogEvent(NTSTATUS MessageId, PCSTR TypeString, ...);

// Builds and writes the error-log packet: StringCount strings of
// DataLength bytes at Data. IRQL: <= DISPATCH_LEVEL.
VOID WriteLogPacket(NTSTATUS MessageId, const VOID* Data, ULONG DataLength, ULONG StringCount);
