// installer_fixture.h - an emulated machine of a chosen version with the
// install library's registry paths and debug output at hand.
#pragma once

#include "../win32/machine_fixture.h"
#include "exports.h"

#include <string>
#include <vector>

template <ULONG Major>
class InstallerTestOn : public MachineTest {
protected:
    InstallerTestOn() {
        Config.MajorVersion = Major;
        Config.MinorVersion = 0;
        Config.BuildNumber = Major == 4 ? 1381 : 2195;
        Config.CsdVersion = Major == 4 ? u"Service Pack 6" : u"Service Pack 4";
    }

    // Filter names as stored: each string's null, then the list's null.
    static std::u16string List(std::initializer_list<std::u16string> Names) {
        std::u16string list;
        for (const auto& n : Names) {
            list += n;
            list += u'\0';
        }
        return list + u'\0';
    }

    void StoreFilters(const std::u16string& Chars, ULONG Type = REG_MULTI_SZ) {
        Store(VolumeClass, u"UpperFilters", Type, Chars.data(), static_cast<ULONG>(Chars.size() * 2));
    }

    void StoreFilterBytes(const std::vector<UCHAR>& Bytes, ULONG Type = REG_MULTI_SZ) {
        Store(VolumeClass, u"UpperFilters", Type, Bytes.data(), static_cast<ULONG>(Bytes.size()));
    }

    void DeleteFilters() {
        PCM_KEY key = nullptr;
        ASSERT_EQ(CmpOpenKey(Registry, nullptr, (u"MACHINE\\" + VolumeClass).c_str(), &key), STATUS_SUCCESS);
        CmpDeleteValue(key, u"UpperFilters");
        CmpDereferenceKey(key);
    }

    StoredValue Filters() { return Stored(VolumeClass, u"UpperFilters"); }
    ULONG Products() { return Stored(SetupKey, u"Products").Dword(); }
    bool ServiceExists() { return Stored(ServiceKey, u"Type").Status == STATUS_SUCCESS; }
    std::vector<std::u16string> Debug() { return BasepReadDebugOutput(); }

    const std::u16string VolumeClass =
        u"SYSTEM\\CurrentControlSet\\Control\\Class\\{71A27CDD-812A-11D0-BEC7-08002BE2092F}";
    const std::u16string ServiceKey = u"SYSTEM\\CurrentControlSet\\Services\\QVDNT";
    const std::u16string SetupKey = u"SYSTEM\\CurrentControlSet\\Services\\QVDNT\\Setup";
    const std::u16string EventSource = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\QVDNT";
    const std::u16string Nt5Line = u"NT Version 5.0  Build 2195 Service Pack 4\n";
    const std::u16string Nt4Line = u"NT Version 4.0  Build 1381 Service Pack 6\n";
};

using Nt4Test = InstallerTestOn<4>;
using Nt5Test = InstallerTestOn<5>;
using Nt6Test = InstallerTestOn<6>;
