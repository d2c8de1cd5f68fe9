// win32/registry.cpp - the Reg* routines on the active machine's registry.
//
// HKEY_LOCAL_MACHINE is \REGISTRY\MACHINE of the registry that is active when
// the call is made. Rights are checked as the platform checks them: a value is
// read with KEY_QUERY_VALUE, written with KEY_SET_VALUE, a subkey created with
// KEY_CREATE_SUB_KEY on its parent and deleted with DELETE on itself.
#include "win32/basep.h"
#include "bugcodes.h"
#include "ntos/verifier/bugcheck.h"

namespace {

ACCESS_MASK BasepMapKeyAccess(REGSAM Desired) {
    ACCESS_MASK access =
        Desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (Desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        access |= KEY_ALL_ACCESS;
    }
    if (Desired & GENERIC_READ) {
        access |= KEY_READ;
    }
    if (Desired & GENERIC_WRITE) {
        access |= KEY_WRITE;
    }
    if (Desired & GENERIC_EXECUTE) {
        access |= KEY_EXECUTE;
    }
    return access;
}

// The key a handle names, with a reference the caller gives back.
LSTATUS BasepReferenceKey(HKEY hKey, PCM_KEY* Key, ACCESS_MASK* Access, PCM_REGISTRY* Registry) {
    if (hKey == HKEY_LOCAL_MACHINE) {
        PCM_REGISTRY registry = CmpActiveRegistry();
        if (registry == nullptr) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "registry used while no machine's registry is active", VF_CALLER());
        }
        *Registry = registry;
        *Access = KEY_ALL_ACCESS;
        return BasepErrorFromStatus(CmpOpenKey(registry, nullptr, u"MACHINE", Key));
    }
    BASEP_HANDLE record;
    if (!BasepLookupHandle(hKey, BASEP_HANDLE_KIND::RegistryKey, &record)) {
        return ERROR_INVALID_HANDLE;
    }
    CmpReferenceKey(record.Key);
    *Key = record.Key;
    *Access = record.Access;
    *Registry = record.Registry;
    return ERROR_SUCCESS;
}

LSTATUS BasepOpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, bool Create,
                          PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    PCM_KEY parent = nullptr;
    ACCESS_MASK parentAccess = 0;
    PCM_REGISTRY registry = nullptr;
    LSTATUS error = BasepReferenceKey(hKey, &parent, &parentAccess, &registry);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    PCM_KEY key = nullptr;
    BOOLEAN created = FALSE;
    NTSTATUS status;
    if (Create && (parentAccess & KEY_CREATE_SUB_KEY)) {
        status = CmpCreateKey(registry, parent, lpSubKey, &key, &created);
    } else {
        // Without KEY_CREATE_SUB_KEY on the parent a create may still open an
        // existing key; only making a new one is refused.
        status = CmpOpenKey(registry, parent, lpSubKey == nullptr ? u"" : lpSubKey, &key);
        if (Create && status == STATUS_OBJECT_NAME_NOT_FOUND) {
            status = STATUS_ACCESS_DENIED;
        }
    }
    CmpDereferenceKey(parent);
    if (status != STATUS_SUCCESS) {
        return BasepErrorFromStatus(status);
    }
    *phkResult = static_cast<HKEY>(BasepInsertHandle(
        {BASEP_HANDLE_KIND::RegistryKey, registry, key, BasepMapKeyAccess(samDesired), {}}));
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

// Runs Operation on hKey's key when the handle grants any of Needed
// (STATUS_ACCESS_DENIED otherwise) and returns its status as an error code.
template <typename OPERATION>
LSTATUS BasepOperateOnKey(HKEY hKey, ACCESS_MASK Needed, OPERATION Operation) {
    PCM_KEY key = nullptr;
    ACCESS_MASK access = 0;
    PCM_REGISTRY registry = nullptr;
    LSTATUS error = BasepReferenceKey(hKey, &key, &access, &registry);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    NTSTATUS status = (access & Needed) ? Operation(key) : STATUS_ACCESS_DENIED;
    CmpDereferenceKey(key);
    return BasepErrorFromStatus(status);
}

} // namespace

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                        DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (dwOptions != REG_OPTION_NON_VOLATILE) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "RegCreateKeyExW: only REG_OPTION_NON_VOLATILE is emulated", VF_CALLER(),
                   dwOptions);
    }
    if (lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return BasepOpenOrCreate(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult) {
    return BasepOpenOrCreate(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return BasepOperateOnKey(hKey, KEY_QUERY_VALUE, [&](PCM_KEY Key) {
        ULONG type = 0;
        ULONG size = lpcbData == nullptr ? 0 : *lpcbData;
        NTSTATUS status = CmpQueryValue(Key, lpValueName, &type, lpData, &size);
        if (status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW) {
            if (lpType != nullptr) {
                *lpType = type;
            }
            if (lpcbData != nullptr) {
                *lpcbData = size;
            }
        }
        return status;
    });
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
    if (lpData == nullptr && cbData != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    return BasepOperateOnKey(hKey, KEY_SET_VALUE, [&](PCM_KEY Key) {
        return CmpSetValue(Key, lpValueName, dwType, lpData, cbData);
    });
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    HKEY sub = nullptr;
    LSTATUS error = RegOpenKeyExW(hKey, lpSubKey, 0, DELETE, &sub);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    BASEP_HANDLE record;
    BasepLookupHandle(sub, BASEP_HANDLE_KIND::RegistryKey, &record);
    NTSTATUS status = CmpDeleteKey(record.Key);
    RegCloseKey(sub);
    return BasepErrorFromStatus(status);
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    BASEP_HANDLE record;
    if (!BasepRemoveHandle(hKey, BASEP_HANDLE_KIND::RegistryKey, &record)) {
        return ERROR_INVALID_HANDLE;
    }
    CmpDereferenceKey(record.Key);
    return ERROR_SUCCESS;
}
