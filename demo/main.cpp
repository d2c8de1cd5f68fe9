// demo/main.cpp - qvd_demo: a live backup on an emulated Windows 2000
// machine. Creates the machine (C: to back up, X: for the backups, S: as a
// scratch volume, a CD-ROM drive that arrives later), installs the driver
// with the install library, reboots, shows the boot log, the event log and
// the volumes' device stacks, starts writers on C:, takes a full and then an
// incremental backup with qvd-backup while the writers go on, restores both
// to S: and compares each byte for byte with C: as it was at its freeze
// (its backing store copied at that moment), checks every file the writers
// left, uninstalls, reboots and powers off. Exits 1 when anything differs
// from what is expected, 0 otherwise.
//
// Host program; its main thread becomes the machine's System thread.
#include "host/qvdnt5_module.h"
#include "host/volumes.h"
#include "ntos/boot/machine.h"
#include "ntos/boot/user_process.h"
#include "ntos/disk/disk.h"
#include "ntos/evlog/evlp.h"
#include "ntos/fs/fsp.h"
#include "ntos/evlog/evlp.h"
#include "ntos/pnp/pnp.h"
#include "backup_command.h"
#include "backup_machine.h"
#include "user_programs.h"
#include "win32/debug_output.h"

#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

struct DemoOptions {
    double Seconds = 2.0; // how long the writers run between and after the backups
    unsigned Writers = 4;
    unsigned SizeMiB = 64;     // C: and the scratch volume S:
    unsigned SectorSize = 512; // of every disk
    bool Quiet = false;        // only the report
};

// Progress lines, elapsed time, and the checks that failed.
struct DemoRun {
    DemoOptions Options;
    std::chrono::steady_clock::time_point Start = std::chrono::steady_clock::now();
    std::vector<std::string> Failures;

    double Elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    }
    template <typename... Args> void Step(fmt::format_string<Args...> Format, Args&&... A) {
        if (!Options.Quiet) {
            fmt::print("[{:6.2f}s] {}\n", Elapsed(), fmt::format(Format, std::forward<Args>(A)...));
        }
    }
    template <typename... Args> void Detail(fmt::format_string<Args...> Format, Args&&... A) {
        if (!Options.Quiet) {
            fmt::print("           {}\n", fmt::format(Format, std::forward<Args>(A)...));
        }
    }
    // Records a failed check (and says so even when quiet).
    void Check(bool Holds, const std::string& What) {
        if (!Holds) {
            Failures.push_back(What);
            fmt::print("CHECK FAILED: {}\n", What);
        }
    }
};

std::string Utf8(std::u16string_view Text) {
    return EvlpToUtf8(Text);
}

std::string StatusName(NTSTATUS Status) {
    struct Known {
        NTSTATUS Status;
        const char* Name;
    };
    static const Known known[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_INVALID_BUFFER_SIZE, "STATUS_INVALID_BUFFER_SIZE"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
    };
    for (const Known& k : known) {
        if (k.Status == Status) {
            return fmt::format("{} (0x{:08X})", k.Name, ULONG(Status));
        }
    }
    return fmt::format("0x{:08X}", ULONG(Status));
}

// Runs Routine as the user program ImageName; FALSE (and a failed check)
// when it could not run.
bool RunProgram(DemoRun& Run, PCWSTR ImageName, BOOT_USER_ROUTINE Routine, PVOID Context,
                ULONG* ExitCode) {
    NTSTATUS status = BootRunUserProgram(ImageName, Routine, Context, ExitCode);
    Run.Check(NT_SUCCESS(status),
              fmt::format("user program {} did not run: {}", Utf8(ImageName), StatusName(status)));
    return NT_SUCCESS(status);
}

// QVDInstall(1) or QVDUninstall(1) as a setup program, with its debug output.
void RunSetup(DemoRun& Run, bool Uninstall) {
    const char* name = Uninstall ? "QVDUninstall(1)" : "QVDInstall(1)";
    Run.Step("{}: a setup program calls the install library's {} export",
             Uninstall ? "uninstalling" : "installing", name);
    BasepClearDebugOutput();
    SetupRun setup = {1, BOOLEAN(Uninstall ? TRUE : FALSE), -1};
    ULONG exitCode = 0;
    if (!RunProgram(Run, u"setup.exe", SetupProgram, &setup, &exitCode)) {
        return;
    }
    for (const std::u16string& line : BasepReadDebugOutput()) {
        std::string text = Utf8(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        Run.Detail("the library reports: {}", text);
    }
    Run.Detail("{} returned {} ({})", name, setup.Result,
               setup.Result == 0 ? "success" : "failure");
    Run.Check(setup.Result == 0, fmt::format("{} returned {}", name, setup.Result));
}

// The CD-ROM drive is not part of the boot storage; it arrives through plug
// and play once the machine runs.
void AddCdRom(DemoRun& Run) {
    DISK_VOLUME_CONFIG config;
    config.CdRom = TRUE;
    config.Bytes = 32ULL << 20;
    config.DriveLetter = u"E:";
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = DiskAddVolume(config, &pdo);
    Run.Check(NT_SUCCESS(status), fmt::format("CD-ROM drive not added: {}", StatusName(status)));
}

void Boot(DemoRun& Run, PBOOT_MACHINE Machine, const char* Why) {
    Run.Step("booting the machine ({})", Why);
    NTSTATUS status = BootMachine(Machine);
    Run.Check(NT_SUCCESS(status), fmt::format("boot: {}", StatusName(status)));
    AddCdRom(Run);
    Run.Detail("volumes are mounted by the file system driver {}",
               Machine->FileSystemDriver != nullptr
                   ? Utf8(std::u16string(Machine->FileSystemDriver->DriverName.Buffer,
                                         Machine->FileSystemDriver->DriverName.Length / 2))
                   : std::string("none"));
}

void ShowBootLog(DemoRun& Run, PBOOT_MACHINE Machine) {
    Run.Step("{} boot-start driver(s) loaded, as the registry's service entries ask",
             Machine->Loads.size());
    for (const BOOT_SERVICE_LOAD& load : Machine->Loads) {
        Run.Detail("service {} (image {}) started: DriverEntry returned {}", Utf8(load.ServiceName),
                   Utf8(load.ImageName), StatusName(load.Status));
    }
}

void ShowEventLog(DemoRun& Run) {
    const ULONG count = EvlpEntryCount();
    Run.Step("the system event log holds {} entr{}", count, count == 1 ? "y" : "ies");
    bool loadMessage = false;
    for (ULONG i = 0; i < count; i++) {
        EVLP_ENTRY entry;
        if (EvlpGetEntry(i, &entry)) {
            Run.Detail("#{} from {} (event 0x{:08X}): \"{}\"", entry.RecordNumber,
                       Utf8(entry.Source), ULONG(entry.EventId), Utf8(entry.Text));
            loadMessage = loadMessage || (entry.Source == u"QVDNT" && entry.Severity == 1);
        }
    }
    Run.Check(loadMessage, "the driver's load message is not in the event log");
}

// Shows each volume's stack; returns how many have the driver's filter on top.
ULONG ShowStacks(DemoRun& Run) {
    ULONG filtered = 0;
    std::vector<PDEVICE_OBJECT> volumes = HostListVolumes();
    Run.Step("{} volume(s); each line shows the drivers stacked on the volume, the volume "
             "first, the filter above it",
             volumes.size());
    for (PDEVICE_OBJECT pdo : volumes) {
        const HOST_VOLUME_NAME name = HostVolumeName(pdo);
        const std::vector<std::u16string> stack = HostDeviceStack(pdo);
        std::string line;
        for (const std::u16string& driver : stack) {
            line += (line.empty() ? "" : " <- ") + Utf8(driver);
        }
        Run.Detail("{:<3} {:<26} {} ({})", Utf8(name.DriveLetter), Utf8(name.DeviceName), line,
                   PnpQueryVolumeState(pdo) == PnpVolumeStarted ? "in service" : "not started");
        if (stack.size() == 2 && stack[1] == u"\\Driver\\QVDNT") {
            filtered++;
        }
    }
    HostReleaseVolumes(volumes);
    return filtered;
}

// The writers on C: and the switch that pauses them for a freeze.
struct Writers {
    std::vector<WriterJob> Jobs;
    std::atomic<bool> Stop{false};
    std::atomic<bool> Pause{false};
    std::atomic<unsigned> Paused{0};
    PBOOT_USER_PROCESS Process = nullptr;
    std::vector<PBOOT_USER_THREAD> Threads;
};

bool StartWriters(DemoRun& Run, Writers& W) {
    NTSTATUS status = BootCreateUserProcess(u"writer.exe", &W.Process);
    Run.Check(NT_SUCCESS(status), fmt::format("writer.exe: {}", StatusName(status)));
    if (!NT_SUCCESS(status)) {
        return false;
    }
    W.Jobs.resize(Run.Options.Writers);
    for (unsigned i = 0; i < W.Jobs.size(); i++) {
        W.Jobs[i].Writer = i;
        W.Jobs[i].Slots = WRITER_MAX_SLOTS;
        W.Jobs[i].Stop = &W.Stop;
        W.Jobs[i].Pause = &W.Pause;
        W.Jobs[i].Paused = &W.Paused;
        PBOOT_USER_THREAD thread = nullptr;
        status = BootStartUserThread(W.Process, WriterProgram, &W.Jobs[i], &thread);
        Run.Check(NT_SUCCESS(status), fmt::format("writer {}: {}", i, StatusName(status)));
        if (NT_SUCCESS(status)) {
            W.Threads.push_back(thread);
        } else {
            W.Jobs[i].Slots = 0;
        }
    }
    return true;
}

void StopWriters(Writers& W) {
    W.Stop = true;
    for (PBOOT_USER_THREAD thread : W.Threads) {
        BootCloseUserThread(thread);
    }
    W.Threads.clear();
    if (W.Process != nullptr) {
        BootDeleteUserProcess(W.Process);
        W.Process = nullptr;
    }
}

// Asks the writers to stop between files, as an application is asked to
// reach a consistent point before a snapshot, and waits until they have.
void PauseWriters(Writers& W) {
    W.Pause = true;
    while (W.Paused.load() < W.Threads.size()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void WriteFor(double Seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(Seconds));
}

// Called in the agent's thread once C: is frozen: keeps C:'s backing store
// as it is at this moment (the image the backup must hold) and lets the
// writers go on while the agent reads.
// The file system's internal metadata stream is exempt from the freeze (the
// file system keeps it consistent by itself), so its clusters are left out
// of the comparison.
struct FreezeWitness {
    Writers* W;
    std::vector<UCHAR> AtFreeze;
    std::vector<bool> Internal; // by cluster: the internal stream's
    ULONG ClusterSize = 4096;
};

void OnFrozen(void* Context) {
    auto* witness = static_cast<FreezeWitness*>(Context);
    PDEVICE_OBJECT c = DiskFindVolume(u"\\DosDevices\\C:");
    witness->AtFreeze = DiskSnapshotBackingStore(c);
    FSP_VOLUME* fs = FsGetVolume(c);
    witness->ClusterSize = fs->ClusterSize;
    witness->Internal.assign(witness->AtFreeze.size() / fs->ClusterSize + 1, false);
    for (ULONGLONG cluster : fs->MetadataStream->Clusters) {
        witness->Internal[cluster] = true;
    }
    witness->W->Pause = false;
}

struct BackupRun {
    std::string Label;
    BackupOutcome Outcome;
    std::vector<UCHAR> AtFreeze;
    std::vector<bool> Internal; // clusters of the file system's internal stream
    ULONG ClusterSize = 4096;
    uint64_t Differences = 0; // bytes of S: that differ after the restore
    bool Restored = false;
};

BackupOutcome RunAgent(DemoRun& Run, const std::vector<std::string>& Arguments,
                       FreezeWitness* Witness) {
    BackupCommand command;
    command.Name = Arguments[0];
    command.Arguments.assign(Arguments.begin() + 1, Arguments.end());
    BackupOutput output;
    output.Quiet = Run.Options.Quiet;
    output.Terminal = !Run.Options.Quiet && isatty(STDOUT_FILENO) != 0;
    if (Witness != nullptr) {
        output.Frozen = OnFrozen;
        output.Context = Witness;
    }
    BackupOutcome outcome = RunBackupCommand(command, output);
    Run.Check(outcome.ExitCode == BackupExitOk,
              fmt::format("qvd-backup {} exited with {}: {}", command.Name, outcome.ExitCode,
                          outcome.Error));
    return outcome;
}

// A backup of C: taken while the writers are busy: they pause only until the
// volume is frozen.
BackupRun TakeBackup(DemoRun& Run, Writers& W, const std::string& Label,
                     const std::vector<std::string>& Arguments) {
    BackupRun backup;
    backup.Label = Label;
    Run.Step("{} backup: the writers pause at their next file boundary, qvd-backup flushes "
             "and freezes C:, and the writers go on while it reads the frozen image",
             Label);
    PauseWriters(W);
    FreezeWitness witness{&W, {}, {}, 4096};
    backup.Outcome = RunAgent(Run, Arguments, &witness);
    W.Pause = false;
    backup.AtFreeze = std::move(witness.AtFreeze);
    backup.Internal = std::move(witness.Internal);
    backup.ClusterSize = witness.ClusterSize;
    Run.Check(!backup.AtFreeze.empty(), Label + " backup: the volume was never frozen");
    return backup;
}

// Restores Files to S: and compares S: byte for byte with Backup's C: at its freeze.
void RestoreAndCompare(DemoRun& Run, BackupRun& Backup, const std::vector<std::string>& Files) {
    std::vector<std::string> arguments = {"restore", "S:"};
    arguments.insert(arguments.end(), Files.begin(), Files.end());
    Run.Step("restoring the {} backup to the scratch volume S:", Backup.Label);
    const BackupOutcome outcome = RunAgent(Run, arguments, nullptr);
    if (outcome.ExitCode != BackupExitOk || Backup.AtFreeze.empty()) {
        return;
    }
    const std::vector<UCHAR> restored =
        DiskSnapshotBackingStore(DiskFindVolume(u"\\DosDevices\\S:"));
    uint64_t first = 0;
    for (size_t i = 0; i < Backup.AtFreeze.size(); i++) {
        if (Backup.Internal[i / Backup.ClusterSize]) {
            continue;
        }
        if (i >= restored.size() || restored[i] != Backup.AtFreeze[i]) {
            first = Backup.Differences++ == 0 ? i : first;
        }
    }
    Backup.Restored = true;
    Run.Detail("S: against C: as it was at the {} backup's freeze: {:.1f} MiB compared (all "
               "but the file system's internal stream, which passes the freeze), {}",
               Backup.Label, double(Backup.AtFreeze.size()) / (1 << 20),
               Backup.Differences == 0
                   ? std::string("every byte equal")
                   : fmt::format("{} bytes differ, the first at {}", Backup.Differences, first));
    Run.Check(Backup.Differences == 0,
              fmt::format("the restored {} backup differs from C: at its freeze", Backup.Label));
}

void CheckFiles(DemoRun& Run, Writers& W) {
    Run.Step("reading every file the writers left back through the file system, to check that "
             "the snapshots lost or changed none of their writes");
    VerifyJob verify = {};
    verify.Jobs = W.Jobs.data();
    verify.JobCount = static_cast<ULONG>(W.Jobs.size());
    ULONG verifyExit = 0;
    if (RunProgram(Run, u"verify.exe", VerifyProgram, &verify, &verifyExit)) {
        Run.Detail("{} file(s), {:.1f} MiB compared with what was last written; {} differ",
                   verify.FilesChecked, double(verify.BytesRead) / (1 << 20), verify.Mismatches);
        Run.Check(verify.Mismatches == 0, fmt::format("{} file(s) read back wrong, first: {}",
                                                      verify.Mismatches, verify.FirstMismatch));
    }
}

void PrintBackupLine(const BackupRun& Backup) {
    const BackupReport& r = Backup.Outcome.Backup;
    const double seconds = Backup.Outcome.Seconds > 0 ? Backup.Outcome.Seconds : 1e-9;
    fmt::print("  {:<11} {:7.1f} MiB read, {:6} blocks stored, {:6} KiB preserved by the "
               "driver, {:5.2f}s, {:6.1f} MiB/s, restored image {}\n",
               Backup.Label, double(r.BytesRead) / (1 << 20), r.BlocksCopied,
               r.PreservedBytes / 1024, Backup.Outcome.Seconds,
               double(r.BytesRead) / (1 << 20) / seconds,
               !Backup.Restored          ? "not checked"
               : Backup.Differences == 0 ? "equal to C: at its freeze"
                                         : "DIFFERENT");
}

int RunDemo(const DemoOptions& Options) {
    DemoRun run;
    run.Options = Options;
    RegisterQvdnt5Module();

    const uint64_t size = uint64_t(Options.SizeMiB) << 20;
    BOOT_MACHINE_DESCRIPTION description;
    description.Storage.push_back(BOOT_STORAGE_DEVICE{u"C:", size, Options.SectorSize, FALSE});
    description.Storage.push_back(
        BOOT_STORAGE_DEVICE{u"X:", 3 * size + (16ull << 20), Options.SectorSize, FALSE});
    description.Storage.push_back(BOOT_STORAGE_DEVICE{u"S:", size, Options.SectorSize, FALSE});
    description.FileSystem = u"Ntfs";
    PBOOT_MACHINE machine = BootCreateMachine(description);
    run.Step("created an emulated Windows {}.{} (build {}, {}) with C: {} MiB to back up, X: {} "
             "MiB for the backups, S: {} MiB as a scratch volume ({}-byte sectors) and a CD-ROM "
             "drive E:",
             description.MajorVersion, description.MinorVersion, description.BuildNumber,
             Utf8(description.CsdVersion), Options.SizeMiB, (3 * size >> 20) + 16, Options.SizeMiB,
             Options.SectorSize);

    Boot(run, machine, "freshly installed system");
    RunSetup(run, false);
    run.Step("restarting, so that the newly registered driver loads at boot");
    ShutDownQvdnt5Machine(machine);
    Boot(run, machine, "driver installed");
    ShowBootLog(run, machine);
    run.Check(Qvdnt5Loaded(machine), "the driver did not load at boot");
    ShowEventLog(run);
    const ULONG firstEvent = EvlpEntryCount();
    const ULONG filtered = ShowStacks(run);
    run.Check(filtered == description.Storage.size() + 1,
              fmt::format("{} volume(s) with the filter on top, expected {}", filtered,
                          description.Storage.size() + 1));

    Writers writers;
    std::vector<BackupRun> backups;
    if (StartWriters(run, writers)) {
        run.Step("{} writer thread(s) of a user program create, overwrite, delete and append to "
                 "files on C:, {:.1f}s before each backup and after the last",
                 Options.Writers, Options.Seconds / 3);
        WriteFor(Options.Seconds / 3);
        backups.push_back(TakeBackup(run, writers, "full", {"full", "C:", "X:\\full.img"}));
        WriteFor(Options.Seconds / 3);
        backups.push_back(TakeBackup(run, writers, "incremental",
                                     {"incremental", "C:", "X:\\full.img", "X:\\inc1.qvd"}));
        WriteFor(Options.Seconds / 3);
        StopWriters(writers);
        uint64_t files = 0, mapped = 0, deleted = 0, lines = 0, bytes = 0;
        for (const WriterJob& job : writers.Jobs) {
            files += job.FilesWritten;
            mapped += job.FilesMapped;
            deleted += job.FilesDeleted;
            lines += job.LinesAppended;
            bytes += job.BytesWritten;
            run.Check(job.Failures == 0, fmt::format("writer {}: {} failure(s), first: {}",
                                                     job.Writer, job.Failures, job.FirstFailure));
        }
        run.Step("the writers stopped: {} file version(s) written ({:.1f} MiB; {} through mapped "
                 "views), {} deleted, {} log line(s) appended",
                 files, double(bytes) / (1 << 20), mapped, deleted, lines);
        run.Check(files > 0, "no file was written");

        RestoreAndCompare(run, backups[0], {"X:\\full.img"});
        if (backups[0].Restored) {
            RunAgent(run, {"verify", "X:\\full.img", "S:"}, nullptr);
        }
        RestoreAndCompare(run, backups[1], {"X:\\full.img", "X:\\inc1.qvd"});
        CheckFiles(run, writers);
    }
    run.Step("the driver's entries in the event log since boot:");
    PrintEventLog(firstEvent, "           ");
    const ULONG events = EvlpEntryCount() - firstEvent;

    RunSetup(run, true);
    run.Step("restarting, to see that nothing of the driver is left");
    ShutDownQvdnt5Machine(machine);
    Boot(run, machine, "driver uninstalled");
    run.Check(!Qvdnt5Loaded(machine), "the driver still loads after its uninstall");
    const ULONG stillFiltered = ShowStacks(run);
    run.Check(stillFiltered == 0, "a volume still has the filter after the uninstall");

    run.Step("powering off the machine");
    ShutDownQvdnt5Machine(machine);
    BootDestroyMachine(machine);
    UnregisterQvdnt5Module();

    fmt::print("\nReport\n");
    for (const BackupRun& backup : backups) {
        PrintBackupLine(backup);
    }
    fmt::print("  {} event(s) logged by the driver while the backups ran\n", events);
    fmt::print("  {} check(s) failed; took {:.1f}s\n", run.Failures.size(), run.Elapsed());
    const bool proved =
        run.Failures.empty() && backups.size() == 2 && backups[0].Restored && backups[1].Restored;
    if (proved) {
        fmt::print(
            "\nWhat this proved: while {} writer(s) kept creating, overwriting (by WriteFile and\n"
            "  through mapped views), deleting and appending to files on C:, qvd-backup froze C:\n"
            "  twice and read a consistent image each time. The full image, and the full image\n"
            "  with the incremental delta (only the blocks the driver's change store marked)\n"
            "  applied, each restored to a byte-for-byte copy of C: as it was at the moment of\n"
            "  its freeze, and no write of the writers was lost.\n",
            Options.Writers);
    }
    fmt::print("\nResult: {}\n", run.Failures.empty()
                                     ? "OK, everything behaved as expected"
                                     : "FAILED, see the lines marked CHECK FAILED above");
    return run.Failures.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    DemoOptions options;
    CLI::App app{"A live backup with the volume snapshot driver on an emulated Windows 2000 "
                 "machine: a full and an incremental backup of C: while writers are busy, both "
                 "restored and compared with C: at their freeze. Exits 0 when every check held, "
                 "1 otherwise.",
                 "scripts/demo"};
    app.add_option("--seconds", options.Seconds, "how long the writers run in all")
        ->check(CLI::Range(0.1, 600.0))
        ->capture_default_str();
    app.add_option("--writers", options.Writers, "writer threads on C:")
        ->check(CLI::Range(1, 32))
        ->capture_default_str();
    app.add_option("--size", options.SizeMiB, "MiB of C: (and of the scratch volume)")
        ->check(CLI::Range(16, 1024))
        ->capture_default_str();
    app.add_option("--sector-size", options.SectorSize, "bytes per sector of every disk")
        ->check(CLI::IsMember({512, 4096}))
        ->capture_default_str();
    app.add_flag("--quiet", options.Quiet, "print only the report and what went wrong");
    CLI11_PARSE(app, argc, argv);
    return RunDemo(options);
}
