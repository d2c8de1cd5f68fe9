// disk/volume.cpp - creating volumes and the CD-ROM drive, the machine's
// storage routine, and the controls tests and benchmarks use on a volume:
// counters, timing, fault injection and copies of the backing store.
//
// Host code running as a kernel thread; creation at PASSIVE_LEVEL.
#include "ntos/boot/machine.h"
#include "ntos/disk/diskp.h"
#include "ntos/io/iop.h"
#include "ntos/ob/obp.h"
#include "ntos/pnp/pnp.h"
#include "ntos/verifier/bugcheck.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr const WCHAR* DiskpServiceName = u"VolEmu";
constexpr const WCHAR* DiskpDriverName = u"\\Driver\\VolEmu";

std::mutex DiskpLock;
// Every volume record not yet freed, of this kernel or abandoned by an
// earlier one. DiskpLock.
std::vector<DISKP_VOLUME*> DiskpVolumes;

// Records of removed volumes outlive their removal (see DiskpRemove) until
// the next kernel loads the driver; those of the last kernel of a process go
// at its exit, before the list itself.
VOID DiskpDestroyVolumeRecord(DISKP_VOLUME* Volume);

struct DiskpExitRelease {
    ~DiskpExitRelease() {
        for (DISKP_VOLUME* volume : DiskpVolumes) {
            DiskpDestroyVolumeRecord(volume);
        }
        DiskpVolumes.clear();
    }
} DiskpExitReleaser;
// The next N of \Device\HarddiskVolumeN and \Device\CdRomN; restart with
// each kernel. DiskpLock.
ULONG DiskpNextVolumeNumber = 1;
ULONG DiskpNextCdRomNumber = 0;

UNICODE_STRING DiskpCountedString(const std::u16string& Text) {
    UNICODE_STRING string;
    string.Buffer = const_cast<PWSTR>(Text.c_str());
    string.Length = static_cast<USHORT>(Text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    return string;
}

PDRIVER_OBJECT DiskpReferenceDriver() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, DiskpDriverName);
    PVOID object;
    if (!NT_SUCCESS(ObpLookupObjectName(&name, *IoDriverObjectType, nullptr, &object))) {
        return nullptr;
    }
    return static_cast<PDRIVER_OBJECT>(object);
}

VOID DiskpDestroyVolumeRecord(DISKP_VOLUME* Volume) {
    DiskpDestroyStore(&Volume->Store);
    delete Volume;
}

// The loaded driver, loading it in a kernel that has not got it yet. A
// kernel without the driver is a fresh one: the records left by volumes an
// earlier kernel abandoned at power-off are freed (their workers were joined
// when that kernel stopped). DiskpLock held.
NTSTATUS DiskpLoadDriverLocked(PDRIVER_OBJECT* Driver) {
    PDRIVER_OBJECT driver = DiskpReferenceDriver();
    if (driver != nullptr) {
        // Loaded drivers stay until unloaded; the name's reference suffices.
        ObDereferenceObject(driver);
        *Driver = driver;
        return STATUS_SUCCESS;
    }
    for (DISKP_VOLUME* volume : DiskpVolumes) {
        DiskpDestroyVolumeRecord(volume);
    }
    DiskpVolumes.clear();
    DiskpNextVolumeNumber = 1;
    DiskpNextCdRomNumber = 0;
    NTSTATUS status = IopLoadDriver(DiskpServiceName, DiskpDriverEntry, Driver);
    return NT_SUCCESS(status) ? DiskpLoadMountManager() : status;
}

} // namespace

VOID DiskReleaseAbandonedVolumes() {
    std::lock_guard<std::mutex> guard(DiskpLock);
    for (DISKP_VOLUME* volume : DiskpVolumes) {
        DiskpDestroyVolumeRecord(volume);
    }
    DiskpVolumes.clear();
}

namespace {

bool DiskpValidConfig(const DISK_VOLUME_CONFIG& Config) {
    const ULONG sector = Config.CdRom ? 2048 : Config.SectorSize;
    if (!Config.CdRom && sector != 512 && sector != 4096) {
        return false;
    }
    if (Config.Bytes == 0 || Config.Bytes % sector != 0 || Config.Threads == 0) {
        return false;
    }
    const std::u16string& letter = Config.DriveLetter;
    return letter.empty() ||
           (letter.size() == 2 && letter[1] == u':' &&
            ((letter[0] >= u'A' && letter[0] <= u'Z') || (letter[0] >= u'a' && letter[0] <= u'z')));
}

// The record of a device of this driver; anything else is misuse.
DISKP_VOLUME* DiskpCheckedVolume(PDEVICE_OBJECT Pdo, const void* Caller) {
    if (Pdo == nullptr || Pdo->DriverObject == nullptr ||
        Pdo->DriverObject->MajorFunction[IRP_MJ_READ] != DiskpDispatchReadWrite) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "disk control routine called with a device that is not an emulated volume",
                   Caller, reinterpret_cast<ULONG_PTR>(Pdo));
    }
    return DiskpVolume(Pdo);
}

} // namespace

NTSTATUS DiskCreateVolume(const DISK_VOLUME_CONFIG& Config, PDEVICE_OBJECT* Pdo) {
    *Pdo = nullptr;
    if (!DiskpValidConfig(Config)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(DiskpLock);
    PDRIVER_OBJECT driver;
    NTSTATUS status = DiskpLoadDriverLocked(&driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    auto* volume = new DISKP_VOLUME();
    volume->CdRom = Config.CdRom;
    volume->ReadOnly = Config.ReadOnly || Config.CdRom;
    volume->SectorSize = Config.CdRom ? 2048 : Config.SectorSize;
    volume->MaxWorkers = Config.Threads;
    volume->CompletionIrql.store(Config.CompletionIrql);
    volume->LatencyMicroseconds.store(Config.LatencyMicroseconds);
    volume->BytesPerSecond.store(Config.BytesPerSecond);
    volume->Number = Config.CdRom ? DiskpNextCdRomNumber : DiskpNextVolumeNumber;
    std::string digits = std::to_string(volume->Number);
    volume->DeviceName = Config.CdRom ? u"\\Device\\CdRom" : u"\\Device\\HarddiskVolume";
    volume->DeviceName.append(digits.begin(), digits.end());
    if (!Config.DriveLetter.empty()) {
        volume->LinkName = u"\\DosDevices\\" + Config.DriveLetter;
        volume->LinkName[12] = static_cast<WCHAR>(std::toupper(volume->LinkName[12]));
    }
    DiskpAssignMountNames(volume);

    status = DiskpCreateStore(&volume->Store, Config.Backing, Config.Bytes, Config.BackingFile);
    if (!NT_SUCCESS(status)) {
        delete volume;
        return status;
    }
    UNICODE_STRING deviceName = DiskpCountedString(volume->DeviceName);
    const ULONG characteristics =
        (volume->ReadOnly ? FILE_READ_ONLY_DEVICE : 0) | (Config.CdRom ? FILE_REMOVABLE_MEDIA : 0);
    PDEVICE_OBJECT device;
    status = IoCreateDevice(driver, sizeof(DISKP_EXTENSION), &deviceName,
                            Config.CdRom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK, characteristics,
                            FALSE, &device);
    if (!NT_SUCCESS(status)) {
        DiskpDestroyVolumeRecord(volume);
        return status;
    }
    UNICODE_STRING guidLinkName = DiskpCountedString(volume->GuidLinkName);
    status = IoCreateSymbolicLink(&guidLinkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        DiskpDestroyVolumeRecord(volume);
        return status;
    }
    if (!volume->LinkName.empty()) {
        UNICODE_STRING linkName = DiskpCountedString(volume->LinkName);
        status = IoCreateSymbolicLink(&linkName, &deviceName);
        if (!NT_SUCCESS(status)) {
            IoDeleteSymbolicLink(&guidLinkName);
            IoDeleteDevice(device);
            DiskpDestroyVolumeRecord(volume);
            return status;
        }
    }
    static_cast<DISKP_EXTENSION*>(device->DeviceExtension)->Volume = volume;
    volume->Device = device;
    device->Flags |= DO_DIRECT_IO;
    device->SectorSize = static_cast<USHORT>(volume->SectorSize);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    (Config.CdRom ? DiskpNextCdRomNumber : DiskpNextVolumeNumber) += 1;
    DiskpVolumes.push_back(volume);
    *Pdo = device;
    return STATUS_SUCCESS;
}

NTSTATUS DiskAddVolume(const DISK_VOLUME_CONFIG& Config, PDEVICE_OBJECT* Pdo) {
    NTSTATUS status = DiskCreateVolume(Config, Pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return PnpAddVolume(*Pdo);
}

NTSTATUS DiskBootStorageRoutine(const BOOT_STORAGE_DEVICE* Device) {
    DISK_VOLUME_CONFIG config;
    config.Bytes = Device->Bytes;
    config.SectorSize = Device->SectorSize;
    config.DriveLetter = Device->DriveLetter;
    config.ReadOnly = Device->ReadOnly;
    config.Backing =
        Device->Bytes > DISK_BOOT_MEMORY_LIMIT ? DiskBackingSparseFile : DiskBackingMemory;
    PDEVICE_OBJECT pdo;
    return DiskAddVolume(config, &pdo);
}

PDEVICE_OBJECT DiskFindVolume(PCWSTR Name) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    PVOID object;
    if (!NT_SUCCESS(ObpLookupObjectName(&name, *IoDeviceObjectType, nullptr, &object))) {
        return nullptr;
    }
    auto device = static_cast<PDEVICE_OBJECT>(object);
    const bool ours = device->DriverObject != nullptr &&
                      device->DriverObject->MajorFunction[IRP_MJ_READ] == DiskpDispatchReadWrite;
    ObDereferenceObject(device);
    return ours ? device : nullptr;
}

std::vector<DISKP_MOUNT_NAMES> DiskpListMountNames() {
    std::lock_guard<std::mutex> guard(DiskpLock);
    std::vector<DISKP_MOUNT_NAMES> names;
    for (DISKP_VOLUME* volume : DiskpVolumes) {
        if (volume->Removed.load() || volume->Device == nullptr) {
            continue;
        }
        DISKP_MOUNT_NAMES entry;
        entry.DeviceName = volume->DeviceName;
        if (!volume->LinkName.empty()) {
            entry.Links.push_back(volume->LinkName);
        }
        entry.Links.push_back(volume->GuidLinkName);
        entry.UniqueId = volume->UniqueId;
        names.push_back(std::move(entry));
    }
    return names;
}

std::u16string DiskQueryVolumeGuidName(PDEVICE_OBJECT Pdo) {
    return DiskpCheckedVolume(Pdo, VF_CALLER())->GuidLinkName;
}

DISK_COUNTERS DiskQueryCounters(PDEVICE_OBJECT Pdo) {
    DISKP_VOLUME* volume = DiskpCheckedVolume(Pdo, VF_CALLER());
    DISK_COUNTERS counters;
    counters.ReadRequests = volume->ReadRequests.load();
    counters.WriteRequests = volume->WriteRequests.load();
    counters.ReadBytes = volume->ReadBytes.load();
    counters.WriteBytes = volume->WriteBytes.load();
    counters.ControlRequests = volume->ControlRequests.load();
    counters.FailedRequests = volume->FailedRequests.load();
    return counters;
}

VOID DiskResetCounters(PDEVICE_OBJECT Pdo) {
    DISKP_VOLUME* volume = DiskpCheckedVolume(Pdo, VF_CALLER());
    volume->ReadRequests.store(0);
    volume->WriteRequests.store(0);
    volume->ReadBytes.store(0);
    volume->WriteBytes.store(0);
    volume->ControlRequests.store(0);
    volume->FailedRequests.store(0);
}

VOID DiskSetTiming(PDEVICE_OBJECT Pdo, ULONG LatencyMicroseconds, ULONGLONG BytesPerSecond) {
    DISKP_VOLUME* volume = DiskpCheckedVolume(Pdo, VF_CALLER());
    volume->LatencyMicroseconds.store(LatencyMicroseconds);
    volume->BytesPerSecond.store(BytesPerSecond);
}

VOID DiskSetCompletionIrql(PDEVICE_OBJECT Pdo, DISK_COMPLETION_IRQL Irql) {
    DiskpCheckedVolume(Pdo, VF_CALLER())->CompletionIrql.store(Irql);
}

VOID DiskFailRange(PDEVICE_OBJECT Pdo, ULONG Operations, ULONGLONG Offset, ULONGLONG Length,
                   NTSTATUS Status) {
    DISKP_VOLUME* volume = DiskpCheckedVolume(Pdo, VF_CALLER());
    if (!NT_ERROR(Status) || (Operations & (DISK_FAULT_READ | DISK_FAULT_WRITE)) == 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "disk range fault injected without an operation or an error status", VF_CALLER(),
                   Operations, static_cast<ULONG_PTR>(Status));
    }
    std::lock_guard<std::mutex> guard(volume->FaultLock);
    volume->RangeFaults.push_back(DISKP_RANGE_FAULT{Operations, Offset, Length, Status});
}

VOID DiskFailNthTransferFromNow(PDEVICE_OBJECT Pdo, ULONGLONG N, NTSTATUS Status) {
    DISKP_VOLUME* volume = DiskpCheckedVolume(Pdo, VF_CALLER());
    if (N != 0 && !NT_ERROR(Status)) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "disk transfer fault injected without an error status", VF_CALLER(),
                   static_cast<ULONG_PTR>(N), static_cast<ULONG_PTR>(Status));
    }
    std::lock_guard<std::mutex> guard(volume->FaultLock);
    volume->TransfersSinceMark = 0;
    volume->FailTransfer = N;
    volume->FailTransferStatus = Status;
}

ULONGLONG DiskTransfersSinceMark(PDEVICE_OBJECT Pdo) {
    DISKP_VOLUME* volume = DiskpCheckedVolume(Pdo, VF_CALLER());
    std::lock_guard<std::mutex> guard(volume->FaultLock);
    return volume->TransfersSinceMark;
}

VOID DiskRefuseControlCode(PDEVICE_OBJECT Pdo, ULONG IoControlCode, NTSTATUS Status) {
    DISKP_VOLUME* volume = DiskpCheckedVolume(Pdo, VF_CALLER());
    if (!NT_ERROR(Status)) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "disk control-code fault injected without an error status", VF_CALLER(),
                   IoControlCode, static_cast<ULONG_PTR>(Status));
    }
    std::lock_guard<std::mutex> guard(volume->FaultLock);
    volume->ControlFaults.push_back(DISKP_CONTROL_FAULT{IoControlCode, Status});
}

VOID DiskClearFaults(PDEVICE_OBJECT Pdo) {
    DISKP_VOLUME* volume = DiskpCheckedVolume(Pdo, VF_CALLER());
    std::lock_guard<std::mutex> guard(volume->FaultLock);
    volume->RangeFaults.clear();
    volume->ControlFaults.clear();
    volume->FailTransfer = 0;
}

VOID DiskSetWriteProtected(PDEVICE_OBJECT Pdo, BOOLEAN WriteProtected) {
    DiskpCheckedVolume(Pdo, VF_CALLER())->WriteProtected.store(WriteProtected != FALSE);
}

NTSTATUS DiskCopyBackingStore(PDEVICE_OBJECT Pdo, ULONGLONG Offset, PVOID Buffer, SIZE_T Length) {
    DISKP_VOLUME* volume = DiskpCheckedVolume(Pdo, VF_CALLER());
    if (Offset > volume->Store.Bytes || Length > volume->Store.Bytes - Offset) {
        return STATUS_INVALID_PARAMETER;
    }
    return DiskpStoreRead(&volume->Store, Offset, Buffer, Length);
}

std::vector<UCHAR> DiskSnapshotBackingStore(PDEVICE_OBJECT Pdo) {
    DISKP_VOLUME* volume = DiskpCheckedVolume(Pdo, VF_CALLER());
    std::vector<UCHAR> image(volume->Store.Bytes);
    if (!NT_SUCCESS(DiskpStoreRead(&volume->Store, 0, image.data(), image.size()))) {
        image.clear();
    }
    return image;
}

ULONGLONG DiskQueryBackingFootprint(PDEVICE_OBJECT Pdo) {
    return DiskpStoreFootprint(&DiskpCheckedVolume(Pdo, VF_CALLER())->Store);
}
