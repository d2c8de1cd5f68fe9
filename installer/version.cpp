// installer/version.cpp - the running system's version and the debug line
// that reports it.
#include "installer.h"

void QueryVersion(OSVERSIONINFOW* Version) {
    OSVERSIONINFOW empty = {};
    *Version = empty;
    Version->dwOSVersionInfoSize = sizeof(*Version);
    if (!GetVersionExW(Version)) {
        *Version = empty;
    }
}

void ReportVersion(const OSVERSIONINFOW& Version) {
    WCHAR line[1024];
    wsprintfW(line, QVD_WIDE("NT Version %d.%d  Build %d %s\n"), Version.dwMajorVersion,
              Version.dwMinorVersion, Version.dwBuildNumber & 0xFFFF, Version.szCSDVersion);
    OutputDebugStringW(line);
}

LPCWSTR DriverImagePath(const OSVERSIONINFOW& Version) {
    return Version.dwMajorVersion == 4 ? QVD_WIDE("%SystemRoot%\\system32\\drivers\\qvdnt.sys")
                                       : QVD_WIDE("%SystemRoot%\\system32\\drivers\\qvdnt5.sys");
}
