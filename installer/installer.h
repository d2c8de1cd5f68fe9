// installer/installer.h - the install library's internal routines and names.
//
// Plain Win32 code: builds against the emulated machine's win32 layer on the
// host and against the platform's own headers as a Windows DLL.
#pragma once

#include <windows.h>

// Wide literals: char16_t on the emulated platform, wchar_t on Windows.
#ifdef _WIN32
#define QVD_WIDE(s) L##s
#else
#define QVD_WIDE(s) u##s
#endif

// Result codes of the exports; 0 is success.
enum QVD_INSTALL_RESULT {
    QVD_INSTALL_SUCCESS = 0,
    QVD_INSTALL_BAD_VERSION = 1,
    QVD_INSTALL_NO_CLASS_KEY = 2,
    QVD_INSTALL_NO_SC_MANAGER = 3,
    QVD_INSTALL_CREATE_SERVICE_FAILED = 4,
    QVD_INSTALL_OPEN_SERVICE_FAILED = 5,
    QVD_INSTALL_DELETE_SERVICE_FAILED = 6,
    QVD_INSTALL_NO_EVENTLOG_KEY = 7,
    QVD_INSTALL_DELETE_EVENT_SOURCE_FAILED = 8,
    QVD_INSTALL_CREATE_EVENT_SOURCE_FAILED = 9,
    QVD_INSTALL_MESSAGE_FILE_FAILED = 10,
    QVD_INSTALL_TYPES_SUPPORTED_FAILED = 11,
    QVD_INSTALL_UPDATE_SERVICE_FAILED = 12,
    QVD_INSTALL_QUERY_FILTERS_FAILED = 13,
    QVD_INSTALL_CREATE_FILTERS_FAILED = 14,
    QVD_INSTALL_CHANGE_FILTERS_FAILED = 15,
    QVD_INSTALL_NO_SETUP_KEY = 16,
    QVD_INSTALL_SET_PRODUCTS_FAILED = 17,
    QVD_INSTALL_STILL_IN_USE = 18,
};

#define QVD_SERVICE_NAME QVD_WIDE("QVDNT")

// The running system's version; a failed query leaves major version 0.
void QueryVersion(OSVERSIONINFOW* Version);
// "NT Version <major>.<minor>  Build <build> <service pack>\n".
void ReportVersion(const OSVERSIONINFOW& Version);
// The driver image registered for this version (the NT 4 build on major 4).
LPCWSTR DriverImagePath(const OSVERSIONINFOW& Version);

int RegisterService(const OSVERSIONINFOW& Version);
int RegisterEventSource(const OSVERSIONINFOW& Version);
int RemoveEventSource();
int AddUpperFilter();
int RemoveUpperFilter();
