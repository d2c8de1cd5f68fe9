// backup_command.h - qvd-backup's commands on the host side: their command
// line (CLI11), running one as the user program qvd-backup.exe on a running
// emulated machine, and printing its progress and closing report (fmt).
//
// Exit codes of a command:
//   0 success                       4 the frozen image broke or ran out of space
//   1 a system call or the driver   5 a backup file is malformed or does not fit
//     failed                        6 cancelled
//   2 the command line is wrong     3 verify found differences
#pragma once

#include "backup_reports.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

enum BackupExitCode {
    BackupExitOk = 0,
    BackupExitFailed = 1,
    BackupExitUsage = 2,
    BackupExitDiffers = 3,
    BackupExitBroken = 4,
    BackupExitBadFile = 5,
    BackupExitCancelled = 6,
};

struct BackupCommand {
    std::string Name;                   // "full", "incremental", "restore", "verify"
    std::vector<std::string> Arguments; // VOLUME IMAGE, VOLUME BASE NEW, TARGET IMAGE DELTA...,
                                        // IMAGE AGAINST
    std::string Slots[3];               // parsed positionals
    std::vector<std::string> Deltas;    // parsed deltas of restore
    // Freeze settings of full and incremental.
    uint64_t MaxQuiesceMs = 10000;
    uint64_t QuietPeriodMs = 300;
    uint64_t WarnFreeKB = 4096;
    uint64_t MinFreeKB = 1024;
    std::string PartialDataFile;      // empty: beside the output
    bool KeepGoingWhenBroken = false; // no StayBroken: a space-only break may mend
};

// Adds the four commands as subcommands of App; the one parsed fills Command.
void AddBackupCommands(CLI::App& App, BackupCommand& Command);

struct BackupOutput {
    bool Quiet = false;    // the report only
    bool Terminal = false; // a progress bar instead of plain lines
    // Called in the agent's thread once the volume is frozen.
    void (*Frozen)(void* Context) = nullptr;
    void* Context = nullptr;
};

struct BackupOutcome {
    int ExitCode = BackupExitFailed;
    std::string Error; // what failed, named
    BackupReport Backup;
    RestoreReport Restore;
    VerifyReport Verify;
    std::vector<std::string> Notes;
    double Seconds = 0;
};

// Runs Command as qvd-backup.exe (an administrator's program) on the running
// machine and prints its progress and report.
BackupOutcome RunBackupCommand(const BackupCommand& Command, const BackupOutput& Output);
