// installer/service.cpp - registering the driver with the service control
// manager: created when missing, reconfigured when present.
#include "installer.h"

namespace {

// The load-order group and error control differ between NT 4 and NT 5.
LPCWSTR ServiceGroup(const OSVERSIONINFOW& Version) {
    return Version.dwMajorVersion == 4 ? QVD_WIDE("Filter") : QVD_WIDE("System Bus Extender");
}

DWORD ServiceErrorControl(const OSVERSIONINFOW& Version) {
    return Version.dwMajorVersion == 4 ? SERVICE_ERROR_NORMAL : SERVICE_ERROR_IGNORE;
}

// On Windows 2000 the driver reaches the volumes only as a Volume-class upper
// filter, so a filter that could not be added is reported to the caller (the
// service stays registered; installing again retries the filter). An earlier
// failure of the event-source step keeps its own code.
int AddFilterAfter(int Result) {
    int filter = AddUpperFilter();
    return Result != QVD_INSTALL_SUCCESS ? Result : filter;
}

} // namespace

int RegisterService(const OSVERSIONINFOW& Version) {
    ReportVersion(Version);
    if (Version.dwMajorVersion != 4 && Version.dwMajorVersion != 5) {
        OutputDebugStringW(QVD_WIDE("Incorrect NT Version\n"));
        return QVD_INSTALL_BAD_VERSION;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        OutputDebugStringW(QVD_WIDE("Could not open SC Manager\n"));
        return QVD_INSTALL_NO_SC_MANAGER;
    }
    int result;
    SC_HANDLE service = OpenServiceW(manager, QVD_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        service = CreateServiceW(manager, QVD_SERVICE_NAME, QVD_WIDE("Quiverdale"), SERVICE_ALL_ACCESS,
                                 SERVICE_KERNEL_DRIVER, SERVICE_BOOT_START, ServiceErrorControl(Version),
                                 DriverImagePath(Version), ServiceGroup(Version), nullptr, nullptr,
                                 nullptr, nullptr);
        if (service == nullptr) {
            OutputDebugStringW(QVD_WIDE("Could not create service\n"));
            result = QVD_INSTALL_CREATE_SERVICE_FAILED;
        } else {
            OutputDebugStringW(QVD_WIDE("Service installed\n"));
            CloseServiceHandle(service);
            result = RegisterEventSource(Version);
            if (Version.dwMajorVersion == 5) {
                result = AddFilterAfter(result);
            }
        }
    } else {
        if (!ChangeServiceConfigW(service, SERVICE_KERNEL_DRIVER, SERVICE_BOOT_START,
                                  ServiceErrorControl(Version), DriverImagePath(Version),
                                  ServiceGroup(Version), nullptr, nullptr, nullptr, nullptr,
                                  QVD_WIDE("Quiverdale"))) {
            OutputDebugStringW(QVD_WIDE("Could not update service\n"));
            result = QVD_INSTALL_UPDATE_SERVICE_FAILED;
        } else {
            OutputDebugStringW(QVD_WIDE("Service updated\n"));
            result = RegisterEventSource(Version);
            if (Version.dwMajorVersion == 5) {
                result = AddFilterAfter(result);
            }
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}
