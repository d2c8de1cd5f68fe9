// ps/version.cpp - the system's version as the kernel was configured.
#include "ntos/ke/kernel.h"
#include "ntos/ke/ki.h"

namespace {
// The service-pack string PsGetVersion hands out; valid while the kernel runs.
UNICODE_STRING PspCsdVersion;
} // namespace

void PspSetCsdVersion(const WCHAR* CsdVersion) {
    USHORT length = 0;
    while (CsdVersion != nullptr && CsdVersion[length / sizeof(WCHAR)] != 0) {
        length = static_cast<USHORT>(length + sizeof(WCHAR));
    }
    PspCsdVersion.Length = length;
    PspCsdVersion.MaximumLength = static_cast<USHORT>(length + sizeof(WCHAR));
    PspCsdVersion.Buffer = const_cast<PWSTR>(CsdVersion != nullptr ? CsdVersion : u"");
}

BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                     PUNICODE_STRING CSDVersion) {
    const KernelConfig& config = KiConfig();
    if (MajorVersion != nullptr) {
        *MajorVersion = config.MajorVersion;
    }
    if (MinorVersion != nullptr) {
        *MinorVersion = config.MinorVersion;
    }
    if (BuildNumber != nullptr) {
        *BuildNumber = config.BuildNumber;
    }
    if (CSDVersion != nullptr) {
        *CSDVersion = PspCsdVersion;
    }
    return FALSE;
}
