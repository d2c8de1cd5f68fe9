// host/volumes.h - the emulated machine's storage devices as a host program
// sees them: the volumes and CD-ROM drives of the volume driver, and the
// device stack above each. Host code running as a kernel thread at
// PASSIVE_LEVEL (the booting thread, a test's thread).
#pragma once

#include "ntddk.h"

#include <string>
#include <vector>

// Every device of the emulated volume driver that has not been deleted
// (removed volumes are gone from the list), oldest first. Each is
// referenced; the caller dereferences them (HostReleaseVolumes).
std::vector<PDEVICE_OBJECT> HostListVolumes();
VOID HostReleaseVolumes(const std::vector<PDEVICE_OBJECT>& Volumes);

// The name of a volume device ("\Device\HarddiskVolume1", "\Device\CdRom0")
// and its drive letter ("C:", empty when it has none).
struct HOST_VOLUME_NAME {
    std::u16string DeviceName;
    std::u16string DriveLetter;
};
HOST_VOLUME_NAME HostVolumeName(PDEVICE_OBJECT Pdo);

// The drivers of Pdo's stack, from Pdo's own up to the top device's
// ("\Driver\VolEmu", "\Driver\QVDNT").
std::vector<std::u16string> HostDeviceStack(PDEVICE_OBJECT Pdo);

// Removes every listed volume still known to plug and play as started or
// surprise-removed; returns how many were removed.
ULONG HostRemoveVolumes();
