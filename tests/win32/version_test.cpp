// GetVersionExW reports the running kernel's version; wsprintfW formats.
#include "machine_fixture.h"

namespace {

class NT4ServerTest : public MachineTest {
  protected:
    NT4ServerTest() {
        Config.MajorVersion = 4;
        Config.MinorVersion = 0;
        Config.BuildNumber = 1381;
        Config.CsdVersion = u"Service Pack 6";
        Config.NtAsSystem = TRUE;
    }
};

TEST_F(NT4ServerTest, VersionComesFromTheKernel) {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    // Version, build and service pack text show in the install library's
    // debug lines, which its tests check.
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwPlatformId, DWORD{VER_PLATFORM_WIN32_NT});

    OSVERSIONINFOEXW ex = {};
    ex.dwOSVersionInfoSize = sizeof(ex);
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&ex)));
    EXPECT_EQ(ex.wServicePackMajor, 6);
    EXPECT_EQ(ex.wProductType, VER_NT_SERVER);

    info.dwOSVersionInfoSize = sizeof(info) - 1;
    EXPECT_FALSE(GetVersionExW(&info));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
}

TEST(WsprintfTest, FormatsAsThePlatformDoes) {
    WCHAR out[1100];
    EXPECT_EQ(wsprintfW(out, u"NT Version %d.%d  Build %d %s\n", 5, 0, 2195, u"Service Pack 4"),
              42);
    EXPECT_EQ(std::u16string(out), u"NT Version 5.0  Build 2195 Service Pack 4\n");
    wsprintfW(out, u"[%5d|%-5d|%05d|%x|%#X|%u|%i]", -42, 7, -3, 255u, 255u, 4000000000u, -1);
    EXPECT_EQ(std::u16string(out), u"[  -42|7    |-0003|ff|0XFF|4000000000|-1]");
    wsprintfW(out, u"%.3s|%6s|%-3S|%c|%%|%s", u"abcdef", u"ab", "n", u'z',
              static_cast<PCWSTR>(nullptr));
    EXPECT_EQ(std::u16string(out), u"abc|    ab|n  |z|%|(null)");

    std::u16string longText(2000, u'x');
    EXPECT_EQ(wsprintfW(out, u"%s", longText.c_str()), 1023) << "output stops at 1024 characters";
    EXPECT_EQ(out[1023], 0);
}

} // namespace
