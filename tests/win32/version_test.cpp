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
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwMajorVersion, 4u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 1381u);
    EXPECT_EQ(info.dwPlatformId, DWORD{VER_PLATFORM_WIN32_NT});
    EXPECT_EQ(std::u16string(info.szCSDVersion), u"Service Pack 6");

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
    EXPECT_EQ(wsprintfW(out, u"NT Version %d.%d  Build %d %s\n", 5, 0, 2195, u"Service Pack 4"), 42);
    EXPECT_EQ(std::u16string(out), u"NT Version 5.0  Build 2195 Service Pack 4\n");

    std::u16string longText(2000, u'x');
    EXPECT_EQ(wsprintfW(out, u"%s", longText.c_str()), 1023) << "output stops at 1024 characters";
    EXPECT_EQ(out[1023], 0);
}

} // namespace
