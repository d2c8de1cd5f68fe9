// boot/machine.h - an emulated machine: its description, the registry it
// keeps across boots, and booting and powering it off.
//
// Booting starts the kernel in the calling host thread (which becomes the
// System process's initial thread and must also power the machine off),
// activates the machine's registry, loads the boot-start and system-start
// kernel services the registry names, loads the file system the description
// names, and hands every storage device of the description to the storage
// routine, which builds its volumes and gives their PDOs to the
// plug-and-play manager (PnpAddVolume). The file system mounts each volume
// at the first open of a name on it. Host code only.
#pragma once

#include "ntddk.h"
#include "ntos/cm/cmp.h"

#include <string>
#include <vector>

// One storage device of a machine. The storage component reads these fields
// and may add its own.
struct BOOT_STORAGE_DEVICE {
    std::u16string DriveLetter; // "C:", or empty for a volume without a letter
    ULONGLONG Bytes;            // capacity
    ULONG SectorSize;           // 512 or 4096
    BOOLEAN ReadOnly;
};

struct BOOT_MACHINE_DESCRIPTION {
    ULONG MajorVersion = 5;
    ULONG MinorVersion = 0;
    ULONG BuildNumber = 2195;
    std::u16string CsdVersion = u"Service Pack 4";
    MM_SYSTEMSIZE SystemSize = MmLargeSystem; // memory size class
    BOOLEAN Server = FALSE;
    double ClockScale = 1.0; // system time runs at host speed times this
    std::vector<BOOT_STORAGE_DEVICE> Storage;
    // File system loaded at boot: u"Ntfs" (lays out the NT file system's
    // control block) or another name such as u"Fastfat"; empty for none, so
    // that opens of a volume reach the volume device itself.
    std::u16string FileSystem = u"Ntfs";
};

// Builds the volumes of one storage device at boot and hands their PDOs to
// PnpAddVolume. Runs in the booting thread after the boot drivers and the
// file system loaded.
typedef NTSTATUS (*BOOT_STORAGE_ROUTINE)(const BOOT_STORAGE_DEVICE* Device);
// Replaces the storage routine (a test's own volumes); NULL restores the
// machine's own storage, DiskBootStorageRoutine.
VOID BootSetStorageRoutine(BOOT_STORAGE_ROUTINE Routine);

// What became of a kernel service at boot.
struct BOOT_SERVICE_LOAD {
    std::u16string ServiceName;
    std::u16string ImageName;
    NTSTATUS Status; // DriverEntry's, or STATUS_OBJECT_NAME_NOT_FOUND for a missing image
};

struct BOOT_MACHINE {
    BOOT_MACHINE_DESCRIPTION Description; // set at creation
    PCM_REGISTRY Registry;                // owned; persists across boots
    BOOLEAN Running;                      // between BootMachine and PowerOffMachine
    std::vector<BOOT_SERVICE_LOAD> Loads; // of the latest boot, in load order
    PDRIVER_OBJECT FileSystemDriver;      // loaded at boot, NULL when none; while Running
};
typedef BOOT_MACHINE* PBOOT_MACHINE;

// A powered-off machine with a freshly installed system's registry.
PBOOT_MACHINE BootCreateMachine(const BOOT_MACHINE_DESCRIPTION& Description);
VOID BootDestroyMachine(PBOOT_MACHINE Machine);

// Boots the machine (see above). Service failures are recorded in Loads and
// in the event log, and boot goes on; a file system that fails to load, or a
// failing storage routine, gives its status, returned after the machine is
// up.
NTSTATUS BootMachine(PBOOT_MACHINE Machine);
// Stops the machine as the platform does at power-off: volumes and drivers
// are simply abandoned; once the threads have ended, the file system is
// unloaded (no file may remain open on a volume) and the kernel stops.
VOID PowerOffMachine(PBOOT_MACHINE Machine);
