// win32/services.cpp - the service control manager of the emulated machine.
//
// The service database is the registry: a service is a key under
// SYSTEM\CurrentControlSet\Services holding a "Type" value, with the values the
// platform's manager writes there (Type, Start, ErrorControl, ImagePath as
// REG_EXPAND_SZ, Group, DisplayName, ObjectName). A key without "Type" (for
// example a "Setup" subkey made before the service) is not a service. Services
// are configured, never started: loading drivers is the kernel boot's work.
// DeleteService marks the service ("DeleteFlag" = 1, as the platform does) and
// the key goes when the last handle to the service is closed.
#include "win32/basep.h"
#include "bugcodes.h"
#include "ntos/verifier/bugcheck.h"

#include <string_view>

namespace {

constexpr PCWSTR BasepServicesPath = u"MACHINE\\SYSTEM\\CurrentControlSet\\Services";

struct BASEP_SERVICE_CONFIG {
    DWORD Type;
    DWORD Start;
    DWORD ErrorControl;
};

bool BasepValidServiceName(LPCWSTR Name) {
    if (Name == nullptr || Name[0] == 0) {
        return false;
    }
    std::u16string_view name(Name);
    return name.find(u'\\') == std::u16string_view::npos && name.find(u'/') == std::u16string_view::npos;
}

bool BasepValidConfig(const BASEP_SERVICE_CONFIG& Config) {
    bool driver = Config.Type == SERVICE_KERNEL_DRIVER || Config.Type == SERVICE_FILE_SYSTEM_DRIVER;
    DWORD win32 = Config.Type & ~DWORD{SERVICE_INTERACTIVE_PROCESS};
    bool process = win32 == SERVICE_WIN32_OWN_PROCESS || win32 == SERVICE_WIN32_SHARE_PROCESS;
    if (!driver && !process) {
        return false;
    }
    if (Config.Start > SERVICE_DISABLED || Config.ErrorControl > SERVICE_ERROR_CRITICAL) {
        return false;
    }
    // Boot and system start are for drivers only.
    return driver || Config.Start > SERVICE_SYSTEM_START;
}

void BasepRefuseUnemulated(LPDWORD lpdwTagId, LPCWSTR lpDependencies, const void* Caller) {
    if (lpdwTagId != nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "service tags are not emulated", Caller);
    }
    if (lpDependencies != nullptr && lpDependencies[0] != 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "service dependencies are not emulated", Caller);
    }
}

NTSTATUS BasepSetDword(PCM_KEY Key, PCWSTR Name, DWORD Value) {
    return CmpSetValue(Key, Name, REG_DWORD, &Value, sizeof(Value));
}

NTSTATUS BasepSetString(PCM_KEY Key, PCWSTR Name, ULONG Type, LPCWSTR Value) {
    std::u16string_view text(Value);
    return CmpSetValue(Key, Name, Type, text.data(), static_cast<ULONG>((text.size() + 1) * sizeof(WCHAR)));
}

bool BasepQueryDword(PCM_KEY Key, PCWSTR Name, DWORD* Value) {
    ULONG type = 0;
    ULONG size = sizeof(*Value);
    return CmpQueryValue(Key, Name, &type, Value, &size) == STATUS_SUCCESS && type == REG_DWORD &&
           size == sizeof(*Value);
}

// Opens the key of an existing service (one with a "Type" value).
NTSTATUS BasepOpenServiceKey(PCM_REGISTRY Registry, LPCWSTR Name, PCM_KEY* Key) {
    PCM_KEY services = nullptr;
    NTSTATUS status = CmpOpenKey(Registry, nullptr, BasepServicesPath, &services);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    status = CmpOpenKey(Registry, services, Name, Key);
    CmpDereferenceKey(services);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    DWORD type = 0;
    if (!BasepQueryDword(*Key, u"Type", &type)) {
        CmpDereferenceKey(*Key);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

bool BasepMarkedForDelete(PCM_KEY Key) {
    DWORD flag = 0;
    return BasepQueryDword(Key, u"DeleteFlag", &flag) && flag != 0;
}

// True when another service already shows DisplayName (or is named so).
bool BasepDisplayNameTaken(PCM_REGISTRY Registry, LPCWSTR DisplayName, LPCWSTR Self) {
    PCM_KEY services = nullptr;
    if (CmpOpenKey(Registry, nullptr, BasepServicesPath, &services) != STATUS_SUCCESS) {
        return false;
    }
    auto same = [](std::u16string_view a, std::u16string_view b) {
        auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; };
        if (a.size() != b.size()) {
            return false;
        }
        for (size_t i = 0; i < a.size(); ++i) {
            if (fold(a[i]) != fold(b[i])) {
                return false;
            }
        }
        return true;
    };
    bool taken = false;
    WCHAR name[256];
    for (ULONG i = 0; !taken && CmpEnumerateKey(services, i, name, 256, nullptr) == STATUS_SUCCESS; ++i) {
        PCM_KEY key = nullptr;
        if (same(name, Self) || CmpOpenKey(Registry, services, name, &key) != STATUS_SUCCESS) {
            continue;
        }
        DWORD type = 0;
        WCHAR display[256] = {};
        ULONG size = sizeof(display) - sizeof(WCHAR);
        if (BasepQueryDword(key, u"Type", &type)) {
            taken = same(name, DisplayName) ||
                    (CmpQueryValue(key, u"DisplayName", nullptr, display, &size) == STATUS_SUCCESS &&
                     same(display, DisplayName));
        }
        CmpDereferenceKey(key);
    }
    CmpDereferenceKey(services);
    return taken;
}

// Writes the changed parts of a configuration; "Type" last, so that a failed
// write never leaves a key that looks like a complete new service.
NTSTATUS BasepWriteConfig(PCM_KEY Key, const BASEP_SERVICE_CONFIG& Config, LPCWSTR ImagePath,
                          LPCWSTR Group, LPCWSTR StartName, LPCWSTR DisplayName) {
    NTSTATUS status = STATUS_SUCCESS;
    if (DisplayName != nullptr) {
        status = BasepSetString(Key, u"DisplayName", REG_SZ, DisplayName);
    }
    if (status == STATUS_SUCCESS && ImagePath != nullptr) {
        status = BasepSetString(Key, u"ImagePath", REG_EXPAND_SZ, ImagePath);
    }
    if (status == STATUS_SUCCESS && Group != nullptr) {
        status = Group[0] != 0 ? BasepSetString(Key, u"Group", REG_SZ, Group) : CmpDeleteValue(Key, u"Group");
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            status = STATUS_SUCCESS;
        }
    }
    if (status == STATUS_SUCCESS && StartName != nullptr) {
        status = BasepSetString(Key, u"ObjectName", REG_SZ, StartName);
    }
    if (status == STATUS_SUCCESS) {
        status = BasepSetDword(Key, u"Start", Config.Start);
    }
    if (status == STATUS_SUCCESS) {
        status = BasepSetDword(Key, u"ErrorControl", Config.ErrorControl);
    }
    if (status == STATUS_SUCCESS) {
        status = BasepSetDword(Key, u"Type", Config.Type);
    }
    return status;
}

SC_HANDLE BasepFail(DWORD Error) {
    SetLastError(Error);
    return nullptr;
}

} // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
    if (lpMachineName != nullptr && lpMachineName[0] != 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "OpenSCManagerW: only the local machine's manager is emulated", VF_CALLER());
    }
    if (lpDatabaseName != nullptr && std::u16string_view(lpDatabaseName) != SERVICES_ACTIVE_DATABASEW) {
        return BasepFail(ERROR_INVALID_NAME);
    }
    PCM_REGISTRY registry = CmpActiveRegistry();
    if (registry == nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "service manager used while no machine's registry is active", VF_CALLER());
    }
    // The manager needs its database; a machine without it cannot be managed.
    PCM_KEY services = nullptr;
    NTSTATUS status = CmpOpenKey(registry, nullptr, BasepServicesPath, &services);
    if (status != STATUS_SUCCESS) {
        return BasepFail(BasepErrorFromStatus(status));
    }
    CmpDereferenceKey(services);
    return static_cast<SC_HANDLE>(BasepInsertHandle(
        {BASEP_HANDLE_KIND::ServiceManager, registry, nullptr, dwDesiredAccess, {}}));
}

SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                         LPDWORD lpdwTagId, LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                         LPCWSTR lpPassword) {
    BASEP_HANDLE manager;
    if (!BasepLookupHandle(hSCManager, BASEP_HANDLE_KIND::ServiceManager, &manager)) {
        return BasepFail(ERROR_INVALID_HANDLE);
    }
    BasepRefuseUnemulated(lpdwTagId, lpDependencies, VF_CALLER());
    if (!BasepValidServiceName(lpServiceName)) {
        return BasepFail(ERROR_INVALID_NAME);
    }
    BASEP_SERVICE_CONFIG config{dwServiceType, dwStartType, dwErrorControl};
    if (!BasepValidConfig(config) || lpBinaryPathName == nullptr || lpBinaryPathName[0] == 0) {
        return BasepFail(ERROR_INVALID_PARAMETER);
    }
    LPCWSTR display = lpDisplayName != nullptr && lpDisplayName[0] != 0 ? lpDisplayName : lpServiceName;

    PCM_KEY key = nullptr;
    NTSTATUS status = BasepOpenServiceKey(manager.Registry, lpServiceName, &key);
    if (status == STATUS_SUCCESS) {
        bool marked = BasepMarkedForDelete(key);
        CmpDereferenceKey(key);
        return BasepFail(marked ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
    }
    if (BasepDisplayNameTaken(manager.Registry, display, lpServiceName)) {
        return BasepFail(ERROR_DUPLICATE_SERVICE_NAME);
    }
    PCM_KEY services = nullptr;
    status = CmpOpenKey(manager.Registry, nullptr, BasepServicesPath, &services);
    if (status == STATUS_SUCCESS) {
        status = CmpCreateKey(manager.Registry, services, lpServiceName, &key, nullptr);
        CmpDereferenceKey(services);
    }
    if (status == STATUS_SUCCESS) {
        status = BasepWriteConfig(key, config, lpBinaryPathName, lpLoadOrderGroup, lpServiceStartName,
                                  display);
        CmpDereferenceKey(key);
    }
    if (status != STATUS_SUCCESS) {
        return BasepFail(BasepErrorFromStatus(status));
    }
    return static_cast<SC_HANDLE>(BasepInsertHandle(
        {BASEP_HANDLE_KIND::Service, manager.Registry, nullptr, dwDesiredAccess, lpServiceName}));
}

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    BASEP_HANDLE manager;
    if (!BasepLookupHandle(hSCManager, BASEP_HANDLE_KIND::ServiceManager, &manager)) {
        return BasepFail(ERROR_INVALID_HANDLE);
    }
    if (!BasepValidServiceName(lpServiceName)) {
        return BasepFail(ERROR_INVALID_NAME);
    }
    PCM_KEY key = nullptr;
    NTSTATUS status = BasepOpenServiceKey(manager.Registry, lpServiceName, &key);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return BasepFail(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    if (status != STATUS_SUCCESS) {
        return BasepFail(BasepErrorFromStatus(status));
    }
    CmpDereferenceKey(key);
    return static_cast<SC_HANDLE>(BasepInsertHandle(
        {BASEP_HANDLE_KIND::Service, manager.Registry, nullptr, dwDesiredAccess, lpServiceName}));
}

BOOL ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                          DWORD dwErrorControl, LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                          LPDWORD lpdwTagId, LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                          LPCWSTR lpPassword, LPCWSTR lpDisplayName) {
    BASEP_HANDLE service;
    if (!BasepLookupHandle(hService, BASEP_HANDLE_KIND::Service, &service)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BasepRefuseUnemulated(lpdwTagId, lpDependencies, VF_CALLER());
    PCM_KEY key = nullptr;
    NTSTATUS status = BasepOpenServiceKey(service.Registry, service.ServiceName.c_str(), &key);
    if (status != STATUS_SUCCESS) {
        SetLastError(status == STATUS_OBJECT_NAME_NOT_FOUND ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                            : BasepErrorFromStatus(status));
        return FALSE;
    }
    DWORD error = ERROR_SUCCESS;
    BASEP_SERVICE_CONFIG config{};
    BasepQueryDword(key, u"Type", &config.Type);
    BasepQueryDword(key, u"Start", &config.Start);
    BasepQueryDword(key, u"ErrorControl", &config.ErrorControl);
    if (dwServiceType != SERVICE_NO_CHANGE) {
        config.Type = dwServiceType;
    }
    if (dwStartType != SERVICE_NO_CHANGE) {
        config.Start = dwStartType;
    }
    if (dwErrorControl != SERVICE_NO_CHANGE) {
        config.ErrorControl = dwErrorControl;
    }
    if (BasepMarkedForDelete(key)) {
        error = ERROR_SERVICE_MARKED_FOR_DELETE;
    } else if (!BasepValidConfig(config) || (lpBinaryPathName != nullptr && lpBinaryPathName[0] == 0)) {
        error = ERROR_INVALID_PARAMETER;
    } else if (lpDisplayName != nullptr && lpDisplayName[0] != 0 &&
               BasepDisplayNameTaken(service.Registry, lpDisplayName, service.ServiceName.c_str())) {
        error = ERROR_DUPLICATE_SERVICE_NAME;
    } else {
        LPCWSTR display = lpDisplayName != nullptr && lpDisplayName[0] != 0 ? lpDisplayName : nullptr;
        error = BasepErrorFromStatus(BasepWriteConfig(key, config, lpBinaryPathName, lpLoadOrderGroup,
                                                      lpServiceStartName, display));
    }
    CmpDereferenceKey(key);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
    BASEP_HANDLE service;
    if (!BasepLookupHandle(hService, BASEP_HANDLE_KIND::Service, &service)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    PCM_KEY key = nullptr;
    NTSTATUS status = BasepOpenServiceKey(service.Registry, service.ServiceName.c_str(), &key);
    DWORD error = ERROR_SUCCESS;
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        error = ERROR_SERVICE_MARKED_FOR_DELETE;
    } else if (status != STATUS_SUCCESS) {
        error = BasepErrorFromStatus(status);
    } else {
        error = BasepMarkedForDelete(key) ? ERROR_SERVICE_MARKED_FOR_DELETE
                                          : BasepErrorFromStatus(BasepSetDword(key, u"DeleteFlag", 1));
        CmpDereferenceKey(key);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    BASEP_HANDLE record;
    if (!BasepRemoveHandle(hSCObject, BASEP_HANDLE_KIND::Service, &record) &&
        !BasepRemoveHandle(hSCObject, BASEP_HANDLE_KIND::ServiceManager, &record)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (record.Kind != BASEP_HANDLE_KIND::Service ||
        BasepCountServiceHandles(record.Registry, record.ServiceName) != 0) {
        return TRUE;
    }
    // The last handle of a service marked for deletion takes its key away. If
    // that fails the mark stays, and the service is gone at the next boot.
    PCM_KEY key = nullptr;
    if (BasepOpenServiceKey(record.Registry, record.ServiceName.c_str(), &key) == STATUS_SUCCESS) {
        if (BasepMarkedForDelete(key)) {
            CmpDeleteKeyTree(key);
        }
        CmpDereferenceKey(key);
    }
    return TRUE;
}
