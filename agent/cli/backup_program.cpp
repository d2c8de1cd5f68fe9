// backup_program.cpp - the user programs of qvd-backup (see the header).
#include "backup_program.h"
#include "backup.h"
#include "exports.h"
#include "fileapi.h"

#include <vector>

namespace {

int ExitCodeOf(QvdErrorKind Kind) {
    switch (Kind) {
    case QvdErrorKind::Broken:
        return BackupExitBroken;
    case QvdErrorKind::Data:
        return BackupExitBadFile;
    case QvdErrorKind::Cancelled:
        return BackupExitCancelled;
    default:
        return BackupExitFailed;
    }
}

} // namespace

ULONG BackupProgram(PVOID Context) {
    auto* run = static_cast<BackupProgramRun*>(Context);
    const BackupCommand& command = *run->Command;
    BackupOutcome& outcome = *run->Outcome;
    std::vector<std::u16string> args;
    for (const std::string& argument : command.Arguments) {
        args.push_back(Widen(argument));
    }
    BackupOptions options;
    options.Freeze.MaxQuiesceMs = command.MaxQuiesceMs;
    options.Freeze.QuietPeriodMs = command.QuietPeriodMs;
    options.Freeze.WarnFreeKB = command.WarnFreeKB;
    options.Freeze.MinFreeKB = command.MinFreeKB;
    options.Freeze.PartialDataFile = Widen(command.PartialDataFile);
    options.Freeze.Flags = command.KeepGoingWhenBroken ? 0 : QVD_FREEZE_STAY_BROKEN;
    options.Hooks.Context = run->Context;
    options.Hooks.Progress = run->Progress;
    options.Hooks.Note = run->Note;
    options.Hooks.Frozen = run->Frozen;
    options.Hooks.Cancel = run->Cancel;
    try {
        if (command.Name == "full") {
            outcome.Backup = RunFullBackup(args[0], args[1], options);
        } else if (command.Name == "incremental") {
            outcome.Backup = RunIncrementalBackup(args[0], args[1], args[2], options);
        } else if (command.Name == "restore") {
            outcome.Restore = RunRestore(
                args[0], std::vector<std::u16string>(args.begin() + 1, args.end()), options.Hooks);
        } else {
            outcome.Verify = RunVerify(args[0], args[1], options.Hooks);
        }
        outcome.ExitCode = outcome.Verify.BlocksDiffering != 0 ? BackupExitDiffers : BackupExitOk;
    } catch (const QvdError& error) {
        outcome.ExitCode = ExitCodeOf(error.Kind());
        outcome.Error = error.what();
    } catch (const std::exception& error) {
        outcome.ExitCode = BackupExitFailed;
        outcome.Error = error.what();
    }
    return ULONG(outcome.ExitCode);
}

ULONG InstallProgram(PVOID Context) {
    *static_cast<int*>(Context) = QVDInstall(1);
    return 0;
}

ULONG SeedProgram(PVOID Context) {
    auto* job = static_cast<SeedJob*>(Context);
    std::vector<uint8_t> data(1 << 20);
    for (unsigned f = 0; f < job->Files; f++) {
        for (size_t i = 0; i < data.size(); i++) {
            data[i] = uint8_t(i * 31 + f * 7 + (i >> 12) + job->Variant * 101);
        }
        const std::u16string name = u"C:\\seed-" + Widen(std::to_string(f)) + u".bin";
        try {
            AgentFile file(name, GENERIC_WRITE, CREATE_ALWAYS);
            file.WriteAt(0, data.data(), uint32_t(data.size()));
            // On the volume before the program ends, not only in the cache:
            // a backup started next, or already frozen, meets the writes.
            if (!FlushFileBuffers(file.Handle())) {
                job->Failures++;
            }
        } catch (const QvdError&) {
            job->Failures++;
        }
    }
    return 0;
}
