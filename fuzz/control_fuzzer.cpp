// control_fuzzer.cpp - libFuzzer entry points: the control device of a
// running machine, fuzzed from user programs.
//
// The fuzzing process boots one machine with the driver installed and loaded
// as a customer's machine would (install, restart). Each input runs as one
// user program (control_program.h); then the machine's side thaws every
// volume still frozen and clears the pass-through list from a second
// program. After each input no lock may be held by any thread and no copy
// of a name the requests passed may be left. When the fuzzer ends, the
// machine is shut down and the driver's pool and the kernel's handles are
// verified, so a leak of any input ends the run with a bug check. Bug checks
// and sanitizer reports end the process: libFuzzer keeps the input.
#include "control_program.h"
#include "frame/frame.h"
#include "host/qvdnt5_module.h"
#include "io/io.h"
#include "ntos/boot/machine.h"
#include "ntos/boot/user_process.h"
#include "ntos/disk/disk.h"
#include "ntos/ex/exp.h"
#include "ntos/verifier/lock_order.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

PBOOT_MACHINE Machine;

const PCWSTR kVolumes[] = {u"\\Device\\HarddiskVolume1", u"\\Device\\HarddiskVolume2",
                           u"\\Device\\HarddiskVolume3"};

[[noreturn]] void Fail(const char* What) {
    std::fprintf(stderr, "control fuzzer: %s\n", What);
    std::abort();
}

FilterExtension* FilterOf(PCWSTR Volume) {
    PDEVICE_OBJECT device = DiskFindVolume(Volume);
    return device != nullptr && device->AttachedDevice != nullptr
               ? static_cast<FilterExtension*>(device->AttachedDevice->DeviceExtension)
               : nullptr;
}

bool AnyVolumeFrozen() {
    for (PCWSTR volume : kVolumes) {
        FilterExtension* filter = FilterOf(volume);
        if (filter != nullptr &&
            (ReadVolumeFlags(filter) & (VOLUME_QUIESCING | VOLUME_FROZEN)) != 0) {
            return true;
        }
    }
    return false;
}

void Run(BOOT_USER_ROUTINE Routine, PVOID Context, BOOT_USER_ACCOUNT Account) {
    ULONG exitCode = 99;
    if (BootRunUserProgram(u"fuzz.exe", Routine, Context, &exitCode, Account) != STATUS_SUCCESS ||
        exitCode != 0) {
        Fail("a user program did not run to its end");
    }
}

void ShutDown() {
    ShutDownQvdnt5Machine(Machine);
    // The driver's own pool; the platform abandons driver objects at power-off.
    ExpVerifyNoPoolLeaks(EX_POOL_TAG('Q', 'v', 'd', 0), 0x00FFFFFFu);
    BootDestroyMachine(Machine);
    UnregisterQvdnt5Module();
    std::fprintf(stderr, "control fuzzer: machine shut down, no leak, %u lock orders seen\n",
                 VfLockOrdersSeen());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* Argc, char*** Argv) {
    RegisterQvdnt5Module();
    BOOT_MACHINE_DESCRIPTION description;
    description.ClockScale = 50; // watchdogs and quiet periods pass quickly
    description.Storage.push_back(BOOT_STORAGE_DEVICE{u"C:", 8 << 20, 512, FALSE});
    description.Storage.push_back(BOOT_STORAGE_DEVICE{u"D:", 4 << 20, 4096, TRUE});
    description.Storage.push_back(BOOT_STORAGE_DEVICE{u"", 2 << 20, 512, FALSE});
    Machine = BootCreateMachine(description);
    if (BootMachine(Machine) != STATUS_SUCCESS || FuzzInstallDriver() != 0) {
        Fail("the machine did not boot or the driver did not install");
    }
    ShutDownQvdnt5Machine(Machine);
    if (BootMachine(Machine) != STATUS_SUCCESS || !Qvdnt5Loaded(Machine)) {
        Fail("the driver did not load at boot");
    }
    std::atexit(ShutDown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0) {
        return 0;
    }
    static const BOOT_USER_ACCOUNT accounts[] = {BootUserAdministrator, BootUserAdministrator,
                                                 BootUserBackupOperator, BootUserPlain};
    FuzzInput input = {Data + 1, Size - 1};
    Run(FuzzControlProgram, &input, accounts[Data[0] % 4]);

    // Whatever froze is thawed by the volume's own handle, whether or not
    // the program saw the reply.
    FuzzCleanup cleanup = {};
    for (PCWSTR volume : kVolumes) {
        if (FilterExtension* filter = FilterOf(volume)) {
            cleanup.Handles[cleanup.Count++] = filter->VolumeHandle;
        }
    }
    Run(FuzzCleanupProgram, &cleanup, BootUserAdministrator);
    for (int waited = 0; AnyVolumeFrozen(); ++waited) {
        if (waited == 5000) {
            Fail("a volume stayed frozen after its thaw");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Names copied from a request live no longer than its snapshot: a leak
    // here is found with the input that made it.
    const ExpPoolTagUsage names = ExpQueryPoolTag(EX_POOL_TAG('Q', 'v', 'd', 'V'));
    if (names.NonPagedBlocks + names.PagedBlocks != 0) {
        Fail("a copy of a name outlived its request and snapshot");
    }
    // The driver's own threads may be inside a short lock right now; a lock
    // left held stays held.
    for (int waited = 0; VfLocksHeld() != 0; ++waited) {
        if (waited == 2000) {
            Fail("a lock is still held after the programs ended");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}
