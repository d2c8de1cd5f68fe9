// The driver's nine pools behind their caches: cache depth, zeroed reuse,
// start-up failure, concurrent use.
#include "support/block_cache.h"
#include "support/pool_tags.h"
#include "driver/support/test_threads.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace {

class BlockCacheTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_TRUE(InitBlockPools());
    }
    void TearDown() override {
        FreeBlockPools();
        DriverTest::TearDown();
    }
};

BlockCache* const AllCaches[] = {&EventBlockPool,     &ResourceBlockPool,   &ActivityEntryPool,
                                 &ExtentEntryPool,    &ExtentPiecePool,     &WorkRecordPool,
                                 &RequestContextPool, &TransferContextPool, &ChangeRangePool};

TEST_F(BlockCacheTest, CacheKeepsFortyNineBlocksAndTheFiftiethGoesToThePool) {
    std::vector<PKEVENT> Blocks;
    for (int I = 0; I < 50; ++I) {
        Blocks.push_back(AllocateEventBlock(FALSE));
    }
    ASSERT_EQ(EventBlockPool.Pool.BlocksInUse, 50u);
    for (PKEVENT Block : Blocks) {
        FreeEventBlock(Block);
    }
    EXPECT_EQ(EventBlockPool.Pool.BlocksInUse, 49u) << "49 cached, the 50th back in the pool";

    for (int I = 0; I < 49; ++I) {
        Blocks[I] = AllocateEventBlock(FALSE);
    }
    EXPECT_EQ(EventBlockPool.Pool.BlocksInUse, 49u) << "49 allocations served by the cache";
    Blocks[49] = AllocateEventBlock(FALSE);
    EXPECT_EQ(EventBlockPool.Pool.BlocksInUse, 50u) << "the 50th comes from the pool";
    for (PKEVENT Block : Blocks) {
        FreeEventBlock(Block);
    }
}

TEST_F(BlockCacheTest, EveryKindHandsOutZeroFilledBlocksFromCacheAndPool) {
    for (BlockCache* Cache : AllCaches) {
        ULONG Size = Cache->Pool.BlockSize;
        PVOID First = BlockCacheAllocate(Cache, FALSE);
        ASSERT_NE(First, nullptr);
        memset(First, 0xC3, Size);
        BlockCacheFree(Cache, First);
        PVOID Again = BlockCacheAllocate(Cache, FALSE);
        std::vector<UCHAR> Zeros(Size, 0);
        EXPECT_EQ(memcmp(Again, Zeros.data(), Size), 0) << "reused block of size " << Size;
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(Again) % sizeof(PVOID), 0u);
        BlockCacheFree(Cache, Again);
    }
    BlockCacheFree(&EventBlockPool, NULL);
    EXPECT_EQ(EventBlockPool.Count, 1u) << "a NULL block is not cached";
}

TEST_F(BlockCacheTest, FailedStartUpLeavesNoPoolBehindAndCanBeRetried) {
    FreeBlockPools();
    // Start-up takes "QvdU" memory only for the resources of the two paged
    // pools; fail each in turn, then let it succeed.
    ExpSetPoolFaultScope(QVD_TAG_ZEROED, 0xFFFFFFFFu);
    for (ULONG N = 1;; ++N) {
        SCOPED_TRACE(N);
        ExpMarkPoolAllocations();
        ExpFailPoolNthFromNow(N);
        BOOLEAN Started = InitBlockPools();
        ULONG64 Attempts = ExpPoolAllocationsSinceMark();
        ExpFailPoolNthFromNow(0);
        if (Started) {
            EXPECT_LT(Attempts, N) << "start-up succeeded though allocation " << N << " failed";
            EXPECT_EQ(N, 3u);
            break;
        }
        EXPECT_EQ(LiveBlocks(QVD_TAG_ZEROED), 0u) << "pools of a failed start must be destroyed";
        for (BlockCache* Cache : AllCaches) {
            EXPECT_FALSE(Cache->Ready);
        }
        ASSERT_LT(N, 10u);
    }
    for (BlockCache* Cache : AllCaches) {
        EXPECT_TRUE(Cache->Ready);
    }
}

TEST_F(BlockCacheTest, ManyThreadsNeverShareABlock) {
    // Each thread stamps its blocks with its own number and checks the stamp
    // before it frees them: a block handed to two owners at once breaks it.
    std::atomic<int> Broken{0};
    RunOnSystemThreads(8, [&](ULONG Index) {
        BlockCache* Mine[] = {&EventBlockPool, &ExtentPiecePool, &ResourceBlockPool,
                              &RequestContextPool};
        std::vector<std::pair<BlockCache*, PVOID>> Held;
        for (int Round = 0; Round < 300; ++Round) {
            BlockCache* Cache = Mine[(Round + Index) % 4];
            PVOID Block = BlockCacheAllocate(Cache, FALSE);
            if (Block == nullptr) {
                Broken++;
                continue;
            }
            memset(Block, (int)Index + 1, Cache->Pool.BlockSize);
            Held.emplace_back(Cache, Block);
            if (Held.size() > 60 || Round % 7 == 0) {
                for (auto [HeldCache, HeldBlock] : Held) {
                    const UCHAR* Bytes = static_cast<const UCHAR*>(HeldBlock);
                    for (ULONG B = 0; B < HeldCache->Pool.BlockSize; ++B) {
                        if (Bytes[B] != Index + 1) {
                            Broken++;
                            break;
                        }
                    }
                    BlockCacheFree(HeldCache, HeldBlock);
                }
                Held.clear();
            }
        }
        for (auto [HeldCache, HeldBlock] : Held) {
            BlockCacheFree(HeldCache, HeldBlock);
        }
    });
    EXPECT_EQ(Broken.load(), 0);
    for (BlockCache* Cache : AllCaches) {
        EXPECT_EQ(Cache->Pool.BlocksInUse, Cache->Count) << "only cached blocks remain out";
    }
}

} // namespace
