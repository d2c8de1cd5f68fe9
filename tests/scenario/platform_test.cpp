// Each platform the driver knows: the snapshot's tables are sized by the
// system's memory size and product, and the file system's internal stream is
// found on each build and kept out of the freeze; a volume of another file
// system freezes with nothing exempted.
#include "snapshot_fixture.h"

namespace {

struct Platform {
    const char* Name;
    ULONG Build;
    const char16_t* ServicePack;
    const char16_t* FileSystem;
    bool Exempted; // the internal stream is on the own-file list
    MM_SYSTEMSIZE Size;
    BOOLEAN Server;
    ULONG ActivityBuckets;
    ULONG ExtentBuckets;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const Platform& Platform, std::ostream* Out) {
    *Out << Platform.Name;
}

class PlatformTest : public SnapshotTest, public ::testing::WithParamInterface<Platform> {
  protected:
    void Describe(BOOT_MACHINE_DESCRIPTION& Description) override {
        Description.BuildNumber = GetParam().Build;
        Description.CsdVersion = GetParam().ServicePack;
        Description.FileSystem = GetParam().FileSystem;
        Description.SystemSize = GetParam().Size;
        Description.Server = GetParam().Server;
    }
};

TEST_P(PlatformTest, FreezeSizesItsTablesAndExemptsTheInternalStreamOfTheFileSystem) {
    EXPECT_EQ(ActivityBucketCount(), GetParam().ActivityBuckets);
    FreezeCall freeze = FreezeOfC();
    Freeze(freeze);
    ASSERT_EQ(freeze.Reply.Result, QVD_RESULT_SUCCESS);
    EXPECT_EQ(HashTableBucketCount(FilterOfC()->SnapshotContext->ExtentTable),
              GetParam().ExtentBuckets);
    PVOID stream = FilterOfC()->SnapshotContext->NtfsStream;
    EXPECT_EQ(stream != nullptr, GetParam().Exempted);
    if (stream != nullptr) {
        EXPECT_EQ(stream, FsGetVolume(Volumes()[0])->MetadataStream);
        EXPECT_TRUE(ExemptFileContains(stream, OWN_FILE_LIST));
    }
    EXPECT_EQ(Thaw(freeze.Reply.VolumeHandle), QVD_RESULT_SUCCESS);
    if (stream != nullptr) {
        EXPECT_FALSE(ExemptFileContains(stream, OWN_FILE_LIST)) << "taken off at the thaw";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, PlatformTest,
    ::testing::Values(Platform{"Build2195SmallWorkstation", 2195, u"Service Pack 4", u"Ntfs", true,
                               MmSmallSystem, FALSE, 47, 401},
                      Platform{"Build2195NoServicePackMediumWorkstation", 2195, u"", u"Ntfs", true,
                               MmMediumSystem, FALSE, 307, 2503},
                      Platform{"EarlierBuildServicePack4LargeServer", 1381, u"Service Pack 6",
                               u"Ntfs", true, MmLargeSystem, TRUE, 997, 7717},
                      Platform{"EarlierBuildServicePack3", 1381, u"Service Pack 3", u"Ntfs", true,
                               MmMediumSystem, FALSE, 307, 2503},
                      Platform{"Fat", 2195, u"Service Pack 4", u"Fastfat", false, MmMediumSystem,
                               FALSE, 307, 2503}),
    [](const ::testing::TestParamInfo<Platform>& Info) { return std::string(Info.param.Name); });

} // namespace
