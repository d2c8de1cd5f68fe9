// preserve_write_test.cpp - preservation of overwritten sectors: once per
// sector, only the gaps between what is already preserved, one entry per
// block, short memory, and paging writes at APC_LEVEL.
#include "cow_fixture.h"
#include "ntos/disk/disk.h"
#include "ntos/evlog/evlp.h"
#include "resources/messages.h"
#include "support/pool_tags.h"

namespace {

using Piece = CopyOnWriteTest::PieceView;

ULONG BrokenEvents() {
    ULONG count = 0;
    for (ULONG i = 0; i < EvlpEntryCount(); i++) {
        EVLP_ENTRY entry;
        if (EvlpGetEntry(i, &entry) && entry.EventId == QVD_MSG_FROZEN_STATE_LOST) {
            count++;
        }
    }
    return count;
}

TEST_F(CopyOnWriteTest, ASectorIsPreservedOnceAndOnlyGapsAreRead) {
    HoldFlushQueue();
    const ULONG s = SectorSize;
    ASSERT_EQ(Overwrite(10 * s, 4 * s, 0xA1), STATUS_SUCCESS);
    ASSERT_EQ(Overwrite(20 * s, 2 * s, 0xA2), STATUS_SUCCESS);
    VolumeReadsSince();
    EXPECT_EQ(Pieces(0), (std::vector<Piece>{{10, 4, true}, {20, 2, true}}));

    // Again over the same sectors: nothing read, nothing added.
    ASSERT_EQ(Overwrite(10 * s, 4 * s, 0xA3), STATUS_SUCCESS);
    EXPECT_EQ(VolumeReadsSince(), 0u) << "a second write to preserved sectors read the volume";
    EXPECT_EQ(Pieces(0).size(), 2u);

    // Around and between them: only the three gaps, in order.
    ASSERT_EQ(Overwrite(8 * s, 16 * s, 0xA4), STATUS_SUCCESS);
    EXPECT_EQ(VolumeReadsSince(), 3u);
    EXPECT_EQ(Pieces(0),
              (std::vector<Piece>{
                  {8, 2, true}, {10, 4, true}, {14, 6, true}, {20, 2, true}, {22, 2, true}}));
}

TEST_F(CopyOnWriteTest, AWriteAcrossBlocksPreservesIntoOneEntryPerBlock) {
    HoldFlushQueue();
    const ULONG s = SectorSize;
    ASSERT_EQ(Overwrite(120ull * s, 16 * s, 0xB1), STATUS_SUCCESS);
    EXPECT_EQ(Pieces(0), (std::vector<Piece>{{120, 8, true}}));
    EXPECT_EQ(Pieces(128), (std::vector<Piece>{{0, 8, true}}));
    // Blocks 14 and 7 hash into the bucket of block 0 (7 buckets): they keep
    // apart, whatever the order they come in.
    ASSERT_EQ(Overwrite(14ull * 128 * s, s, 0xB2), STATUS_SUCCESS);
    ASSERT_EQ(Overwrite(7ull * 128 * s + 5 * s, s, 0xB3), STATUS_SUCCESS);
    EXPECT_EQ(Pieces(14ull * 128), (std::vector<Piece>{{0, 1, true}}));
    EXPECT_EQ(Pieces(7ull * 128), (std::vector<Piece>{{5, 1, true}}));
    EXPECT_EQ(Pieces(0), (std::vector<Piece>{{120, 8, true}}));
}

TEST_F(CopyOnWriteTest, ALengthThatIsNotWholeSectorsIsRefusedWithoutBreaking) {
    AcquireVolumeLock(Extension, FALSE);
    EXPECT_EQ(PreserveWrite(Extension, nullptr, 0, SectorSize + 1), STATUS_INVALID_PARAMETER);
    ReleaseVolumeLock(Extension, PsGetCurrentThread());
    EXPECT_FALSE(IsFrozenStateBroken(Extension));
    EXPECT_TRUE(Pieces(0).empty());
}

TEST_F(CopyOnWriteTest, ShortMemoryHalvesTheBufferDownToItsMinimum) {
    HoldFlushQueue();
    const ULONG s = SectorSize;
    // 64, 32, 16 and 8 KiB refused: the 4 KiB buffer still preserves all.
    ExpFailPoolTag(QVD_TAG_TRANSFER_BUFFER, 4);
    ASSERT_EQ(Overwrite(0, 0x10000, 0xD1), STATUS_SUCCESS);
    std::vector<Piece> pieces = Pieces(0);
    ULONG perPiece = 0x1000 / s;
    ASSERT_EQ(pieces.size(), 0x10000 / 0x1000);
    for (ULONG i = 0; i < pieces.size(); i++) {
        EXPECT_EQ(pieces[i], (Piece{i * perPiece, perPiece, true})) << "piece " << i;
    }
    EXPECT_FALSE(IsFrozenStateBroken(Extension));

    // Nothing at all: broken, reported once, and no piece invented.
    ExpFailPoolTag(QVD_TAG_TRANSFER_BUFFER, 5);
    EXPECT_EQ(Overwrite(0x20000, 0x10000, 0xD2), STATUS_UNSUCCESSFUL);
    ExpFailPoolTag(QVD_TAG_TRANSFER_BUFFER, 5);
    EXPECT_EQ(Overwrite(0x40000, 0x10000, 0xD3), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(IsFrozenStateBroken(Extension));
    EXPECT_EQ(BrokenEvents(), 1u);
    EXPECT_TRUE(Pieces(0x20000 / s).empty());
}

TEST_F(CopyOnWriteTest, PagingWritesPreserveAtApcLevel) {
    HoldFlushQueue();
    // The lazy writer and mapped views send their writes at APC_LEVEL, in
    // any thread: preservation must neither call a Zw routine nor wait for
    // an APC there.
    const ULONG s = SectorSize;
    AcquireVolumeLock(Extension, FALSE);
    KIRQL irql;
    KeRaiseIrql(APC_LEVEL, &irql);
    NTSTATUS status = PreserveWrite(Extension, nullptr, 3ull * 128 * s, 130 * s);
    KeLowerIrql(irql);
    ReleaseVolumeLock(Extension, PsGetCurrentThread());
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Pieces(3 * 128), (std::vector<Piece>{{0, 128, true}}));
    EXPECT_EQ(Pieces(4 * 128), (std::vector<Piece>{{0, 2, true}}));
    ReleaseFlushQueue();
    WaitForFlushes();
    EXPECT_EQ(Pieces(4 * 128), (std::vector<Piece>{{0, 2, false}}));
}

TEST_F(CopyOnWriteTest, RemovalWaitsForQueuedFlushes) {
    HoldFlushQueue();
    ASSERT_EQ(Overwrite(0, 8 * SectorSize, 0xF1), STATUS_SUCCESS);
    ThawByHand(); // the piece is orphaned; its flush is still queued
    volatile LONG removed = 0;
    RunOnSystemThreads(2, [&](ULONG Index) {
        if (Index == 0) {
            RemoveFilter();
            InterlockedExchange(const_cast<LONG*>(&removed), 1);
            return;
        }
        LARGE_INTEGER delay;
        delay.QuadPart = -1000000; // 100 ms
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        EXPECT_EQ(InterlockedCompareExchange(const_cast<LONG*>(&removed), 0, 0), 0)
            << "the device went while a flush for it was still queued";
        ReleaseFlushQueue();
    });
    EXPECT_EQ(removed, 1);
}

} // namespace
