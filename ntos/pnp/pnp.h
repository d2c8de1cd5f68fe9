// pnp/pnp.h - the plug-and-play manager's volume stacks: building the stack
// of each volume from the Volume class's upper filters, starting it, and the
// requests tests send to a volume's stack.
//
// A storage driver hands each volume's physical device object (PDO) to
// PnpAddVolume, at boot or later. Every request is sent from a System-process
// system thread at PASSIVE_LEVEL to the top of the PDO's stack, and waited
// for. Emulation internal (boot, storage, tests). PASSIVE_LEVEL.
#pragma once

#include "ntddk.h"

// Registry key of the Volume device class (below \REGISTRY\MACHINE).
#define PNP_VOLUME_CLASS_KEY                                                                       \
    u"SYSTEM\\CurrentControlSet\\Control\\Class\\{71A27CDD-812A-11D0-BEC7-08002BE2092F}"

typedef enum _PNP_VOLUME_STATE {
    PnpVolumeUnknown, // never handed to PnpAddVolume (or forgotten at power-off)
    PnpVolumeStarted, // stack built and IRP_MN_START_DEVICE succeeded
    PnpVolumeFailed,  // a filter was missing or failed, or the start failed: unusable
    PnpVolumeSurpriseRemoved,
    PnpVolumeRemoved, // IRP_MN_REMOVE_DEVICE went through; the stack is gone
} PNP_VOLUME_STATE;

// Builds Pdo's stack: for each service named in the Volume class's
// "UpperFilters" (REG_MULTI_SZ, in order), the loaded driver \Driver\<name>
// gets AddDevice(driver, Pdo); then IRP_MN_START_DEVICE goes to the top of
// the stack. A named filter that is not loaded, or whose AddDevice fails,
// leaves the volume PnpVolumeFailed (filters already attached are sent
// IRP_MN_REMOVE_DEVICE). Returns the volume's status: STATUS_SUCCESS when
// started, STATUS_DRIVER_UNABLE_TO_LOAD for a missing filter, else the
// failing AddDevice's or start's status.
NTSTATUS PnpAddVolume(PDEVICE_OBJECT Pdo);

PNP_VOLUME_STATE PnpQueryVolumeState(PDEVICE_OBJECT Pdo);
// The status PnpAddVolume returned for Pdo (STATUS_NO_SUCH_DEVICE if unknown).
NTSTATUS PnpQueryVolumeStatus(PDEVICE_OBJECT Pdo);

// IRP_MN_QUERY_DEVICE_RELATIONS of Type; *Relations receives the pool block
// the stack returned (caller dereferences its objects and frees it with
// ExFreePool), or NULL.
NTSTATUS PnpSendQueryDeviceRelations(PDEVICE_OBJECT Pdo, DEVICE_RELATION_TYPE Type,
                                     PDEVICE_RELATIONS* Relations);
NTSTATUS PnpSendSurpriseRemoval(PDEVICE_OBJECT Pdo);
// Sends IRP_MN_REMOVE_DEVICE; afterwards nothing may remain attached above
// Pdo (a device left attached is a bug check, as the platform's verifier
// reports it).
NTSTATUS PnpSendRemove(PDEVICE_OBJECT Pdo);
// IRP_MJ_POWER with MinorFunction IRP_MN_SET_POWER or IRP_MN_QUERY_POWER.
NTSTATUS PnpSendPower(PDEVICE_OBJECT Pdo, UCHAR MinorFunction, POWER_STATE_TYPE Type,
                      POWER_STATE State);

// Forgets every volume (power-off); drops the references the manager held.
VOID PnpShutdown();
