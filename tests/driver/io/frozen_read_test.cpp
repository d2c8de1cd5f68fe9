// frozen_read_test.cpp - reads of the frozen image: untouched sectors from
// the volume, preserved ones from memory or from the partial data file, at
// any position within pieces and blocks, up to exactly the volume's end; and
// the reads that must be refused or fail.
#include "cow_fixture.h"
#include "ntos/disk/disk.h"

namespace {

// Overwrites a mix of runs in blocks 0 to 2 (and the volume's last sectors):
// pieces start and end inside blocks and a run crosses a block boundary.
void OverwriteMix(CopyOnWriteTest* Test) {
    const ULONG s = Test->SectorSize;
    const ULONGLONG last = COW_VOLUME_BYTES / s;
    struct Run {
        ULONGLONG Sector;
        ULONG Count;
    } runs[] = {{3, 5}, {12, 1}, {20, 40}, {120, 20}, {200, 3}, {last - 4, 4}};
    UCHAR fill = 0x10;
    for (const Run& run : runs) {
        ASSERT_EQ(Test->Overwrite(run.Sector * s, run.Count * s, fill++), STATUS_SUCCESS);
    }
}

// Reads each range of the table and compares it with the image at the freeze.
void ExpectFrozenImage(CopyOnWriteTest* Test, const char* Where) {
    const ULONG s = Test->SectorSize;
    const ULONGLONG sectors = COW_VOLUME_BYTES / s;
    struct Range {
        ULONGLONG Sector;
        ULONG Count;
        const char* What;
    } ranges[] = {
        {0, 256, "two whole blocks of gaps and pieces"},
        {5, 2, "middle of a piece"},
        {22, 10, "inside one piece, from its third sector"},
        {10, 14, "gap, piece, gap, into a piece"},
        {125, 10, "across a block boundary inside a piece"},
        {300, 128, "no preserved sector at all"},
        {sectors - 8, 8, "ending exactly at the volume's end"},
    };
    for (const Range& range : ranges) {
        std::vector<UCHAR> buffer(range.Count * s, 0xEE);
        ULONG_PTR bytes = 0;
        EXPECT_EQ(Test->FrozenRead(range.Sector * s, buffer, &bytes), STATUS_SUCCESS)
            << Where << ": " << range.What;
        EXPECT_EQ(bytes, buffer.size()) << Where << ": " << range.What;
        EXPECT_TRUE(buffer == Test->Image(range.Sector * s, range.Count * s))
            << Where << ": " << range.What << " differs from the image at the freeze";
    }
}

TEST_F(CopyOnWriteTest, ReadsMergeTheVolumeWithPiecesInMemoryAndInTheFile) {
    HoldFlushQueue();
    OverwriteMix(this);
    ASSERT_TRUE(Pieces(20)[0].InMemory);
    ExpectFrozenImage(this, "pieces in memory");

    ReleaseFlushQueue();
    WaitForFlushes();
    ASSERT_FALSE(Pieces(20)[0].InMemory);
    VolumeReadsSince();
    std::vector<UCHAR> buffer(40 * SectorSize);
    ASSERT_EQ(FrozenRead(20 * SectorSize, buffer), STATUS_SUCCESS);
    EXPECT_EQ(VolumeReadsSince(), 0u) << "a wholly preserved range was read from the volume";
    ExpectFrozenImage(this, "pieces in the file");
}

TEST_F(CopyOnWriteTest, ReadsOfOtherSizesAndPlacesAreServedOrRefused) {
    OverwriteMix(this);
    WaitForFlushes();
    const ULONG s = SectorSize;

    // An offset inside a sector reads from the start of that sector.
    std::vector<UCHAR> buffer(2 * s);
    ASSERT_EQ(FrozenRead(4 * s + 7, buffer), STATUS_SUCCESS);
    EXPECT_TRUE(buffer == Image(4 * s, 2 * s));

    struct Refused {
        ULONGLONG Offset;
        ULONG Length;
        const char* What;
    } refused[] = {
        {COW_VOLUME_BYTES - s, 2 * s, "ends past the volume"},
        {0, s + 1, "not whole sectors"},
        {~0ull - s + 1, 2 * s, "offset and length wrap around"},
        {COW_VOLUME_BYTES + s, s, "starts past the volume"},
    };
    for (const Refused& r : refused) {
        std::vector<UCHAR> b(r.Length);
        EXPECT_EQ(FrozenRead(r.Offset, b), STATUS_INVALID_PARAMETER) << r.What;
    }
    EXPECT_FALSE(IsFrozenStateBroken(Extension)) << "a refused read must not break the state";
}

TEST_F(CopyOnWriteTest, AFailedSubReadFailsTheReadAndBreaksTheState) {
    OverwriteMix(this);
    WaitForFlushes();
    const ULONG s = SectorSize;
    DiskFailRange(Volume, DISK_FAULT_READ, 300ull * s, s, STATUS_DEVICE_DATA_ERROR);
    std::vector<UCHAR> buffer(128 * s);
    ULONG_PTR bytes = 1;
    EXPECT_EQ(FrozenRead(256ull * s, buffer, &bytes), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(IsFrozenStateBroken(Extension));

    // Broken, StayBroken: the owner's reads are refused, not served wrong.
    Extension->StayBroken = TRUE;
    EXPECT_EQ(FrozenRead(0, buffer), STATUS_ACCESS_DENIED);
    // Without it they see the live volume.
    Extension->StayBroken = FALSE;
    DiskClearFaults(Volume);
    ASSERT_EQ(FrozenRead(0, buffer), STATUS_SUCCESS);
    std::vector<UCHAR> live = DiskSnapshotBackingStore(Volume);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), live.begin()));
}

} // namespace
