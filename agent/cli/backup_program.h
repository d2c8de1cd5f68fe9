// backup_program.h - the user programs qvd-backup runs on the emulated
// machine: the agent's command, the setup program that installs the driver,
// and one that writes seed files on C:. Plain types only, so that host code
// beside the kernel's headers starts them.
#pragma once

#include "backup_command.h"
#include "ntdef.h"

// One command run; the callbacks run in the program's thread.
struct BackupProgramRun {
    const BackupCommand* Command;
    BackupOutcome* Outcome;
    void* Context;
    void (*Progress)(void* Context, const BackupProgress& Progress);
    void (*Note)(void* Context, const std::string& Text);
    void (*Frozen)(void* Context);
};
// Context: a BackupProgramRun; returns the command's exit code.
ULONG BackupProgram(PVOID Context);

// Context: an int that receives QVDInstall(1).
ULONG InstallProgram(PVOID Context);

struct SeedJob {
    unsigned Files; // of 1 MiB each, C:\seed-<n>.bin
    unsigned Failures;
};
// Context: a SeedJob.
ULONG SeedProgram(PVOID Context);
