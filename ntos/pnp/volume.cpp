// pnp/volume.cpp - building and starting volume stacks from the Volume
// class's upper filters, and the record of what became of each volume.
#include "ntos/cm/cmp.h"
#include "ntos/ob/obp.h"
#include "ntos/pnp/pnpp.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct PNPP_VOLUME {
    PNP_VOLUME_STATE State;
    NTSTATUS Status;
};

std::mutex PnppVolumeLock;
// Volumes by PDO; each holds a reference on its PDO. PnppVolumeLock.
std::map<PDEVICE_OBJECT, PNPP_VOLUME> PnppVolumes;

// The names in the Volume class's "UpperFilters", in order; none when the
// key or value is missing.
std::vector<std::u16string> PnppReadUpperFilters() {
    std::vector<std::u16string> names;
    PCM_REGISTRY registry = CmpActiveRegistry();
    if (registry == nullptr) {
        return names;
    }
    PCM_KEY key;
    if (!NT_SUCCESS(CmpOpenKey(registry, nullptr, u"MACHINE\\" PNP_VOLUME_CLASS_KEY, &key))) {
        return names;
    }
    ULONG type = 0;
    ULONG size = 0;
    std::vector<WCHAR> data;
    NTSTATUS status = CmpQueryValue(key, u"UpperFilters", &type, nullptr, &size);
    if ((status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW) && size != 0) {
        data.resize(size / sizeof(WCHAR) + 1, 0);
        if (!NT_SUCCESS(CmpQueryValue(key, u"UpperFilters", &type, data.data(), &size))) {
            data.clear();
        }
    }
    CmpDereferenceKey(key);
    // A list of strings, each ending at its null; an empty string ends the list.
    size_t i = 0;
    const size_t count = size / sizeof(WCHAR);
    while (i < count && i < data.size() && data[i] != 0) {
        std::u16string name;
        while (i < count && data[i] != 0) {
            name.push_back(data[i++]);
        }
        names.push_back(std::move(name));
        i++;
    }
    return names;
}

PDRIVER_OBJECT PnppReferenceLoadedDriver(const std::u16string& ServiceName) {
    std::u16string path = u"\\Driver\\" + ServiceName;
    UNICODE_STRING name;
    name.Buffer = path.data();
    name.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    PVOID object;
    if (!NT_SUCCESS(ObpLookupObjectName(&name, *IoDriverObjectType, nullptr, &object))) {
        return nullptr;
    }
    return static_cast<PDRIVER_OBJECT>(object);
}

struct PNPP_ADD_VOLUME {
    PDEVICE_OBJECT Pdo;
    NTSTATUS Status;
};

// Characteristics that describe the whole device stack rather than one device
// object: once the stack is built, every device object of it carries those
// that any of them (a volume has no function driver, so its PDO counts) has.
const ULONG PnppStackCharacteristics = FILE_DEVICE_SECURE_OPEN | FILE_FLOPPY_DISKETTE |
                                       FILE_READ_ONLY_DEVICE | FILE_REMOVABLE_MEDIA |
                                       FILE_WRITE_ONCE_MEDIA;

VOID PnppPropagateCharacteristics(PDEVICE_OBJECT Pdo) {
    ULONG stackWide = 0;
    for (PDEVICE_OBJECT device = Pdo; device != nullptr; device = device->AttachedDevice) {
        stackWide |= device->Characteristics & PnppStackCharacteristics;
    }
    for (PDEVICE_OBJECT device = Pdo; device != nullptr; device = device->AttachedDevice) {
        device->Characteristics |= stackWide;
    }
}

// Runs on a system thread: AddDevice of every filter, then the start.
VOID PnppBuildStack(PVOID Context) {
    auto* add = static_cast<PNPP_ADD_VOLUME*>(Context);
    std::vector<PDRIVER_OBJECT> filters;
    NTSTATUS status = STATUS_SUCCESS;
    for (const std::u16string& name : PnppReadUpperFilters()) {
        PDRIVER_OBJECT driver = PnppReferenceLoadedDriver(name);
        if (driver == nullptr) {
            // The platform fails the whole device when a filter's service is
            // not loaded.
            status = STATUS_DRIVER_UNABLE_TO_LOAD;
            break;
        }
        filters.push_back(driver);
    }
    for (size_t i = 0; NT_SUCCESS(status) && i < filters.size(); i++) {
        PDRIVER_ADD_DEVICE addDevice = filters[i]->DriverExtension->AddDevice;
        if (addDevice == nullptr) {
            status = STATUS_DRIVER_UNABLE_TO_LOAD;
            break;
        }
        status = addDevice(filters[i], add->Pdo);
    }
    for (PDRIVER_OBJECT driver : filters) {
        ObDereferenceObject(driver);
    }
    if (NT_SUCCESS(status)) {
        PnppPropagateCharacteristics(add->Pdo);
        IO_STACK_LOCATION start = {};
        start.MajorFunction = IRP_MJ_PNP;
        start.MinorFunction = IRP_MN_START_DEVICE;
        status = PnppSendRequest(add->Pdo, start, nullptr);
    }
    if (!NT_SUCCESS(status) && IoGetAttachedDevice(add->Pdo) != add->Pdo) {
        // Tear down what was attached, as the platform does for a device
        // that fails to start.
        IO_STACK_LOCATION remove = {};
        remove.MajorFunction = IRP_MJ_PNP;
        remove.MinorFunction = IRP_MN_REMOVE_DEVICE;
        PnppSendRequest(add->Pdo, remove, nullptr);
    }
    add->Status = status;
}

} // namespace

VOID PnppSetVolumeState(PDEVICE_OBJECT Pdo, PNP_VOLUME_STATE State, NTSTATUS Status) {
    std::lock_guard<std::mutex> guard(PnppVolumeLock);
    auto it = PnppVolumes.find(Pdo);
    if (it == PnppVolumes.end()) {
        ObReferenceObject(Pdo);
        PnppVolumes.emplace(Pdo, PNPP_VOLUME{State, Status});
    } else {
        it->second = PNPP_VOLUME{State, Status};
    }
}

NTSTATUS PnpAddVolume(PDEVICE_OBJECT Pdo) {
    PNPP_ADD_VOLUME add = {Pdo, STATUS_UNSUCCESSFUL};
    PnppRunInSystemThread(PnppBuildStack, &add);
    PnppSetVolumeState(Pdo, NT_SUCCESS(add.Status) ? PnpVolumeStarted : PnpVolumeFailed,
                       add.Status);
    return add.Status;
}

PNP_VOLUME_STATE PnpQueryVolumeState(PDEVICE_OBJECT Pdo) {
    std::lock_guard<std::mutex> guard(PnppVolumeLock);
    auto it = PnppVolumes.find(Pdo);
    return it == PnppVolumes.end() ? PnpVolumeUnknown : it->second.State;
}

NTSTATUS PnpQueryVolumeStatus(PDEVICE_OBJECT Pdo) {
    std::lock_guard<std::mutex> guard(PnppVolumeLock);
    auto it = PnppVolumes.find(Pdo);
    return it == PnppVolumes.end() ? STATUS_NO_SUCH_DEVICE : it->second.Status;
}

VOID PnpShutdown() {
    std::map<PDEVICE_OBJECT, PNPP_VOLUME> volumes;
    {
        std::lock_guard<std::mutex> guard(PnppVolumeLock);
        volumes.swap(PnppVolumes);
    }
    for (const auto& entry : volumes) {
        ObDereferenceObject(entry.first);
    }
}
