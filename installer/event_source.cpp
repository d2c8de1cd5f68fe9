// installer/event_source.cpp - the driver as a source of the System event log,
// with its image as the message file.
#include "installer.h"

namespace {

#define QVD_EVENTLOG_KEY QVD_WIDE("SYSTEM\\CurrentControlSet\\Services\\EventLog\\System")

DWORD ByteLength(LPCWSTR Text) {
    DWORD n = 0;
    while (Text[n] != 0) {
        ++n;
    }
    return 2 * n + 2;
}

} // namespace

int RegisterEventSource(const OSVERSIONINFOW& Version) {
    ReportVersion(Version);
    HKEY log = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QVD_EVENTLOG_KEY, 0, KEY_ALL_ACCESS, &log) != ERROR_SUCCESS) {
        OutputDebugStringW(QVD_WIDE("Could not open eventlog key\n"));
        return QVD_INSTALL_NO_EVENTLOG_KEY;
    }
    int result = QVD_INSTALL_SUCCESS;
    HKEY source = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(log, QVD_SERVICE_NAME, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &source, &disposition) != ERROR_SUCCESS) {
        OutputDebugStringW(QVD_WIDE("Could not make Event key\n"));
        result = QVD_INSTALL_CREATE_EVENT_SOURCE_FAILED;
    } else {
        LPCWSTR image = DriverImagePath(Version);
        const DWORD types = 7; // error, warning and information events
        if (RegSetValueExW(source, QVD_WIDE("EventMessageFile"), 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>(image), ByteLength(image)) != ERROR_SUCCESS) {
            OutputDebugStringW(QVD_WIDE("Could not make EventMessageFile\n"));
            result = QVD_INSTALL_MESSAGE_FILE_FAILED;
        } else if (RegSetValueExW(source, QVD_WIDE("TypesSupported"), 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&types), sizeof(types)) != ERROR_SUCCESS) {
            OutputDebugStringW(QVD_WIDE("Could not make TypesSupported\n"));
            result = QVD_INSTALL_TYPES_SUPPORTED_FAILED;
        }
        RegCloseKey(source);
    }
    RegCloseKey(log);
    return result;
}

int RemoveEventSource() {
    HKEY log = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QVD_EVENTLOG_KEY, 0, KEY_ALL_ACCESS, &log) != ERROR_SUCCESS) {
        OutputDebugStringW(QVD_WIDE("Could not open eventlog key\n"));
        return QVD_INSTALL_NO_EVENTLOG_KEY;
    }
    int result = QVD_INSTALL_SUCCESS;
    if (RegDeleteKeyW(log, QVD_SERVICE_NAME) != ERROR_SUCCESS) {
        OutputDebugStringW(QVD_WIDE("Could not delete event log key\n"));
        result = QVD_INSTALL_DELETE_EVENT_SOURCE_FAILED;
    }
    RegCloseKey(log);
    return result;
}
