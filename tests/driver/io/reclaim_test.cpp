// reclaim_test.cpp - the partial data file's space (first fit, merging of
// touching free ranges within 16 bits) and the reclaim thread that drops the
// blocks the agent has read past.
#include "cow_fixture.h"

#include <utility>

namespace {

using Range = std::pair<ULONGLONG, ULONG>; // file offset (sectors), sector count

std::vector<Range> FreeRanges(CopyOnWriteTest* Test) {
    std::vector<Range> ranges;
    for (ExtentPiece* r = Test->Snapshot->FreeList; r != nullptr; r = r->Next) {
        ranges.push_back({r->FileOffset / Test->SectorSize, r->SectorCount});
    }
    return ranges;
}

void Free(CopyOnWriteTest* Test, ULONGLONG Sector, ULONG Count) {
    auto* range = (ExtentPiece*)AllocateExtentPiece(FALSE);
    ASSERT_NE(range, nullptr);
    range->FileOffset = Sector * Test->SectorSize;
    range->SectorCount = (USHORT)Count;
    range->SectorOffset = 5;
    ReleaseFileSpace(Test->Extension, Test->Snapshot, range);
}

ULONGLONG Allocate(CopyOnWriteTest* Test, ULONG Count) {
    ULONGLONG offset = 0;
    AllocateFileSpace(Test->Extension, Test->Snapshot, Count, &offset);
    return offset / Test->SectorSize;
}

TEST_F(CopyOnWriteTest, FileSpaceIsReusedFirstFitAndFreedRangesMerge) {
    EXPECT_EQ(Allocate(this, 10), 0u);
    EXPECT_EQ(Allocate(this, 20), 10u);
    Snapshot->FileEnd = 0x30000ull * SectorSize; // room for ranges near 16 bits

    Free(this, 100, 10);
    Free(this, 120, 10);
    Free(this, 110, 10); // touches both: one range
    Free(this, 200, 5);
    EXPECT_EQ(FreeRanges(this), (std::vector<Range>{{100, 30}, {200, 5}}));

    // First fit: the front of the first range large enough; an exact fit
    // takes the whole range; the file grows only when none is large enough.
    EXPECT_EQ(Allocate(this, 6), 100u);
    EXPECT_EQ(Allocate(this, 5), 106u);
    EXPECT_EQ(Allocate(this, 5), 111u);
    EXPECT_EQ(Allocate(this, 5), 116u);
    EXPECT_EQ(FreeRanges(this), (std::vector<Range>{{121, 9}, {200, 5}}));
    EXPECT_EQ(Allocate(this, 9), 121u);
    EXPECT_EQ(FreeRanges(this), (std::vector<Range>{{200, 5}}));
    EXPECT_EQ(Allocate(this, 6), 0x30000u);

    // Touching ranges stay apart when their sum would not fit 16 bits.
    Free(this, 1000, 0xFFF0);
    Free(this, 1000 + 0xFFF0, 0x20);
    Free(this, 900, 100);
    EXPECT_EQ(FreeRanges(this),
              (std::vector<Range>{{200, 5}, {900, 100}, {1000, 0xFFF0}, {1000 + 0xFFF0, 0x20}}));
}

// Holds VolumeResource shared for the reclaim pass the test wakes, by
// running it here in the test's thread.
void Reclaim(CopyOnWriteTest* Test, ULONGLONG ProgressSector) {
    Test->Snapshot->ProgressMark = ProgressSector;
    AcquireVolumeLock(Test->Extension, FALSE);
    ReclaimBlocks(Test->Extension, ProgressSector / EXTENT_BLOCK_SECTORS);
    ReleaseVolumeLock(Test->Extension, PsGetCurrentThread());
}

TEST_F(CopyOnWriteTest, ReclaimDropsOnlyBlocksWhollyBelowTheProgress) {
    const ULONG s = SectorSize;
    ASSERT_EQ(Overwrite(0, 8 * s, 0x51), STATUS_SUCCESS);
    ASSERT_EQ(Overwrite(130ull * s, 8 * s, 0x52), STATUS_SUCCESS);
    WaitForFlushes();
    EXPECT_EQ(Snapshot->FileEnd, 16ull * s);

    Reclaim(this, 100); // inside block 0: nothing goes
    EXPECT_EQ(Pieces(0).size(), 1u);
    EXPECT_TRUE(FreeRanges(this).empty());

    Reclaim(this, 128); // past block 0
    EXPECT_TRUE(Pieces(0).empty());
    EXPECT_EQ(Snapshot->LowestBlock, 1u);
    EXPECT_EQ(Pieces(130).size(), 1u);
    ULONGLONG freed = FreeRanges(this).at(0).first;

    // The freed range takes the next piece; the file does not grow.
    ASSERT_EQ(Overwrite(300ull * s, 4 * s, 0x53), STATUS_SUCCESS);
    WaitForFlushes();
    EXPECT_EQ(Snapshot->FileEnd, 16ull * s);
    EXPECT_EQ(FreeRanges(this), (std::vector<Range>{{freed + 4, 4}}));

    // Below the progress: frozen reads see the live volume, writes are not
    // preserved.
    ASSERT_EQ(Overwrite(0, s, 0x54), STATUS_SUCCESS);
    EXPECT_TRUE(Pieces(0).empty());
}

TEST_F(CopyOnWriteTest, PiecesDroppedBeforeTheirFlushAreNeverWritten) {
    const ULONG s = SectorSize;
    HoldFlushQueue();
    ASSERT_EQ(Overwrite(0, 64 * s, 0x61), STATUS_SUCCESS);
    ASSERT_EQ(Overwrite(128ull * s, 64 * s, 0x62), STATUS_SUCCESS);
    Reclaim(this, 128);
    EXPECT_TRUE(Pieces(0).empty());
    ReleaseFlushQueue();
    WaitForFlushes();
    // Only block 1's piece took file space.
    EXPECT_EQ(Snapshot->FileEnd, 64ull * s);
    EXPECT_TRUE(FreeRanges(this).empty());
}

TEST_F(CopyOnWriteTest, TheReclaimThreadYieldsToAThaw) {
    const ULONG s = SectorSize;
    ASSERT_EQ(Overwrite(0, s, 0x71), STATUS_SUCCESS);
    WaitForFlushes();
    // A mark far beyond the volume's blocks: the pass would visit billions of
    // block indexes. Taking the volume exclusively must not wait for it.
    LockSnapshot(Snapshot);
    Snapshot->ProgressMark = 1ull << 40;
    UnlockSnapshot(Snapshot);
    WakeReclaimThread();
    while (Pieces(0).size() != 0) {
        LARGE_INTEGER delay;
        delay.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    LARGE_INTEGER before;
    KeQuerySystemTime(&before);
    AcquireVolumeLock(Extension, TRUE);
    LARGE_INTEGER after;
    KeQuerySystemTime(&after);
    ReleaseVolumeLock(Extension, PsGetCurrentThread());
    EXPECT_LT(after.QuadPart - before.QuadPart, 10000000) << "the thaw waited for the reclaim";
    EXPECT_LT(Snapshot->LowestBlock, (1ull << 40) / EXTENT_BLOCK_SECTORS);
}

} // namespace
