// backup_machine.h - the emulated machine qvd-backup runs on: C: (the volume
// to back up, with the NT file system), X: (the backup volume, room for the
// images, the partial data file and the change stores) and S: (a scratch
// volume for restores), with the snapshot driver installed through the
// install library and the machine restarted so that boot loaded it. Host
// code; the calling thread becomes the machine's System thread.
#pragma once

#include "ntos/boot/machine.h"

#include <string>

struct BackupMachineShape {
    uint64_t VolumeBytes = 32ull << 20; // C: and S:
    uint64_t BackupBytes = 0;           // X:; 0: three times C: and 16 MiB more
    uint32_t SectorSize = 512;
};

// A booted machine with the driver loaded, or nullptr with *Error set.
PBOOT_MACHINE BootBackupMachine(const BackupMachineShape& Shape, std::string* Error);
// Powers the machine off and forgets it.
void ShutDownBackupMachine(PBOOT_MACHINE Machine);

// The event-log entries from number First on, one line each.
void PrintEventLog(unsigned First, const char* Indent);
