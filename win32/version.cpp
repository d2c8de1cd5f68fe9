// win32/version.cpp - GetVersionExW, from the running kernel's version.
#include "windows.h"
#include "ntdef.h"
#include "nt/ps.h"

namespace {

// The service-pack number of a CSD string such as "Service Pack 4".
WORD BasepServicePackMajor(const UNICODE_STRING& Csd) {
    constexpr char16_t prefix[] = u"Service Pack ";
    size_t length = Csd.Length / sizeof(WCHAR);
    size_t i = 0;
    for (; prefix[i] != 0; ++i) {
        if (i >= length || Csd.Buffer[i] != prefix[i]) {
            return 0;
        }
    }
    WORD number = 0;
    for (; i < length && Csd.Buffer[i] >= u'0' && Csd.Buffer[i] <= u'9'; ++i) {
        number = static_cast<WORD>(number * 10 + (Csd.Buffer[i] - u'0'));
    }
    return number;
}

} // namespace

BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    ULONG major = 0;
    ULONG minor = 0;
    ULONG build = 0;
    UNICODE_STRING csd{};
    PsGetVersion(&major, &minor, &build, &csd);
    lpVersionInformation->dwMajorVersion = major;
    lpVersionInformation->dwMinorVersion = minor;
    lpVersionInformation->dwBuildNumber = build;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    size_t length = csd.Length / sizeof(WCHAR);
    constexpr size_t room = sizeof(lpVersionInformation->szCSDVersion) / sizeof(WCHAR) - 1;
    if (length > room) {
        length = room;
    }
    for (size_t i = 0; i < length; ++i) {
        lpVersionInformation->szCSDVersion[i] = csd.Buffer[i];
    }
    lpVersionInformation->szCSDVersion[length] = 0;
    if (size == sizeof(OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = BasepServicePackMajor(csd);
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = MmIsThisAnNtAsSystem() ? VER_NT_SERVER : VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    return TRUE;
}
