// boot/machine.cpp - creating, booting and powering off an emulated machine,
// and loading the kernel services its registry names.
#include "ntos/boot/machine.h"
#include "ntos/boot/module.h"
#include "ntos/disk/disk.h"
#include "ntos/evlog/evlp.h"
#include "ntos/fs/fsp.h"
#include "ntos/io/iop.h"
#include "ntos/ke/kernel.h"
#include "ntos/pnp/pnp.h"
#include "ntos/verifier/bugcheck.h"

#include <algorithm>
#include <atomic>

namespace {

// A test's own storage routine, or NULL for the machine's disks.
std::atomic<BOOT_STORAGE_ROUTINE> BootpStorageRoutine{nullptr};

// Event the platform's service controller writes for drivers that failed
// to load at boot ("The following boot-start or system-start driver(s)
// failed to load: %1").
constexpr NTSTATUS BootpEventDriverFailedToLoad = static_cast<NTSTATUS>(0xC0001B72L);

struct BOOTP_SERVICE {
    std::u16string Name;
    std::u16string ImageName;
    ULONG Start;
    size_t GroupOrder; // position of its group in ServiceGroupOrder, or past the end
};

bool BootpQueryDword(PCM_KEY Key, PCWSTR Name, ULONG* Value) {
    ULONG type = 0;
    ULONG size = sizeof(*Value);
    return CmpQueryValue(Key, Name, &type, Value, &size) == STATUS_SUCCESS && type == REG_DWORD &&
           size == sizeof(*Value);
}

// A string value without its terminator; empty when missing.
std::u16string BootpQueryString(PCM_KEY Key, PCWSTR Name) {
    ULONG type = 0;
    ULONG size = 0;
    NTSTATUS status = CmpQueryValue(Key, Name, &type, nullptr, &size);
    if ((status != STATUS_SUCCESS && status != STATUS_BUFFER_OVERFLOW) || size == 0) {
        return {};
    }
    std::u16string text(size / sizeof(WCHAR), u'\0');
    if (CmpQueryValue(Key, Name, &type, text.data(), &size) != STATUS_SUCCESS) {
        return {};
    }
    return text.substr(0, text.find(u'\0'));
}

std::u16string BootpFold(const std::u16string& Text) {
    std::u16string folded = Text;
    for (WCHAR& c : folded) {
        if (c >= u'A' && c <= u'Z') {
            c = WCHAR(c - u'A' + u'a');
        }
    }
    return folded;
}

// The load-order groups, folded, in the order ServiceGroupOrder lists them.
std::vector<std::u16string> BootpReadGroupOrder(PCM_REGISTRY Registry) {
    std::vector<std::u16string> groups;
    PCM_KEY key;
    if (!NT_SUCCESS(CmpOpenKey(Registry, nullptr,
                               u"MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ServiceGroupOrder",
                               &key))) {
        return groups;
    }
    ULONG type = 0;
    ULONG size = 0;
    NTSTATUS status = CmpQueryValue(key, u"List", &type, nullptr, &size);
    if ((status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW) && size != 0) {
        std::u16string list(size / sizeof(WCHAR), u'\0');
        if (CmpQueryValue(key, u"List", &type, list.data(), &size) == STATUS_SUCCESS) {
            size_t start = 0;
            while (start < list.size() && list[start] != 0) {
                size_t end = list.find(u'\0', start);
                end = end == std::u16string::npos ? list.size() : end;
                groups.push_back(BootpFold(list.substr(start, end - start)));
                start = end + 1;
            }
        }
    }
    CmpDereferenceKey(key);
    return groups;
}

// Kernel drivers of boot or system start, in the order boot loads them:
// boot-start first, then by load-order group, then by name.
std::vector<BOOTP_SERVICE> BootpReadServices(PCM_REGISTRY Registry) {
    std::vector<BOOTP_SERVICE> services;
    const std::vector<std::u16string> groups = BootpReadGroupOrder(Registry);
    PCM_KEY root;
    if (!NT_SUCCESS(CmpOpenKey(Registry, nullptr, u"MACHINE\\SYSTEM\\CurrentControlSet\\Services",
                               &root))) {
        return services;
    }
    WCHAR name[256];
    for (ULONG index = 0;; index++) {
        ULONG required = 0;
        NTSTATUS status = CmpEnumerateKey(root, index, name, 256, &required);
        if (status == STATUS_NO_MORE_ENTRIES) {
            break;
        }
        if (!NT_SUCCESS(status)) {
            continue;
        }
        PCM_KEY key;
        if (!NT_SUCCESS(CmpOpenKey(Registry, root, name, &key))) {
            continue;
        }
        ULONG type = 0;
        ULONG start = 0;
        if (BootpQueryDword(key, u"Type", &type) && type == 1 &&
            BootpQueryDword(key, u"Start", &start) && start <= 1) {
            BOOTP_SERVICE service;
            service.Name = name;
            service.Start = start;
            // The image is the last component of ImagePath; without one, the
            // platform looks for <service>.sys.
            std::u16string imagePath = BootpQueryString(key, u"ImagePath");
            size_t slash = imagePath.find_last_of(u"\\/");
            service.ImageName = imagePath.empty()               ? service.Name + u".sys"
                                : slash == std::u16string::npos ? imagePath
                                                                : imagePath.substr(slash + 1);
            std::u16string group = BootpFold(BootpQueryString(key, u"Group"));
            service.GroupOrder = std::find(groups.begin(), groups.end(), group) - groups.begin();
            services.push_back(std::move(service));
        }
        CmpDereferenceKey(key);
    }
    CmpDereferenceKey(root);
    std::stable_sort(services.begin(), services.end(),
                     [](const BOOTP_SERVICE& A, const BOOTP_SERVICE& B) {
                         if (A.Start != B.Start) {
                             return A.Start < B.Start;
                         }
                         return A.GroupOrder < B.GroupOrder;
                     });
    return services;
}

void BootpLogLoadFailure(const std::u16string& ServiceName) {
    EVLP_ENTRY entry = {};
    entry.EventId = BootpEventDriverFailedToLoad;
    entry.Severity = 3;
    entry.Source = u"Service Control Manager";
    entry.Strings.push_back(ServiceName);
    EvlpAppendEntry(std::move(entry));
}

NTSTATUS BootpLoadService(const BOOTP_SERVICE& Service) {
    PDRIVER_INITIALIZE entry;
    PCMESSAGE_TABLE_RESOURCE table;
    if (!BootFindModule(Service.ImageName.c_str(), &entry, &table)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (table != nullptr) {
        EvlpRegisterMessageTable(Service.Name.c_str(), table);
    }
    PDRIVER_OBJECT driver;
    return IopLoadDriver(Service.Name.c_str(), entry, &driver);
}

// Files a thread had open are closed once power-off has ended it; the file
// system then dismounts every volume it mounted.
void BootpUnloadFileSystem(PBOOT_MACHINE Machine) {
    if (Machine->FileSystemDriver != nullptr) {
        FsUnloadFileSystem(Machine->FileSystemDriver);
        Machine->FileSystemDriver = nullptr;
    }
}

} // namespace

VOID BootSetStorageRoutine(BOOT_STORAGE_ROUTINE Routine) {
    BootpStorageRoutine.store(Routine);
}

PBOOT_MACHINE BootCreateMachine(const BOOT_MACHINE_DESCRIPTION& Description) {
    auto* machine = new BOOT_MACHINE{};
    machine->Description = Description;
    machine->Registry = CmpCreateRegistry();
    CmpInitializeSystemHive(machine->Registry);
    return machine;
}

VOID BootDestroyMachine(PBOOT_MACHINE Machine) {
    if (Machine->Running) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "machine destroyed while it runs",
                   VF_CALLER());
    }
    CmpDestroyRegistry(Machine->Registry);
    delete Machine;
}

NTSTATUS BootMachine(PBOOT_MACHINE Machine) {
    if (Machine->Running) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "machine booted while it runs", VF_CALLER());
    }
    const BOOT_MACHINE_DESCRIPTION& description = Machine->Description;
    BOOT_STORAGE_ROUTINE storage = BootpStorageRoutine.load();
    if (storage == nullptr) {
        storage = DiskBootStorageRoutine;
    }
    KernelConfig config;
    config.MajorVersion = description.MajorVersion;
    config.MinorVersion = description.MinorVersion;
    config.BuildNumber = description.BuildNumber;
    config.CsdVersion = description.CsdVersion.c_str();
    config.SystemSize = description.SystemSize;
    config.NtAsSystem = description.Server;
    config.ClockScale = description.ClockScale;
    KiStartKernel(config);
    IopInitialize();
    CmpSetActiveRegistry(Machine->Registry);
    Machine->Running = TRUE;
    Machine->Loads.clear();

    for (const BOOTP_SERVICE& service : BootpReadServices(Machine->Registry)) {
        NTSTATUS status = BootpLoadService(service);
        Machine->Loads.push_back(BOOT_SERVICE_LOAD{service.Name, service.ImageName, status});
        if (!NT_SUCCESS(status)) {
            BootpLogLoadFailure(service.Name);
        }
    }

    NTSTATUS result = STATUS_SUCCESS;
    Machine->FileSystemDriver = nullptr;
    if (!description.FileSystem.empty()) {
        result = FsLoadFileSystem(description.FileSystem.c_str(), &Machine->FileSystemDriver);
        if (!NT_SUCCESS(result)) {
            Machine->FileSystemDriver = nullptr;
        }
    }

    for (const BOOT_STORAGE_DEVICE& device : description.Storage) {
        NTSTATUS status = storage(&device);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
            result = status;
        }
    }
    return result;
}

VOID PowerOffMachine(PBOOT_MACHINE Machine) {
    if (!Machine->Running) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "machine powered off while not running",
                   VF_CALLER());
    }
    KiPowerOffThreads();
    // The manager's references keep removed volumes in being until the file
    // system has dismounted them.
    BootpUnloadFileSystem(Machine);
    PnpShutdown();
    KiStopKernel();
    DiskReleaseAbandonedVolumes();
    IopShutdown();
    CmpSetActiveRegistry(nullptr);
    Machine->Running = FALSE;
}
