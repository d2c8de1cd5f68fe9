// cm/system_hive.cpp - the keys a freshly installed system's registry holds.
//
// Only what the platform's own components rely on: the service database, the
// System event log, and the Volume and DiskDrive device classes whose filter
// lists boot reads. CurrentControlSet is a plain key here, not a link.
#include "ntos/cm/cmdata.h"

namespace {

void CmpSeedKey(PCM_REGISTRY Registry, PCWSTR Path, PCWSTR ClassName) {
    PCM_KEY key = nullptr;
    CmpCreateKey(Registry, nullptr, Path, &key, nullptr);
    if (ClassName != nullptr) {
        std::u16string_view name(ClassName);
        CmpSetValue(key, u"Class", REG_SZ, name.data(),
                    static_cast<ULONG>((name.size() + 1) * sizeof(WCHAR)));
    }
    CmpDereferenceKey(key);
}

} // namespace

void CmpInitializeSystemHive(PCM_REGISTRY Registry) {
    CmpSeedKey(Registry, u"MACHINE\\SOFTWARE", nullptr);
    CmpSeedKey(Registry, u"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", nullptr);
    CmpSeedKey(Registry,
               u"MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
               u"{71A27CDD-812A-11D0-BEC7-08002BE2092F}",
               u"Volume");
    CmpSeedKey(Registry,
               u"MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
               u"{4D36E967-E325-11CE-BFC1-08002BE10318}",
               u"DiskDrive");
}
