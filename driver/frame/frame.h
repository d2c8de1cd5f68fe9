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
typedef struct _DriverGlobalsRecord {
    PDRIVER_OBJECT DriverObject;  // passed to DriverEntry
    PEPROCESS SystemProcess;      // current process of DriverEntry: the System process
    PDEVICE_OBJECT ControlDevice; // "\Device\QVDDev0"; NULL until created
    ULONG OsBuildNumber;          // from PsGetVersion
    LONG ServicePackNumber;       // parsed from the CSD version string; 0 when none
} DriverGlobalsRecord;

extern DriverGlobalsRecord DriverGlobals;

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
    struct _ChangeStore* PreviousChangeStore; // store kept across a thaw, or NULL; changed under
                                              // VolumeResource and StateLock
    ChangeStore ChangeStores[2];              // the volume's two store slots; VolumeResource
    struct _FreezeTimer* FreezeTimer;         // watchdog block, or NULL; VolumeResource
    PVOID SnapshotMutex;          // referenced mutex of the snapshot, or NULL; VolumeResource
    KSPIN_LOCK StateLock;         // guards VolumeFlags, SnapshotOwner, StayBroken, SpaceQueryQueued
    WorkItem SpaceQueryItem;      // free-space query of the snapshot; Context is this record
    UCHAR VolumeFlags;            // VOLUME_*; every change under StateLock (ATTACHED set once)
    ERESOURCE VolumeResource;     // shared by the I/O path, exclusive for snapshot changes
    PDEVICE_OBJECT Self;          // the filter device
    FilterDeviceList* DeviceList; // the driver object extension
    LIST_ENTRY ListLink;          // in DeviceList->FilterDevices; DeviceList->ListLock
    // The 32-bit identity the agent names this volume by: never 0, unique
    // among the listed devices; given under ListLock as the device is listed.
    ULONG VolumeHandle;

    // Held by every request and piece of work that touches this record
    // (tag: the request, or the work's own record); removal waits for them
    // to drain before it deletes the device.
    IO_REMOVE_LOCK RemoveLock;

    // Snapshot bookkeeping that the I/O path reads without the snapshot.
    BOOLEAN StayBroken;       // the snapshot keeps a broken state; StateLock, set at freeze
    BOOLEAN BrokenForSpaceOnly; // the broken bit's only cause is low free space; StateLock
    BOOLEAN SpaceQueryQueued; // SpaceQueryItem is queued and its routine not yet started; StateLock
    BOOLEAN Departed;         // the volume was removed: no new snapshot; VolumeResource
    UCHAR ChangeStoreBusy;    // bit n: slot n is drained, merged or closed with the
                              // resource released; VolumeResource
    KEVENT ChangeStoresIdle;  // notification; set whenever ChangeStoreBusy drops to 0
} FilterExtension;

// AddDevice - puts a filter device on top of a volume's stack and links it
// into the driver's list.
//
// DriverObject: this driver. PhysicalDeviceObject: the volume's PDO. Every
// volume is taken, mounted or not, read-only or not; no outcome is logged.
// Returns STATUS_SUCCESS; STATUS_NO_SUCH_DEVICE without the driver object
// extension or when the stack refuses the attach (the created device and its
// resource are deleted again: nothing is left behind); IoCreateDevice's
// status when that fails. IRQL: PASSIVE_LEVEL.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// DispatchPnp - plug-and-play requests.
//
// On the control device: STATUS_NOT_SUPPORTED. On a filter device every
// request goes on to the volume with the current stack location skipped;
// before that, removal ends the snapshot, then unlinks, detaches and deletes
// the filter device once no request holds it; surprise removal ends the
// snapshot (the device stays in service); a bus-relations query asks the
// volume for its geometry (result unused). Returns the lower driver's
// status. IRQL: PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// DispatchPower - power requests. Every one lets the next power request
// start. The control device completes them with success (information left
// as it came); a filter device sends them on to the volume, or completes
// them with STATUS_DELETE_PENDING once removal has begun.
// IRQL: <= DISPATCH_LEVEL.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// PassDown - sends a request on to the volume unchanged: the current stack
// location is copied to the next, with no completion routine; returns the
// lower driver's status. Handler of every major function without its own.
// The control device completes the request with
// STATUS_INVALID_DEVICE_REQUEST; a filter device being removed with
// STATUS_DELETE_PENDING. IRQL: <= DISPATCH_LEVEL.
NTSTATUS NTAPI PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// PassDownWithCompletion - PassDown, with CompletionRoutine (or NULL for
// none) invoked with Context on success, error and cancel. A caller whose
// routine touches the FilterExtension holds its own acquisition of
// RemoveLock and releases it in the routine. IRQL: <= DISPATCH_LEVEL.
NTSTATUS PassDownWithCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context);

// RequestFileObject - the file object a request is for: its own, else, for
// an associated request without one, that of its master; NULL when neither
// has one. IRQL: <= DISPATCH_LEVEL.
PFILE_OBJECT RequestFileObject(PIRP Irp);

// EndSnapshot - ends the volume's snapshot, if one runs: a quiescing freeze
// is aborted and waited for, the watchdog stopped, the snapshot thawed.
//
// Extension: the volume's filter device record. CloseStores (the volume
// goes away): also drain and close both change-store slots and refuse later
// freezes. Returns 0, or QVD_RESULT_INVALID (3) when the volume had no
// snapshot to end. IRQL: PASSIVE_LEVEL.
ULONG EndSnapshot(FilterExtension* Extension, BOOLEAN CloseStores);

// QueryDiskGeometry - sends IOCTL_DISK_GET_DRIVE_GEOMETRY to LowerDevice and
// waits for it; the 24-byte Geometry buffer is its input and output. Returns
// the request's status (STATUS_INSUFFICIENT_RESOURCES when it cannot be
// built). IRQL: PASSIVE_LEVEL.
NTSTATUS QueryDiskGeometry(PDEVICE_OBJECT LowerDevice, PVOID Geometry);

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------

// DriverEntry - brings the driver's services up, newest last: exempt file
// lists, block pools, work queues, the reclaim thread, the control device,
// the dispatch table with the filter device list; then writes the load event.
//
// DriverObject: the driver object the system made for the driver.
// RegistryPath: the service key (unused: the driver reads no settings).
// Returns STATUS_SUCCESS; STATUS_UNSUCCESSFUL when the pools, the queues or
// the reclaim thread cannot be set up; the status of the control-device or dispatch-table step
// when that fails. A failing step undoes every earlier one, newest first,
// and nothing is written to the event log. IRQL: PASSIVE_LEVEL, System
// process.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// ParseServicePack - stores the number in the CSD version string as
// DriverGlobals.ServicePackNumber.
//
// CsdVersion: the CSD version string ("Service Pack 6a" gives 6); not empty.
// The characters from the first decimal digit on are converted to a narrow
// string (at most 19 characters) and read with atol, which stops at the
// first non-digit. A string that begins with a digit, or holds none, leaves
// the number unchanged; so does any exception. IRQL: PASSIVE_LEVEL.
VOID ParseServicePack(PCUNICODE_STRING CsdVersion);

// ---------------------------------------------------------------------------
// Control device and request routing
// ---------------------------------------------------------------------------

// CreateControlDevice - creates "\Device\QVDDev0" as
// DriverGlobals.ControlDevice and its link "\DosDevices\QVDAPI".
// Returns STATUS_SUCCESS, or the status of the failing IoCreateDevice or
// IoCreateSymbolicLink; on failure nothing is left: no device, no link.
// IRQL: PASSIVE_LEVEL.
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject);

// DeleteControlDevice - removes the link and deletes the control device
// (a start that fails after creating it). IRQL: PASSIVE_LEVEL.
VOID DeleteControlDevice(VOID);

// DispatchCreate - opens of the control device succeed (FILE_OPENED); opens
// on a filter device go on to the volume. IRQL: PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// DispatchCloseCleanup - close and cleanup of the control device succeed;
// on a filter device they go on to the volume. IRQL: PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchCloseCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// DispatchDeviceControl - the control device routes its codes
// (DispatchControlRequest); a filter device passes every code on to the
// volume unchanged; any other device of the driver refuses the request with
// STATUS_INVALID_DEVICE_REQUEST. IRQL: PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// DispatchControlRequest - routes a device-control request of the control
// device to its operation and completes it.
//
// An output buffer shorter than the 4-byte result word fails with
// STATUS_INVALID_BUFFER_SIZE whatever the code; an unknown code with
// STATUS_INVALID_DEVICE_REQUEST. The operation runs inside an exception
// guard: an exception becomes the request's status, with no bytes returned.
// Returns the request's status. IRQL: PASSIVE_LEVEL.
NTSTATUS DispatchControlRequest(PIRP Irp);

// ---------------------------------------------------------------------------
// Event log
// ---------------------------------------------------------------------------

// Room of the shared insertion-string buffer, in UTF-16 code units.
#define LOG_BUFFER_UNITS 104

// EventLogInit - sets up the shared string buffer and its event, signalled.
// Called by DriverEntry before anything can write an entry.
// IRQL: PASSIVE_LEVEL.
VOID EventLogInit(VOID);

// LogEvent - writes one entry of the driver's message table.
//
// MessageId: the message. TypeString: one letter per value, or NULL for an
// entry without strings. Each letter takes the next value: S wide string,
// s narrow string, d 32-bit integer (decimal), x 32-bit integer (8 hex
// digits), c character; other letters take nothing. Values that do not fit
// the room left are left out. At PASSIVE_LEVEL the values are formatted into
// the shared buffer, held for the time it takes; a fault while a value is
// read passes on to the caller with the buffer given back. Above
// PASSIVE_LEVEL the entry carries no strings. IRQL: <= DISPATCH_LEVEL.
VOID LogEvent(NTSTATUS MessageId, PCSTR TypeString, ...);

// WriteLogPacket - builds and writes one error-log packet.
//
// MessageId: the entry's message. Data, DataLength: StringCount terminated
// UTF-16 strings, back to back. The packet holds at most 104 bytes of
// strings; a string that the limit cuts is left out together with every
// later one, so that each counted string keeps its terminator. Without a
// packet the entry is dropped. IRQL: <= DISPATCH_LEVEL.
VOID WriteLogPacket(NTSTATUS MessageId, const VOID* Data, ULONG DataLength, ULONG StringCount);
