// io/iop.h - the I/O manager's internal interface: its lifetime, driver
// loading, fault injection and verifier checks, and the records it keeps for
// itself. Used by the emulation (boot, plug and play, file system, tests),
// never by drivers.
#pragma once

#include "ntddk.h"

// Pool tags of the I/O manager's allocations.
#define IOP_TAG_IRP EX_POOL_TAG('I', 'r', 'p', ' ')
#define IOP_TAG_MDL EX_POOL_TAG('M', 'd', 'l', ' ')
#define IOP_TAG_SYSTEM_BUFFER EX_POOL_TAG('I', 'o', 'S', 'b')
#define IOP_TAG_VPB EX_POOL_TAG('V', 'p', 'b', ' ')
#define IOP_TAG_DRIVER_EXTENSION EX_POOL_TAG('I', 'o', 'C', 'x')
#define IOP_TAG_NAME EX_POOL_TAG('I', 'o', 'N', 'm')

// The I/O manager's per-device record, allocated with the device object.
// Every field is guarded by the I/O manager's device database lock.
struct _DEVOBJ_EXTENSION {
    CSHORT Type;                         // IO_TYPE_DEVICE_OBJECT_EXTENSION
    USHORT Size;                         // bytes of this record
    PDEVICE_OBJECT DeviceObject;         // the device this record belongs to
    PDEVICE_OBJECT AttachedTo;           // device directly below, NULL at the bottom
    BOOLEAN DeletePending;               // IoDeleteDevice was called
    BOOLEAN Exclusive;                   // created exclusive: one open at a time
    SYSTEM_POWER_STATE SystemPowerState; // last PoSetPowerState
    DEVICE_POWER_STATE DevicePowerState; // last PoSetPowerState
};

// Creates the io object types. Called once the object manager runs, before
// any device exists; a second call while initialised does nothing.
void IopInitialize();
// Forgets the object types and the request records at kernel stop.
void IopShutdown();

// Creates \Driver\<ServiceName> and calls Entry (its DriverEntry) with the
// service's registry path in the System process on a system thread at
// PASSIVE_LEVEL. On failure the driver object is deleted and Entry's status
// returned (a DriverEntry that fails but leaves devices behind bug-checks).
// On success *Out receives the driver object, which stays loaded until
// IopUnloadDriver.
NTSTATUS IopLoadDriver(PCWSTR ServiceName, PDRIVER_INITIALIZE Entry, PDRIVER_OBJECT* Out);
// Calls the driver's unload routine (if any) on a system thread, then
// removes its name and drops the loaded reference. The driver must have
// deleted its devices by then.
VOID IopUnloadDriver(PDRIVER_OBJECT DriverObject);

// Fault injection: the next Count calls of IoAttachDeviceToDeviceStack
// return NULL (0 stops refusing).
void IopRefuseAttach(ULONG Count);

// Bug-checks (DRIVER_VERIFIER_IOMANAGER_VIOLATION, "request leaked") when a
// request allocated by the I/O manager is still live, naming how many and
// the code address that built the first.
void IopVerifyNoLeakedIrps();

// Requests allocated by the I/O manager and not yet freed.
ULONG IopLiveIrpCount();

// Mounting: called when a file is opened on a storage device whose VPB is
// not mounted. The routine mounts a file system (sets Vpb->DeviceObject and
// VPB_MOUNTED) or returns an error; the open then goes to the mounted
// volume's device. Without a routine, such opens go to the device itself.
typedef NTSTATUS (*IOP_MOUNT_ROUTINE)(PDEVICE_OBJECT RealDevice, PVPB Vpb);
void IopSetMountRoutine(IOP_MOUNT_ROUTINE Routine);

// The device directly below DeviceObject in its stack, or NULL.
PDEVICE_OBJECT IopGetLowerDevice(PDEVICE_OBJECT DeviceObject);
// TRUE once IoDeleteDevice was called on DeviceObject; read under the
// device database lock, since removal may run on another thread.
BOOLEAN IopIsDeviceDeleted(PDEVICE_OBJECT DeviceObject);

// Requests on a kernel caller's file handle (the Zw read, write and device
// control routines). IopReferenceFileByHandle references the file object
// behind FileHandle, looked up for AccessMode. IopReferenceEvent references and clears the event
// object behind Event, the request's optional event (Event NULL: *EventObject
// NULL). IopSendFileRequest sends Irp, which takes over the caller's file
// object reference, and on a synchronous file waits for it and returns the
// file's final status.
NTSTATUS IopReferenceFileByHandle(HANDLE FileHandle, KPROCESSOR_MODE AccessMode,
                                  PFILE_OBJECT* FileObject);
NTSTATUS IopReferenceEvent(HANDLE Event, PKEVENT* EventObject);
NTSTATUS IopSendFileRequest(PFILE_OBJECT FileObject, PDEVICE_OBJECT Device, PIRP Irp);

// Unlocks (where locked) and frees Irp's chain of MDLs; leaves MdlAddress NULL.
void IopFreeMdlChain(PIRP Irp);
