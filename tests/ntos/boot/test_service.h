// test_service.h - installs a service into a machine's registry as a setup
// program would, while the machine is off.
#pragma once

#include "ntos/boot/machine.h"

#include <gtest/gtest.h>

#include <string>

inline void TestInstallService(PBOOT_MACHINE Machine, PCWSTR Name, PCWSTR ImagePath, ULONG Start) {
    PCM_KEY key;
    std::u16string path = std::u16string(u"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\") + Name;
    ASSERT_EQ(CmpCreateKey(Machine->Registry, nullptr, path.c_str(), &key, nullptr),
              STATUS_SUCCESS);
    ULONG type = 1;
    CmpSetValue(key, u"Type", REG_DWORD, &type, sizeof(type));
    CmpSetValue(key, u"Start", REG_DWORD, &Start, sizeof(Start));
    std::u16string image(ImagePath);
    CmpSetValue(key, u"ImagePath", REG_EXPAND_SZ, image.c_str(),
                static_cast<ULONG>((image.size() + 1) * sizeof(WCHAR)));
    CmpDereferenceKey(key);
}
