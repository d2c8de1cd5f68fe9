// installer/exports.cpp - QVDInstall and QVDUninstall, the library's two
// exports. Several products share the driver: the "Products" mask under the
// service's Setup key has one bit per product that installed it, and the
// driver leaves the system only when the last bit is cleared.
#include "exports.h"
#include "installer.h"

namespace {

#define QVD_SETUP_KEY QVD_WIDE("SYSTEM\\CurrentControlSet\\Services\\QVDNT\\Setup")
#define QVD_PRODUCTS QVD_WIDE("Products")

DWORD ProductBit(DWORD Product) { return DWORD{1} << ((Product - 1) % 32); }

bool WriteProducts(HKEY Setup, DWORD Mask) {
    return RegSetValueExW(Setup, QVD_PRODUCTS, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&Mask),
                          sizeof(Mask)) == ERROR_SUCCESS;
}

bool ReadProducts(HKEY Setup, DWORD* Mask) {
    DWORD size = sizeof(*Mask);
    return RegQueryValueExW(Setup, QVD_PRODUCTS, nullptr, nullptr, reinterpret_cast<BYTE*>(Mask),
                            &size) == ERROR_SUCCESS;
}

} // namespace

extern "C" int __cdecl QVDInstall(DWORD Product) {
    HKEY setup = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, QVD_SETUP_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &setup, &disposition) != ERROR_SUCCESS) {
        OutputDebugStringW(QVD_WIDE("Could not create driver setup key\n"));
        return QVD_INSTALL_NO_SETUP_KEY;
    }
    DWORD mask = 0;
    if (!ReadProducts(setup, &mask)) {
        mask = 0;
    }
    mask |= ProductBit(Product);
    bool written = WriteProducts(setup, mask);
    RegCloseKey(setup);
    if (!written) {
        OutputDebugStringW(QVD_WIDE("Could not set products value\n"));
        return QVD_INSTALL_SET_PRODUCTS_FAILED;
    }
    OSVERSIONINFOW version;
    QueryVersion(&version);
    return RegisterService(version);
}

extern "C" int __cdecl QVDUninstall(DWORD Product) {
    DWORD remaining = 0;
    HKEY setup = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QVD_SETUP_KEY, 0, KEY_ALL_ACCESS, &setup) != ERROR_SUCCESS) {
        OutputDebugStringW(QVD_WIDE("No setup subkey - uninstalling anyway\n"));
    } else {
        DWORD mask = 0;
        if (!ReadProducts(setup, &mask)) {
            OutputDebugStringW(QVD_WIDE("No products value - uninstalling anyway\n"));
        } else {
            remaining = mask & ~ProductBit(Product);
            if (!WriteProducts(setup, remaining)) {
                RegCloseKey(setup);
                OutputDebugStringW(QVD_WIDE("Could not set products value\n"));
                return QVD_INSTALL_SET_PRODUCTS_FAILED;
            }
        }
        RegCloseKey(setup);
    }
    if (remaining != 0) {
        return QVD_INSTALL_STILL_IN_USE;
    }

    OSVERSIONINFOW version;
    QueryVersion(&version);
    ReportVersion(version);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        OutputDebugStringW(QVD_WIDE("Could not open SC Manager\n"));
        return QVD_INSTALL_NO_SC_MANAGER;
    }
    SC_HANDLE service = OpenServiceW(manager, QVD_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        OutputDebugStringW(QVD_WIDE("Could not open service\n"));
        CloseServiceHandle(manager);
        return QVD_INSTALL_OPEN_SERVICE_FAILED;
    }
    int result = QVD_INSTALL_SUCCESS;
    if (version.dwMajorVersion == 5) {
        // A filter left in the Volume class without its service stops every
        // volume from starting at the next boot, so the service stays until
        // the filter is gone.
        result = RemoveUpperFilter();
    }
    if (result == QVD_INSTALL_SUCCESS) {
        if (!DeleteService(service)) {
            OutputDebugStringW(QVD_WIDE("Could not delete service\n"));
            result = QVD_INSTALL_DELETE_SERVICE_FAILED;
        } else {
            OutputDebugStringW(QVD_WIDE("Service uninstalled\n"));
            result = RemoveEventSource();
        }
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
