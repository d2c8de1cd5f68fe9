// backup_command.cpp - qvd-backup's commands run as a user program.
#include "backup_command.h"
#include "backup_program.h"
#include "ntos/boot/user_process.h"
#include "ntos/evlog/evlp.h"

#include <fmt/core.h>

#include <chrono>
#include <mutex>

namespace {

struct ProgramRun {
    const BackupCommand* Command;
    const BackupOutput* Output;
    BackupOutcome* Outcome;
    std::chrono::steady_clock::time_point Start;
    int LastTenth = -1; // plain progress lines come every tenth
};

void PrintProgress(void* Context, const BackupProgress& Progress) {
    auto* run = static_cast<ProgramRun*>(Context);
    if (run->Output->Quiet || Progress.Total == 0) {
        return;
    }
    const double fraction = double(Progress.Done) / double(Progress.Total);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run->Start).count();
    const bool isBlocks = std::string(Progress.Phase) == "restoring" && Progress.Total < 1u << 20;
    if (run->Output->Terminal) {
        const int width = 30;
        const int filled = int(fraction * width);
        fmt::print("\r  {:<9} [{}{}] {:5.1f}%  {}", Progress.Phase, std::string(filled, '#'),
                   std::string(width - filled, ' '), fraction * 100,
                   isBlocks ? fmt::format("{} blocks", Progress.Done)
                            : fmt::format("{:.1f} MiB/s",
                                          seconds > 0 ? Progress.Done / seconds / (1 << 20) : 0.0));
        if (Progress.Done == Progress.Total) {
            fmt::print("\n");
        }
        std::fflush(stdout);
        return;
    }
    const int tenth = int(fraction * 10);
    if (tenth != run->LastTenth) {
        run->LastTenth = tenth;
        fmt::print("  {} {:3d}% ({} of {}{})\n", Progress.Phase, tenth * 10, Progress.Done,
                   Progress.Total, isBlocks ? " blocks" : " bytes");
    }
}

void KeepNote(void* Context, const std::string& Text) {
    auto* run = static_cast<ProgramRun*>(Context);
    run->Outcome->Notes.push_back(Text);
    if (!run->Output->Quiet) {
        fmt::print("  note: {}\n", Text);
    }
}

void Frozen(void* Context) {
    auto* run = static_cast<ProgramRun*>(Context);
    if (!run->Output->Quiet) {
        fmt::print("  the volume is frozen; reading its frozen image while writes go on\n");
    }
    if (run->Output->Frozen != nullptr) {
        run->Output->Frozen(run->Output->Context);
    }
}

// The driver's progress Status bits in words.
std::string StatusText(uint32_t Status) {
    std::string text;
    for (auto [bit, name] : {std::pair{1u, "low space"}, std::pair{2u, "out of space"},
                             std::pair{4u, "frozen image no longer maintained"}}) {
        if (Status & bit) {
            text += (text.empty() ? "" : ", ") + std::string(name);
        }
    }
    return text.empty() ? "healthy" : text;
}

double MiB(uint64_t Bytes) {
    return double(Bytes) / (1 << 20);
}

void PrintReport(const BackupCommand& Command, const BackupOutcome& Outcome) {
    const double seconds = Outcome.Seconds > 0 ? Outcome.Seconds : 1e-9;
    if (Command.Name == "full" || Command.Name == "incremental") {
        const BackupReport& r = Outcome.Backup;
        fmt::print("  read {:.1f} MiB of the frozen image ({} blocks of 4 KiB{}) and wrote {:.1f} "
                   "MiB\n",
                   MiB(r.BytesRead), r.BlocksCopied, r.EveryBlock ? ", every block" : "",
                   MiB(r.BytesWritten));
        fmt::print("  the driver preserved {:.1f} MiB of overwritten data meanwhile (its partial "
                   "data file)\n",
                   MiB(r.PreservedBytes));
        fmt::print("  {:.2f}s, {:.1f} MiB/s; driver status at the end: {}\n", Outcome.Seconds,
                   MiB(r.BytesRead) / seconds, StatusText(r.Status));
    } else if (Command.Name == "restore") {
        fmt::print("  applied {} file(s), wrote {:.1f} MiB in {:.2f}s ({:.1f} MiB/s)\n",
                   Outcome.Restore.FilesApplied, MiB(Outcome.Restore.BytesWritten), Outcome.Seconds,
                   MiB(Outcome.Restore.BytesWritten) / seconds);
    } else {
        const VerifyReport& v = Outcome.Verify;
        fmt::print("  compared {:.1f} MiB in {:.2f}s: {}\n", MiB(v.BytesCompared), Outcome.Seconds,
                   v.BlocksDiffering == 0 ? std::string("identical")
                                          : fmt::format("{} block(s) differ, the first at byte {}",
                                                        v.BlocksDiffering, v.FirstDifference));
    }
}

} // namespace

void AddBackupCommands(CLI::App& App, BackupCommand& Command) {
    auto freezeOptions = [&Command](CLI::App* Sub) {
        Sub->add_option("--max-quiesce-ms", Command.MaxQuiesceMs,
                        "longest wait for the volume to become quiet")
            ->capture_default_str();
        Sub->add_option("--quiet-period-ms", Command.QuietPeriodMs,
                        "time without writes after which a file counts as quiet")
            ->capture_default_str();
        Sub->add_option("--warn-free-kb", Command.WarnFreeKB,
                        "free space on the partial data file's volume below which the driver "
                        "warns")
            ->capture_default_str();
        Sub->add_option("--min-free-kb", Command.MinFreeKB,
                        "free space below which the frozen image breaks and the backup stops")
            ->capture_default_str();
        Sub->add_option("--partial-data-file", Command.PartialDataFile,
                        "where the driver keeps overwritten data (default: beside the output)");
        Sub->add_flag("--keep-going-when-broken", Command.KeepGoingWhenBroken,
                      "let a break for space alone mend instead of failing reads");
    };
    // Positionals land in Slots; the parsed command copies them in order.
    auto named = [&Command](CLI::App* Sub, const std::vector<std::string>& Names) {
        for (size_t i = 0; i < Names.size(); i++) {
            Sub->add_option(Names[i], Command.Slots[i])->required();
        }
        const size_t count = Names.size();
        Sub->callback([&Command, Sub, count] {
            Command.Name = Sub->get_name();
            Command.Arguments.assign(Command.Slots, Command.Slots + count);
        });
    };
    CLI::App* full = App.add_subcommand("full", "back up every block of a live VOLUME into IMAGE");
    named(full, {"VOLUME", "IMAGE"});
    freezeOptions(full);
    CLI::App* incremental = App.add_subcommand(
        "incremental", "back up the blocks written since BASE's backup into the delta file NEW");
    named(incremental, {"VOLUME", "BASE", "NEW"});
    freezeOptions(incremental);
    CLI::App* restore = App.add_subcommand(
        "restore", "write IMAGE and then each DELTA in order to TARGET (a volume or a file)");
    restore->add_option("TARGET", Command.Slots[0])->required();
    restore->add_option("IMAGE", Command.Slots[1], "the full image")->required();
    restore->add_option("DELTA", Command.Deltas, "delta files, oldest first");
    restore->callback([&Command] {
        Command.Name = "restore";
        Command.Arguments = {Command.Slots[0], Command.Slots[1]};
        Command.Arguments.insert(Command.Arguments.end(), Command.Deltas.begin(),
                                 Command.Deltas.end());
    });
    CLI::App* verify =
        App.add_subcommand("verify", "compare IMAGE with a volume or another image, AGAINST");
    named(verify, {"IMAGE", "AGAINST"});
    App.require_subcommand(1);
}

BackupOutcome RunBackupCommand(const BackupCommand& Command, const BackupOutput& Output) {
    BackupOutcome outcome;
    ProgramRun run = {&Command, &Output, &outcome, std::chrono::steady_clock::now(), -1};
    BackupProgramRun program = {&Command, &outcome, &run, PrintProgress, KeepNote, Frozen};
    if (!Output.Quiet) {
        std::string line;
        for (const std::string& argument : Command.Arguments) {
            line += " " + argument;
        }
        fmt::print("qvd-backup {}{}\n", Command.Name, line);
    }
    ULONG exitCode = 0;
    const NTSTATUS status =
        BootRunUserProgram(u"qvd-backup.exe", BackupProgram, &program, &exitCode);
    outcome.Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run.Start).count();
    if (!NT_SUCCESS(status)) {
        outcome.ExitCode = BackupExitFailed;
        outcome.Error = fmt::format("the user program did not run: 0x{:08X}", ULONG(status));
    }
    if (outcome.ExitCode == BackupExitOk || outcome.ExitCode == BackupExitDiffers) {
        PrintReport(Command, outcome);
    }
    if (!outcome.Error.empty()) {
        fmt::print("qvd-backup {}: {} (exit code {})\n", Command.Name, outcome.Error,
                   outcome.ExitCode);
    }
    return outcome;
}
