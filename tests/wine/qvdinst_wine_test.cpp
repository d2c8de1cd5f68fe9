// The install library on Windows (run under Wine): loads qvdinst.dll, installs
// and uninstalls for two products, and checks through the platform's own
// registry and service APIs what the library wrote.
// Usage: qvdinst_wine_test.exe <path of qvdinst.dll> <expected major version>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

typedef int(__cdecl* ExportFn)(DWORD);

int failures = 0;

void Check(bool ok, const char* what, long got, long expected) {
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s: got %ld, expected %ld\n", what, got, expected);
    }
}
void CheckEq(long got, long expected, const char* what) { Check(got == expected, what, got, expected); }
#define CHECK_EQ(got, expected, what) CheckEq((long)(got), (long)(expected), what)

const wchar_t* const kVolumeClass =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{71A27CDD-812A-11D0-BEC7-08002BE2092F}";
const wchar_t* const kEventSource = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\QVDNT";
const wchar_t* const kService = L"SYSTEM\\CurrentControlSet\\Services\\QVDNT";
const wchar_t* const kSetup = L"SYSTEM\\CurrentControlSet\\Services\\QVDNT\\Setup";
// One seven-character filter already present: 18 bytes.
const wchar_t kOtherFilter[] = L"Filter7\0";

struct Value {
    LONG error = ERROR_FILE_NOT_FOUND;
    DWORD type = 0;
    DWORD size = 0;
    BYTE data[512] = {};
};

Value Read(const wchar_t* key, const wchar_t* name) {
    Value v;
    HKEY k = nullptr;
    v.error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k);
    if (v.error == ERROR_SUCCESS) {
        v.size = sizeof(v.data);
        v.error = RegQueryValueExW(k, name, nullptr, &v.type, v.data, &v.size);
        RegCloseKey(k);
    }
    return v;
}

bool KeyExists(const wchar_t* key) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(k);
    return true;
}

void Prepare() {
    // What a real system has before the library runs.
    HKEY k = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &k, nullptr);
    RegCloseKey(k);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kVolumeClass, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    RegSetValueExW(k, L"UpperFilters", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kOtherFilter),
                   sizeof(kOtherFilter));
    RegCloseKey(k);
}

DWORD Products() {
    Value v = Read(kSetup, L"Products");
    return v.error == ERROR_SUCCESS ? *reinterpret_cast<DWORD*>(v.data) : 0xDEADBEEF;
}

void CheckUpperFilters(bool withDriver) {
    static const wchar_t grown[] = L"Filter7\0QVDNT\0";
    Value v = Read(kVolumeClass, L"UpperFilters");
    CHECK_EQ(v.error, ERROR_SUCCESS, "UpperFilters readable");
    CHECK_EQ(v.type, REG_MULTI_SZ, "UpperFilters type");
    CHECK_EQ(v.size, withDriver ? 30 : 18, "UpperFilters size");
    const void* expected = withDriver ? static_cast<const void*>(grown) : kOtherFilter;
    Check(std::memcmp(v.data, expected, v.size) == 0, "UpperFilters contents", 0, 0);
}

void CheckServiceConfig(DWORD major) {
    const wchar_t* image = major == 4 ? L"%SystemRoot%\\system32\\drivers\\qvdnt.sys"
                                      : L"%SystemRoot%\\system32\\drivers\\qvdnt5.sys";
    const wchar_t* group = major == 4 ? L"Filter" : L"System Bus Extender";
    DWORD errorControl = major == 4 ? SERVICE_ERROR_NORMAL : SERVICE_ERROR_IGNORE;

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"QVDNT", SERVICE_QUERY_CONFIG);
    Check(service != nullptr, "service opens", (long)GetLastError(), 0);
    if (service != nullptr) {
        alignas(8) BYTE buffer[8192];
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
        DWORD needed = 0;
        Check(QueryServiceConfigW(service, config, sizeof(buffer), &needed) != FALSE, "QueryServiceConfigW",
              (long)GetLastError(), 0);
        CHECK_EQ(config->dwServiceType, SERVICE_KERNEL_DRIVER, "service type");
        CHECK_EQ(config->dwStartType, SERVICE_BOOT_START, "start type");
        CHECK_EQ(config->dwErrorControl, errorControl, "error control");
        Check(std::wcscmp(config->lpLoadOrderGroup, group) == 0, "load order group", 0, 0);
        Check(std::wcscmp(config->lpDisplayName, L"Quiverdale") == 0, "display name", 0, 0);
        Check(std::wcsstr(config->lpBinaryPathName, major == 4 ? L"qvdnt.sys" : L"qvdnt5.sys") != nullptr,
              "image path names the version's driver", 0, 0);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);

    Value v = Read(kService, L"ImagePath");
    Check(v.type == REG_EXPAND_SZ || v.type == REG_SZ, "ImagePath is a string", (long)v.type, REG_EXPAND_SZ);
    Check(std::wcscmp(reinterpret_cast<wchar_t*>(v.data), image) == 0, "ImagePath", 0, 0);

    v = Read(kEventSource, L"EventMessageFile");
    CHECK_EQ(v.type, REG_EXPAND_SZ, "EventMessageFile type");
    CHECK_EQ(v.size, 2 * std::wcslen(image) + 2, "EventMessageFile size");
    Check(std::wcscmp(reinterpret_cast<wchar_t*>(v.data), image) == 0, "EventMessageFile", 0, 0);
    v = Read(kEventSource, L"TypesSupported");
    CHECK_EQ(v.type, REG_DWORD, "TypesSupported type");
    CHECK_EQ(*reinterpret_cast<DWORD*>(v.data), 7, "TypesSupported");
}

bool ServiceExists() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"QVDNT", SERVICE_QUERY_CONFIG);
    DWORD error = GetLastError();
    if (service != nullptr) {
        CloseServiceHandle(service);
    } else {
        CHECK_EQ(error, ERROR_SERVICE_DOES_NOT_EXIST, "a missing service's error");
    }
    CloseServiceHandle(manager);
    return service != nullptr;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::printf("usage: qvdinst_wine_test <qvdinst.dll> <expected major version>\n");
        return 2;
    }
    DWORD expectedMajor = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    std::printf("system reports %lu.%lu build %lu\n", version.dwMajorVersion, version.dwMinorVersion,
                version.dwBuildNumber);
    if (version.dwMajorVersion != expectedMajor) {
        std::printf("FAIL: Wine reports major version %lu, expected %lu\n", version.dwMajorVersion,
                    expectedMajor);
        return 1;
    }

    HMODULE dll = LoadLibraryW(argv[1]);
    if (dll == nullptr) {
        std::printf("FAIL: cannot load the library (%lu)\n", GetLastError());
        return 1;
    }
    auto install = reinterpret_cast<ExportFn>(reinterpret_cast<void*>(GetProcAddress(dll, "QVDInstall")));
    auto uninstall = reinterpret_cast<ExportFn>(reinterpret_cast<void*>(GetProcAddress(dll, "QVDUninstall")));
    if (install == nullptr || uninstall == nullptr) {
        std::printf("FAIL: exports QVDInstall/QVDUninstall not found\n");
        return 1;
    }
    Prepare();

    if (expectedMajor != 4 && expectedMajor != 5) {
        // Another version: the product's bit is kept, nothing is registered,
        // and uninstall goes ahead to find no service.
        CHECK_EQ(install(1), 1, "install on an unsupported version");
        CHECK_EQ(Products(), 1, "Products after install");
        Check(!ServiceExists(), "no service registered", 1, 0);
        CheckUpperFilters(false);
        CHECK_EQ(uninstall(1), 5, "uninstall without a service");
        CHECK_EQ(Products(), 0, "Products after uninstall");
    } else {
        bool filtered = expectedMajor == 5;
        CHECK_EQ(install(1), 0, "first product installs");
        CHECK_EQ(Products(), 1, "Products after first install");
        CheckServiceConfig(expectedMajor);
        CheckUpperFilters(filtered);

        CHECK_EQ(install(2), 0, "second product installs (service updated)");
        CHECK_EQ(Products(), 3, "Products after second install");
        CheckServiceConfig(expectedMajor);
        CheckUpperFilters(filtered);

        CHECK_EQ(uninstall(1), 18, "first uninstall while another product remains");
        CHECK_EQ(Products(), 2, "Products after first uninstall");
        Check(ServiceExists(), "service stays for the other product", 0, 1);
        CheckUpperFilters(filtered);

        CHECK_EQ(uninstall(2), 0, "last uninstall");
        Check(!ServiceExists(), "service deleted", 1, 0);
        Check(!KeyExists(kEventSource), "event source deleted", 1, 0);
        CheckUpperFilters(false);
    }
    FreeLibrary(dll);
    std::printf("%s: %d failure(s)\n", failures == 0 ? "PASS" : "FAIL", failures);
    return failures == 0 ? 0 : 1;
}
