// The snapshot's tables are sized by the system's memory size and product.
#include "snapshot_fixture.h"

namespace {

struct SystemKind {
    const char* Name;
    MM_SYSTEMSIZE Size;
    BOOLEAN Server;
    ULONG ActivityBuckets;
    ULONG ExtentBuckets;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const SystemKind& Kind, std::ostream* Out) {
    *Out << Kind.Name;
}

class TableSizeTest : public SnapshotTest, public ::testing::WithParamInterface<SystemKind> {
  protected:
    void Describe(BOOT_MACHINE_DESCRIPTION& Description) override {
        Description.SystemSize = GetParam().Size;
        Description.Server = GetParam().Server;
    }
};

TEST_P(TableSizeTest, BucketsFollowTheSystemSize) {
    EXPECT_EQ(ActivityBucketCount(), GetParam().ActivityBuckets);
    FreezeCall freeze = FreezeOfC();
    Freeze(freeze);
    ASSERT_EQ(freeze.Reply.Result, QVD_RESULT_SUCCESS);
    EXPECT_EQ(HashTableBucketCount(FilterOfC()->SnapshotContext->ExtentTable),
              GetParam().ExtentBuckets);
    EXPECT_EQ(Thaw(freeze.Reply.VolumeHandle), QVD_RESULT_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Systems, TableSizeTest,
    ::testing::Values(SystemKind{"SmallWorkstation", MmSmallSystem, FALSE, 47, 401},
                      SystemKind{"MediumWorkstation", MmMediumSystem, FALSE, 307, 2503},
                      SystemKind{"LargeServer", MmLargeSystem, TRUE, 997, 7717}),
    [](const ::testing::TestParamInfo<SystemKind>& Info) { return std::string(Info.param.Name); });

} // namespace
