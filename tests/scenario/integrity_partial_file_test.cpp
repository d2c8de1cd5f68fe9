// integrity_partial_file_test.cpp - the partial data file under pressure:
// the extent list is asked for while preserved data still waits for its
// flush, and the volume that holds the file fills up while C: is frozen.
#include "snapshot_agent.h"
#include "integrity_fixture.h"
#include "io/copy_on_write.h"
#include "resources/messages.h"

#include <algorithm>
#include <cstring>

namespace {

TEST_F(IntegrityTest, TheExtentListReportsOnlyDataThatReachedTheFile) {
    const ULONG bytes = 1 << 20;
    WriteOnce(u"C:\\data.bin", bytes);
    SnapshotAgent agent;
    agent.Freeze = FreezeOfC();
    agent.Freeze.PartialDataFilePath = u"E:\\partial.dat";
    agent.ListExtents = TRUE;
    Running program = Start(SnapshotAgentProgram, &agent);
    ASSERT_TRUE(WaitFor([&] { return agent.Phase != 0; }, 20000));
    ASSERT_EQ(agent.Phase, 1) << "the freeze failed: " << agent.Freeze.Reply.Result;
    std::vector<UCHAR> image = DiskSnapshotBackingStore(Volumes()[0]);

    // A slow E: keeps the flushes of the overwrite queued; once the list
    // waits for them, E: speeds up again.
    DiskSetTiming(VolumeE(), 50000, 0);
    WriteOnce(u"C:\\data.bin", bytes);
    EXPECT_NE(ReadAcquire(&FilterOfC()->SnapshotContext->UnflushedPieces), 0)
        << "every flush was done already: nothing to wait for";
    agent.Phase = 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    DiskSetTiming(VolumeE(), 0, 0);
    Finish(program);
    EXPECT_EQ(agent.EnableResult, 0u);
    EXPECT_EQ(agent.ListResult, 0u);
    EXPECT_EQ(agent.ThawResult, 0u);

    // Each extent's data is the image's, at its offset in the file.
    ASSERT_EQ(agent.FileError, 0u);
    const std::vector<UCHAR>& file = agent.File;
    ULONGLONG listed = 0;
    for (const QvdPreservedExtent& extent : agent.Extents) {
        listed += extent.Length;
        ASSERT_LE(extent.FileOffset + extent.Length, file.size());
        EXPECT_EQ(std::memcmp(&file[extent.FileOffset], &image[extent.VolumeOffset], extent.Length),
                  0)
            << "the extent at volume offset " << extent.VolumeOffset << " is not in the file at "
            << extent.FileOffset;
    }
    EXPECT_EQ(listed, bytes) << "every overwritten sector is listed";
}

class FullPartialFileTest : public IntegrityTest {
  public:
    FullPartialFileTest() { BytesOfE = 1 << 20; }
};

TEST_F(FullPartialFileTest, TheStateBreaksAndPiecesThatFailedKeepTheirFileRanges) {
    const ULONG bytes = 2 << 20; // more than E: can hold
    const ULONG sectorSize = 512;
    WriteOnce(u"C:\\data.bin", bytes);
    SnapshotAgent agent;
    agent.Freeze = FreezeOfC();
    agent.Freeze.PartialDataFilePath = u"E:\\partial.dat";
    agent.Freeze.FreezeFlags = QVD_FREEZE_STAY_BROKEN;
    agent.SectorSize = sectorSize;
    agent.Reading = AgentReads::Segments;
    agent.Checked.assign(VolumeBytes / sectorSize, 0);
    Running program = Start(SnapshotAgentProgram, &agent);
    ASSERT_TRUE(WaitFor([&] { return agent.Phase != 0; }, 20000));
    ASSERT_EQ(agent.Phase, 1) << "the freeze failed: " << agent.Freeze.Reply.Result;
    std::vector<UCHAR> image = DiskSnapshotBackingStore(Volumes()[0]);
    agent.Image = image.data();
    agent.Excluded = Excluded({u"\\data.bin"}, sectorSize);
    agent.Patterned.assign(VolumeBytes / sectorSize, false);

    WriteOnce(u"C:\\data.bin", bytes);
    SnapshotContext* snapshot = FilterOfC()->SnapshotContext;
    ASSERT_TRUE(WaitFor([&] { return ReadAcquire(&snapshot->UnflushedPieces) == 0; }, 20000));
    EXPECT_NE(FlagsOfC() & VOLUME_FROZEN_STATE_BROKEN, 0);
    EXPECT_EQ(Events(QVD_MSG_FROZEN_STATE_LOST), 1u);

    // A piece whose flush failed stays in its block with its file range
    // (past what the file could take), and no free range of the file is one
    // that a piece holds: a failed flush gives nothing back.
    using Range = std::pair<ULONGLONG, ULONGLONG>; // file offset, end
    std::vector<Range> all;
    ULONG failed = 0;
    ULONGLONG fileSize = 0;
    ClustersOf(VolumeE(), u"\\partial.dat", &fileSize);
    std::vector<ULONGLONG> map = SectorMap(u"\\data.bin", sectorSize);
    for (size_t i = 0; i < map.size(); i += EXTENT_BLOCK_SECTORS) {
        HashBucket* bucket = nullptr;
        ULONG_PTR handle = 0;
        ExtentEntry* entry = FindExtentEntry(snapshot, map[i], FALSE, &bucket, &handle);
        for (ExtentPiece* piece = entry != nullptr ? entry->Pieces : nullptr; piece != nullptr;
             piece = piece->Next) {
            all.push_back({piece->FileOffset, piece->FileOffset + piece->SectorCount * sectorSize});
            failed += all.back().second > fileSize;
        }
        HashTableUnlockBucket(snapshot->ExtentTable, bucket, handle);
    }
    EXPECT_GT(failed, 0u) << "no piece whose flush failed is left in its block";
    for (ExtentPiece* range = snapshot->FreeList; range != nullptr; range = range->Next) {
        all.push_back({range->FileOffset, range->FileOffset + range->SectorCount * sectorSize});
    }
    std::sort(all.begin(), all.end());
    for (size_t i = 1; i < all.size(); i++) {
        EXPECT_LE(all[i - 1].second, all[i].first) << "two owners of file offset " << all[i].first;
    }

    agent.Phase = 2;
    Finish(program);
    EXPECT_EQ(agent.ThawResult, 0u);
    EXPECT_NE(agent.BrokenStatus & QVD_STATUS_BROKEN, 0u);
    EXPECT_GT(agent.FailedReads, 0u);
    for (const SnapshotAgent::Mismatch& mismatch : agent.Mismatches) {
        EXPECT_TRUE(agent.Excluded[mismatch.Sector])
            << "sector " << mismatch.Sector << " was read wrong from a broken image";
    }
}

} // namespace
