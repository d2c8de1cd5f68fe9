// host/volumes.cpp - listing the emulated volumes, naming them and their
// stacks, and removing them through plug and play.
#include "host/volumes.h"
#include "ntos/disk/disk.h"
#include "ntos/io/iodb.h"
#include "ntos/ob/obp.h"
#include "ntos/pnp/pnp.h"

#include <mutex>

namespace {

// Volume and CD-ROM numbers a machine of ours can reach; names are probed
// rather than read from the namespace's private records.
constexpr ULONG HostpMaxDeviceNumber = 64;

std::u16string HostpString(const UNICODE_STRING& Text) {
    return std::u16string(Text.Buffer, Text.Length / sizeof(WCHAR));
}

} // namespace

std::vector<PDEVICE_OBJECT> HostListVolumes() {
    std::vector<PDEVICE_OBJECT> volumes;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Driver\\VolEmu");
    PVOID object;
    if (!NT_SUCCESS(ObpLookupObjectName(&name, *IoDriverObjectType, nullptr, &object))) {
        return volumes; // no volume was ever created in this kernel
    }
    auto driver = static_cast<PDRIVER_OBJECT>(object);
    {
        std::lock_guard<std::mutex> guard(IopDatabaseLock());
        for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
             device = device->NextDevice) {
            ObReferenceObject(device);
            volumes.push_back(device);
        }
    }
    ObDereferenceObject(driver);
    // The driver links new devices at the head of its list.
    return std::vector<PDEVICE_OBJECT>(volumes.rbegin(), volumes.rend());
}

VOID HostReleaseVolumes(const std::vector<PDEVICE_OBJECT>& Volumes) {
    for (PDEVICE_OBJECT device : Volumes) {
        ObDereferenceObject(device);
    }
}

HOST_VOLUME_NAME HostVolumeName(PDEVICE_OBJECT Pdo) {
    HOST_VOLUME_NAME result;
    for (PCWSTR prefix : {u"\\Device\\HarddiskVolume", u"\\Device\\CdRom"}) {
        for (ULONG n = 0; n < HostpMaxDeviceNumber && result.DeviceName.empty(); n++) {
            std::u16string candidate = prefix;
            for (char c : std::to_string(n)) {
                candidate.push_back(WCHAR(c));
            }
            if (DiskFindVolume(candidate.c_str()) == Pdo) {
                result.DeviceName = candidate;
            }
        }
    }
    for (WCHAR letter = u'A'; letter <= u'Z'; letter++) {
        const std::u16string link = std::u16string(u"\\DosDevices\\") + letter + u':';
        if (DiskFindVolume(link.c_str()) == Pdo) {
            result.DriveLetter = std::u16string(1, letter) + u':';
            break;
        }
    }
    return result;
}

std::vector<std::u16string> HostDeviceStack(PDEVICE_OBJECT Pdo) {
    std::vector<std::u16string> stack;
    std::lock_guard<std::mutex> guard(IopDatabaseLock());
    for (PDEVICE_OBJECT device = Pdo; device != nullptr; device = device->AttachedDevice) {
        stack.push_back(HostpString(device->DriverObject->DriverName));
    }
    return stack;
}

ULONG HostRemoveVolumes() {
    ULONG removed = 0;
    const std::vector<PDEVICE_OBJECT> volumes = HostListVolumes();
    for (PDEVICE_OBJECT pdo : volumes) {
        const PNP_VOLUME_STATE state = PnpQueryVolumeState(pdo);
        if ((state == PnpVolumeStarted || state == PnpVolumeSurpriseRemoved) &&
            NT_SUCCESS(PnpSendRemove(pdo))) {
            removed++;
        }
    }
    HostReleaseVolumes(volumes);
    return removed;
}
