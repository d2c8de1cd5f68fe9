// volume_names_test.cpp - a user program asking for a volume's GUID path by
// its drive letter or by that path, as the mount manager knows it.
#include "user_program_fixture.h"
#include "windows.h"

#include <string>

namespace {

using VolumeNamesTest = UserVolumeTest;

// The program checks each answer in place against the expected GUID path.
ULONG NamesProgram(PVOID Context) {
    const auto& expected = *static_cast<const std::u16string*>(Context);
    WCHAR name[64];
    EXPECT_TRUE(GetVolumeNameForVolumeMountPointW(u"t:\\", name, 64)) << GetLastError();
    EXPECT_EQ(std::u16string(name), expected);
    WCHAR again[64];
    EXPECT_TRUE(GetVolumeNameForVolumeMountPointW(name, again, 64));
    EXPECT_EQ(std::u16string(again), expected) << "the GUID path names itself";
    EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(u"T:", name, 64))
        << "a mount point ends with a backslash";
    EXPECT_EQ(GetLastError(), 123u) << "ERROR_INVALID_NAME";
    EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(u"Q:\\", name, 64));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND}) << "no such drive";
    EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(u"t:\\", name, 49)) << "no room for the NUL";
    EXPECT_EQ(GetLastError(), 206u) << "ERROR_FILENAME_EXCED_RANGE";
    return 0;
}

TEST_F(VolumeNamesTest, DriveRootAndGuidPathBothLeadToTheVolumesGuidPath) {
    const std::u16string guidName = TestVolumeGuidName(Volume); // \??\Volume{...}
    const std::u16string expected = u"\\\\?\\" + guidName.substr(4) + u"\\";
    ASSERT_EQ(expected.size(), 49u) << "\\\\?\\Volume{GUID}\\ is 49 characters";
    EXPECT_EQ(TestRunUserProgram(NamesProgram, const_cast<std::u16string*>(&expected)), 0u);
}

} // namespace
