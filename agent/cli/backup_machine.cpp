// backup_machine.cpp - booting the machine qvd-backup and the demo run on.
#include "backup_machine.h"
#include "backup_program.h"
#include "host/qvdnt5_module.h"
#include "ntos/boot/user_process.h"
#include "ntos/evlog/evlp.h"

#include <fmt/core.h>

PBOOT_MACHINE BootBackupMachine(const BackupMachineShape& Shape, std::string* Error) {
    RegisterQvdnt5Module();
    const uint64_t backup =
        Shape.BackupBytes != 0 ? Shape.BackupBytes : 3 * Shape.VolumeBytes + (16ull << 20);
    BOOT_MACHINE_DESCRIPTION description;
    description.Storage.push_back(
        BOOT_STORAGE_DEVICE{u"C:", Shape.VolumeBytes, Shape.SectorSize, FALSE});
    description.Storage.push_back(BOOT_STORAGE_DEVICE{u"X:", backup, Shape.SectorSize, FALSE});
    description.Storage.push_back(
        BOOT_STORAGE_DEVICE{u"S:", Shape.VolumeBytes, Shape.SectorSize, FALSE});
    description.FileSystem = u"Ntfs";
    PBOOT_MACHINE machine = BootCreateMachine(description);
    NTSTATUS status = BootMachine(machine);
    int installed = -1;
    ULONG exitCode = 0;
    if (NT_SUCCESS(status)) {
        status = BootRunUserProgram(u"setup.exe", InstallProgram, &installed, &exitCode);
    }
    if (NT_SUCCESS(status) && installed == 0) {
        ShutDownQvdnt5Machine(machine);
        status = BootMachine(machine);
    }
    if (!NT_SUCCESS(status) || installed != 0 || !Qvdnt5Loaded(machine)) {
        *Error = fmt::format("the machine did not come up with the driver (status 0x{:08X}, "
                             "QVDInstall {})",
                             ULONG(status), installed);
        if (machine->Running) {
            ShutDownQvdnt5Machine(machine);
        }
        BootDestroyMachine(machine);
        UnregisterQvdnt5Module();
        return nullptr;
    }
    return machine;
}

void ShutDownBackupMachine(PBOOT_MACHINE Machine) {
    ShutDownQvdnt5Machine(Machine);
    EvlpResetEventLog();
    BootDestroyMachine(Machine);
    UnregisterQvdnt5Module();
}

void PrintEventLog(unsigned First, const char* Indent) {
    for (ULONG i = First; i < EvlpEntryCount(); i++) {
        EVLP_ENTRY entry;
        if (EvlpGetEntry(i, &entry)) {
            fmt::print("{}#{} {} 0x{:08X}: \"{}\"\n", Indent, entry.RecordNumber,
                       EvlpToUtf8(entry.Source), ULONG(entry.EventId), EvlpToUtf8(entry.Text));
        }
    }
}
