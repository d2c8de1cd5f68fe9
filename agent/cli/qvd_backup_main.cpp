// qvd_backup_main.cpp - qvd-backup, the reference backup agent's command.
//
// Boots an emulated machine (backup_machine.h), lets a user program write
// files on C:, then runs each command of the command line in turn as the
// user program qvd-backup.exe, commands separated by "then":
//
//   qvd-backup full C: X:\full.img then incremental C: X:\full.img X:\d1.qvd
//              then restore S: X:\full.img X:\d1.qvd then verify ...
//
// The machine lives for one invocation, so a sequence of commands is how an
// incremental finds its base. Ends with the driver's event log and the exit
// code of the first command that failed (backup_command.h lists them).
#include "backup_command.h"
#include "backup_machine.h"
#include "backup_program.h"
#include "ntos/boot/user_process.h"
#include "ntos/evlog/evlp.h"

#include <fmt/core.h>
#include <unistd.h>

int main(int argc, char** argv) {
    // Global options, then one command per "then"-separated segment.
    std::vector<std::vector<std::string>> segments(1);
    for (int i = 1; i < argc; i++) {
        if (std::string(argv[i]) == "then") {
            segments.emplace_back();
        } else {
            segments.back().push_back(argv[i]);
        }
    }
    BackupMachineShape shape;
    unsigned sizeMiB = 32;
    unsigned seedFiles = 8;
    bool quiet = false;
    std::vector<BackupCommand> commands(segments.size());
    for (size_t s = 0; s < segments.size(); s++) {
        CLI::App app{"qvd-backup: full and incremental backups of a live volume with the QVDNT5 "
                     "snapshot driver, run on an emulated Windows 2000 machine (C: to back up, X: "
                     "for backups, S: as a scratch volume). Chain commands with \"then\".\n"
                     "Exit codes: 0 success, 1 a system call or the driver failed, 2 wrong "
                     "command line, 3 verify found differences, 4 the frozen image broke or ran "
                     "out of space, 5 a backup file is malformed or does not fit, 6 cancelled.",
                     "qvd-backup"};
        if (s == 0) {
            app.add_option("--size", sizeMiB, "MiB of C: and S:")
                ->check(CLI::Range(4, 4096))
                ->capture_default_str();
            app.add_option("--sector-size", shape.SectorSize, "bytes per sector")
                ->check(CLI::IsMember({512, 4096}))
                ->capture_default_str();
            app.add_option("--seed-files", seedFiles,
                           "1 MiB files written on C: before the first command")
                ->check(CLI::Range(0, 4096))
                ->capture_default_str();
            app.add_flag("--quiet", quiet, "print only reports and errors");
        }
        AddBackupCommands(app, commands[s]);
        std::vector<std::string> args(segments[s].rbegin(), segments[s].rend());
        try {
            app.parse(args);
        } catch (const CLI::ParseError& error) {
            const int code = app.exit(error);
            return code == 0 ? 0 : BackupExitUsage;
        }
    }
    shape.VolumeBytes = uint64_t(sizeMiB) << 20;

    std::string error;
    PBOOT_MACHINE machine = BootBackupMachine(shape, &error);
    if (machine == nullptr) {
        fmt::print(stderr, "qvd-backup: {}\n", error);
        return BackupExitFailed;
    }
    const unsigned firstEvent = EvlpEntryCount();
    SeedJob seed{seedFiles, 0};
    ULONG exitCode = 0;
    BootRunUserProgram(u"seed.exe", SeedProgram, &seed, &exitCode);
    if (!quiet) {
        fmt::print(
            "booted: C: {} MiB with {} file(s) of 1 MiB, X: for backups, S: scratch, {}-byte "
            "sectors; the driver is loaded\n",
            sizeMiB, seedFiles - seed.Failures, shape.SectorSize);
    }
    BackupOutput output;
    output.Quiet = quiet;
    output.Terminal = isatty(STDOUT_FILENO) != 0;
    int result = BackupExitOk;
    for (const BackupCommand& command : commands) {
        const BackupOutcome outcome = RunBackupCommand(command, output);
        if (outcome.ExitCode != BackupExitOk) {
            result = outcome.ExitCode;
            break;
        }
    }
    fmt::print("events the driver logged:\n");
    PrintEventLog(firstEvent, "  ");
    ShutDownBackupMachine(machine);
    return result;
}
