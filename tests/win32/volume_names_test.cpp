// volume_names_test.cpp - a user program asking for a volume's GUID path by
// its drive letter or by that path, as the mount manager knows it.
#include "user_program_fixture.h"
#include "windows.h"

#include <string>

namespace {

using VolumeNamesTest = UserVolumeTest;

struct NamesResult {
    static constexpr int Calls = 5;
    BOOL Ok[Calls];
    DWORD Error[Calls];
    WCHAR Name[Calls][64];
};

ULONG NamesProgram(PVOID Context) {
    auto* result = static_cast<NamesResult*>(Context);
    // The drive's root, the answer given back, no backslash, an unknown
    // drive, and a buffer one character short.
    const DWORD room[NamesResult::Calls] = {64, 64, 64, 64, 49};
    for (int i = 0; i < NamesResult::Calls; ++i) {
        const WCHAR* mountPoint = i == 1   ? result->Name[0]
                                  : i == 2 ? u"T:"
                                  : i == 3 ? u"Q:\\"
                                           : u"t:\\";
        SetLastError(0);
        result->Ok[i] = GetVolumeNameForVolumeMountPointW(mountPoint, result->Name[i], room[i]);
        result->Error[i] = GetLastError();
    }
    return 0;
}

TEST_F(VolumeNamesTest, DriveRootAndGuidPathBothLeadToTheVolumesGuidPath) {
    NamesResult result = {};
    ASSERT_EQ(TestRunUserProgram(NamesProgram, &result), 0u);
    const std::u16string guidName = TestVolumeGuidName(Volume); // \??\Volume{...}
    const std::u16string expected = u"\\\\?\\" + guidName.substr(4) + u"\\";
    ASSERT_TRUE(result.Ok[0]) << "error " << result.Error[0];
    EXPECT_EQ(std::u16string(result.Name[0]), expected);
    EXPECT_EQ(expected.size(), 49u) << "\\\\?\\Volume{GUID}\\ is 49 characters";
    EXPECT_TRUE(result.Ok[1]);
    EXPECT_EQ(std::u16string(result.Name[1]), expected) << "the GUID path names itself";
    EXPECT_FALSE(result.Ok[2]) << "a mount point ends with a backslash";
    EXPECT_EQ(result.Error[2], 123u) << "ERROR_INVALID_NAME";
    EXPECT_FALSE(result.Ok[3]);
    EXPECT_EQ(result.Error[3], DWORD{ERROR_FILE_NOT_FOUND}) << "no such drive";
    EXPECT_FALSE(result.Ok[4]) << "no room for the terminator";
    EXPECT_EQ(result.Error[4], 206u) << "ERROR_FILENAME_EXCED_RANGE";
}

} // namespace
