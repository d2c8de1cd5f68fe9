// demo/main.cpp - qvd_demo: what the project does today, on an emulated
// Windows 2000 machine. Creates the machine (C: NTFS 256 MiB, D: 64 MiB and
// a CD-ROM drive), installs the driver with the install library, reboots,
// shows the boot log, the event log and the volumes' device stacks, runs
// writers on C: while a user program talks to the control device, checks
// every file, removes a volume, uninstalls, reboots and powers off. Exits
// non-zero when anything differs from what is expected.
//
// Host program; its main thread becomes the machine's System thread.
#include "frame/frame.h"
#include "host/qvdnt5_module.h"
#include "host/volumes.h"
#include "ntos/boot/machine.h"
#include "ntos/boot/user_process.h"
#include "ntos/disk/disk.h"
#include "ntos/evlog/evlp.h"
#include "ntos/pnp/pnp.h"
#include "snapshot/qvdapi.h"
#include "user_programs.h"
#include "win32/debug_output.h"

#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

struct DemoOptions {
    double Seconds = 2.0; // how long the writers run
    unsigned Writers = 4;
    bool Quiet = false; // only the report
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
        Run.Detail("service {} (image {}) started: DriverEntry returned {}",
                   Utf8(load.ServiceName), Utf8(load.ImageName), StatusName(load.Status));
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

// The driver's devices: its control device and its filter devices.
ULONG DriverDeviceCount() {
    ULONG count = 0;
    for (PDEVICE_OBJECT device = DriverGlobals.DriverObject->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        count++;
    }
    return count;
}

struct Throughput {
    double WriteMiBs = 0;
    double ReadMiBs = 0;
    uint64_t FilesWritten = 0;
    uint64_t BytesWritten = 0;
    ULONG FilesChecked = 0;
};

const char* const ControlNames[9] = {
    "QueryVersion",          "FreezeVolume",       "ThawVolume",
    "ReportProgress",        "AddPassThroughFile", "RemovePassThroughFile",
    "ClearPassThroughFiles", "EnableExtentList",   "ReadExtentList"};

void ShowControlAnswers(DemoRun& Run, const ControlProbe& Probe, ULONG ExitCode) {
    if (ExitCode != 0) {
        Run.Check(false,
                  fmt::format("\\\\.\\QVDAPI could not be opened (error {})", Probe.OpenError));
        return;
    }
    Run.Step("a backup agent opened \\\\.\\QVDAPI and sent each of the nine control "
             "codes with a zeroed 64-byte record: each answers in its result word, and the "
             "freeze, whose record is longer, refuses the short buffer");
    for (ULONG i = 0; i < 9; i++) {
        Run.Detail("0x{:08X} {:<22} {}", QVD_CONTROL_CODE(0x800 + i), ControlNames[i],
                   StatusName(Probe.Codes[i]));
        // Only the freeze's record is longer than 64 bytes; the others answer
        // in their Result word.
        const NTSTATUS expected = i == 1 ? STATUS_INVALID_BUFFER_SIZE : STATUS_SUCCESS;
        Run.Check(Probe.Codes[i] == expected,
                  fmt::format("{} answered {}", ControlNames[i], StatusName(Probe.Codes[i])));
    }
    Run.Detail("a 3-byte output buffer, too small for the 4-byte result, is refused first: "
               "{} (Win32 error {})",
               StatusName(Probe.ShortOutput), Probe.ShortOutputError);
    Run.Check(Probe.ShortOutput == STATUS_INVALID_BUFFER_SIZE,
              fmt::format("3-byte output answered {}", StatusName(Probe.ShortOutput)));
}

// Writers on C: for the configured time while the control program runs;
// then every file is read back and compared.
Throughput WriteAndVerify(DemoRun& Run) {
    Throughput result;
    PDEVICE_OBJECT c = DiskFindVolume(u"\\DosDevices\\C:");
    if (c == nullptr) {
        Run.Check(false, "C: is missing");
        return result;
    }
    const unsigned writers = Run.Options.Writers;
    std::vector<WriterJob> jobs(writers);
    std::atomic<bool> stop{false};
    PBOOT_USER_PROCESS process = nullptr;
    NTSTATUS status = BootCreateUserProcess(u"writer.exe", &process);
    Run.Check(NT_SUCCESS(status), fmt::format("writer.exe: {}", StatusName(status)));
    if (!NT_SUCCESS(status)) {
        return result;
    }
    DiskResetCounters(c);
    Run.Step("{} writer thread(s) of a user program rewrite files on C: for {:.1f}s; every "
             "write passes through the filter",
             writers, Run.Options.Seconds);
    const auto writeStart = std::chrono::steady_clock::now();
    std::vector<PBOOT_USER_THREAD> threads;
    for (unsigned i = 0; i < writers; i++) {
        jobs[i].Writer = i;
        jobs[i].Slots = WRITER_MAX_SLOTS;
        jobs[i].Stop = &stop;
        PBOOT_USER_THREAD thread = nullptr;
        status = BootStartUserThread(process, WriterProgram, &jobs[i], &thread);
        Run.Check(NT_SUCCESS(status), fmt::format("writer {}: {}", i, StatusName(status)));
        if (NT_SUCCESS(status)) {
            threads.push_back(thread);
        } else {
            jobs[i].Slots = 0;
        }
    }

    ControlProbe probe = {};
    ULONG controlExit = 0;
    if (RunProgram(Run, u"agent.exe", ControlProgram, &probe, &controlExit)) {
        ShowControlAnswers(Run, probe, controlExit);
    }

    const auto deadline =
        writeStart + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(Run.Options.Seconds));
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop = true;
    for (PBOOT_USER_THREAD thread : threads) {
        BootCloseUserThread(thread);
    }
    BootDeleteUserProcess(process);
    const double writeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - writeStart).count();
    const DISK_COUNTERS written = DiskQueryCounters(c);
    for (const WriterJob& job : jobs) {
        result.FilesWritten += job.FilesWritten;
        result.BytesWritten += job.BytesWritten;
        Run.Check(job.Failures == 0, fmt::format("writer {}: {} failure(s), first: {}", job.Writer,
                                                 job.Failures, job.FirstFailure));
    }
    result.WriteMiBs = double(written.WriteBytes) / (1 << 20) / writeSeconds;
    Run.Step("the writers wrote {} file version(s), {:.1f} MiB of file data; {:.1f} MiB "
             "reached the disk under C: (the file system adds its own records)",
             result.FilesWritten, double(result.BytesWritten) / (1 << 20),
             double(written.WriteBytes) / (1 << 20));
    Run.Check(result.FilesWritten > 0, "no file was written");

    Run.Step("reading every file back through the file system and the filter, to check "
             "that no write was lost or changed on the way");
    DiskResetCounters(c);
    const auto readStart = std::chrono::steady_clock::now();
    VerifyJob verify = {};
    verify.Jobs = jobs.data();
    verify.JobCount = static_cast<ULONG>(jobs.size());
    ULONG verifyExit = 0;
    if (RunProgram(Run, u"verify.exe", VerifyProgram, &verify, &verifyExit)) {
        const double readSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - readStart).count();
        const DISK_COUNTERS read = DiskQueryCounters(c);
        result.ReadMiBs = double(read.ReadBytes) / (1 << 20) / readSeconds;
        result.FilesChecked = verify.FilesChecked;
        Run.Detail("{} file(s), {:.1f} MiB compared with what was last written; {} differ",
                   verify.FilesChecked, double(verify.BytesRead) / (1 << 20), verify.Mismatches);
        Run.Check(verify.Mismatches == 0, fmt::format("{} file(s) read back wrong, first: {}",
                                                      verify.Mismatches, verify.FirstMismatch));
    }
    return result;
}

// Removes D: through plug and play and shows that its filter went with it.
void RemoveVolumeD(DemoRun& Run) {
    PDEVICE_OBJECT d = DiskFindVolume(u"\\DosDevices\\D:");
    if (d == nullptr) {
        Run.Check(false, "D: is missing");
        return;
    }
    ObReferenceObject(d);
    const ULONG before = DriverDeviceCount();
    Run.Step("removing D: through plug and play, as when a disk is taken out");
    NTSTATUS status = PnpSendRemove(d);
    Run.Check(NT_SUCCESS(status), fmt::format("removing D:: {}", StatusName(status)));
    const ULONG after = DriverDeviceCount();
    Run.Detail("D: is {}, and {}", PnpQueryVolumeState(d) == PnpVolumeRemoved ? "gone" : "still there",
               d->AttachedDevice == nullptr ? "the filter let go of it" : "a filter still sits on it");
    Run.Detail("the driver had {} devices (its control device and one filter per volume), "
               "now {}",
               before, after);
    Run.Check(d->AttachedDevice == nullptr && after + 1 == before,
              "D:'s filter device is still there");
    ObDereferenceObject(d);
    ShowStacks(Run);
}

int RunDemo(const DemoOptions& Options) {
    DemoRun run;
    run.Options = Options;
    RegisterQvdnt5Module();

    BOOT_MACHINE_DESCRIPTION description;
    description.Storage.push_back(BOOT_STORAGE_DEVICE{u"C:", 256ULL << 20, 512, FALSE});
    description.Storage.push_back(BOOT_STORAGE_DEVICE{u"D:", 64ULL << 20, 512, FALSE});
    description.FileSystem = u"Ntfs";
    PBOOT_MACHINE machine = BootCreateMachine(description);
    run.Step("created an emulated Windows {}.{} (build {}, {}) with two disks, C: 256 MiB and "
             "D: 64 MiB, and a CD-ROM drive E:",
             description.MajorVersion, description.MinorVersion, description.BuildNumber,
             Utf8(description.CsdVersion));

    Boot(run, machine, "freshly installed system");
    RunSetup(run, false);
    run.Step("restarting, so that the newly registered driver loads at boot");
    ShutDownQvdnt5Machine(machine);
    Boot(run, machine, "driver installed");
    ShowBootLog(run, machine);
    run.Check(Qvdnt5Loaded(machine), "the driver did not load at boot");
    ShowEventLog(run);
    const ULONG filtered = ShowStacks(run);
    run.Check(filtered == description.Storage.size() + 1,
              fmt::format("{} volume(s) with the filter on top, expected {}", filtered,
                          description.Storage.size() + 1));

    const Throughput throughput = WriteAndVerify(run);
    RemoveVolumeD(run);

    RunSetup(run, true);
    run.Step("restarting, to see that nothing of the driver is left");
    ShutDownQvdnt5Machine(machine);
    Boot(run, machine, "driver uninstalled");
    ShowBootLog(run, machine);
    run.Check(!Qvdnt5Loaded(machine), "the driver still loads after its uninstall");
    const ULONG stillFiltered = ShowStacks(run);
    run.Check(stillFiltered == 0, "a volume still has the filter after the uninstall");

    run.Step("powering off the machine");
    ShutDownQvdnt5Machine(machine);
    BootDestroyMachine(machine);
    UnregisterQvdnt5Module();

    fmt::print("\nReport\n");
    fmt::print("  {} writer thread(s) ran for {:.1f}s and wrote {} file version(s), {:.1f} MiB\n",
               Options.Writers, Options.Seconds, throughput.FilesWritten,
               double(throughput.BytesWritten) / (1 << 20));
    fmt::print("  {} file(s) were read back and compared\n", throughput.FilesChecked);
    fmt::print("  disk throughput of C: through the filter: {:.1f} MiB/s written, {:.1f} MiB/s "
               "read\n",
               throughput.WriteMiBs, throughput.ReadMiBs);
    fmt::print("  {} check(s) failed; took {:.1f}s\n", run.Failures.size(), run.Elapsed());
    fmt::print("\nExercised: installing and uninstalling through the install library; loading "
               "the driver at boot\n"
               "  and its event-log entry; a filter on every volume, also one that arrives "
               "later;\n"
               "  writes and reads through the filter; the control device's answers; removing "
               "a volume.\n"
               "Not exercised here: snapshots (freezing, copy-on-write, reading the frozen "
               "image, thawing)\n"
               "  and changed-block tracking. The driver has them and the scenario tests "
               "drive them\n"
               "  (scripts/test -L scenario); this demonstration does not take a backup "
               "yet.\n");
    fmt::print("\nResult: {}\n", run.Failures.empty()
                                     ? "OK, everything behaved as expected"
                                     : "FAILED, see the lines marked CHECK FAILED above");
    return run.Failures.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    DemoOptions options;
    CLI::App app{"Shows the volume snapshot driver and its install library on an emulated "
                 "Windows 2000 machine.",
                 "scripts/demo"};
    app.add_option("--seconds", options.Seconds, "how long the writers run")
        ->check(CLI::Range(0.1, 600.0));
    app.add_option("--writers", options.Writers, "writer threads on C:")->check(CLI::Range(1, 32));
    app.add_flag("--quiet", options.Quiet, "print only the report and what went wrong");
    CLI11_PARSE(app, argc, argv);
    return RunDemo(options);
}
