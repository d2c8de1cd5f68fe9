// Block pools with the platform's literal block sizes: carving, page return,
// zero-filled reuse, foreign pointers, paged pools.
#include "support/block_pool.h"
#include "support/pool_tags.h"
#include "driver/support/test_threads.h"

#include <cstring>
#include <vector>

namespace {

class BlockPoolTest : public DriverTest {};

bool AllZero(const void* Block, ULONG Size) {
    const UCHAR* Bytes = static_cast<const UCHAR*>(Block);
    for (ULONG I = 0; I < Size; ++I) {
        if (Bytes[I] != 0) {
            return false;
        }
    }
    return true;
}

TEST_F(BlockPoolTest, PageHoldsTheBlocksOfTheCarvedArea) {
    struct Case {
        ULONG Size, PerPage;
    } Cases[] = {{16, 255}, {20, 204}, {24, 170}, {28, 145}, {44, 92}, {56, 72}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Size);
        BlockPool Pool;
        ASSERT_EQ(BlockPoolInit(&Pool, C.Size, NonPagedPool), 0u);
        EXPECT_EQ(Pool.BlocksPerPage, C.PerPage);

        // Each block carries its own index in every byte; overlapping or
        // misplaced blocks would overwrite another's stamp.
        std::vector<UCHAR*> Blocks;
        for (ULONG I = 0; I < C.PerPage; ++I) {
            UCHAR* Block = static_cast<UCHAR*>(BlockPoolAllocate(&Pool));
            ASSERT_NE(Block, nullptr);
            ASSERT_TRUE(AllZero(Block, C.Size)) << "block " << I << " handed out dirty";
            memset(Block, I & 0xFF, C.Size);
            Blocks.push_back(Block);
        }
        EXPECT_EQ(Pool.PageCount, 1u) << "one page must carve " << C.PerPage << " blocks";
        EXPECT_EQ(LiveBlocks(QVD_TAG_ZEROED), 1u);
        for (ULONG I = 0; I < C.PerPage; ++I) {
            for (ULONG B = 0; B < C.Size; ++B) {
                ASSERT_EQ(Blocks[I][B], I & 0xFF) << "block " << I << " overlaps another";
            }
        }

        PVOID Extra = BlockPoolAllocate(&Pool);
        ASSERT_NE(Extra, nullptr);
        EXPECT_EQ(Pool.PageCount, 2u) << "allocation " << C.PerPage + 1 << " needs a new page";
        EXPECT_EQ(Pool.BlocksInUse, C.PerPage + 1);

        for (UCHAR* Block : Blocks) {
            BlockPoolFree(&Pool, Block);
        }
        BlockPoolFree(&Pool, Extra);
        EXPECT_EQ(Pool.PageCount, 0u);
        EXPECT_EQ(Pool.BlocksInUse, 0u);
        EXPECT_EQ(Pool.FreeList, nullptr);
        EXPECT_EQ(LiveBlocks(QVD_TAG_ZEROED), 0u) << "a drained pool holds no page";
        BlockPoolDestroy(&Pool);
    }
}

TEST_F(BlockPoolTest, PointerThatIsNoBlockOfThePoolIsIgnored) {
    BlockPool Pool, Other;
    ASSERT_EQ(BlockPoolInit(&Pool, 24, NonPagedPool), 0u);
    ASSERT_EQ(BlockPoolInit(&Other, 24, NonPagedPool), 0u);
    UCHAR* Block = static_cast<UCHAR*>(BlockPoolAllocate(&Pool));
    PVOID Foreign = BlockPoolAllocate(&Other);
    UCHAR Stack[32] = {};

    BlockPoolFree(&Pool, Stack);
    BlockPoolFree(&Pool, Foreign);
    BlockPoolFree(&Pool, Block + 8); // inside a block, not its start
    // The first block handed out is the page's last; behind it lie only the
    // 4 bytes the 24-byte blocks leave over.
    BlockPoolFree(&Pool, Block + 24);
    EXPECT_EQ(Pool.BlocksInUse, 1u);
    EXPECT_EQ(Other.BlocksInUse, 1u);

    PVOID Next = BlockPoolAllocate(&Pool);
    EXPECT_NE(Next, static_cast<PVOID>(Block + 8));
    EXPECT_EQ(Pool.BlocksInUse, 2u);
    BlockPoolDestroy(&Pool);
    BlockPoolDestroy(&Other);
}

TEST_F(BlockPoolTest, PagedPoolTakesItsPagesFromPagedPoolUnderAResource) {
    BlockPool Pool;
    ASSERT_EQ(BlockPoolInit(&Pool, 20, PagedPool), 0u);
    EXPECT_EQ(Pool.LockKind & BLOCK_POOL_SPIN_LOCK, 0u);
    EXPECT_EQ(ExpQueryPoolTag(QVD_TAG_ZEROED).NonPagedBlocks, 1u) << "the resource";
    PVOID Block = BlockPoolAllocate(&Pool);
    EXPECT_EQ(ExpQueryPoolTag(QVD_TAG_ZEROED).PagedBlocks, 1u);
    BlockPoolFree(&Pool, Block);
    EXPECT_EQ(ExpQueryPoolTag(QVD_TAG_ZEROED).PagedBlocks, 0u);
    BlockPoolDestroy(&Pool);
    EXPECT_EQ(LiveBlocks(QVD_TAG_ZEROED), 0u);

    ExpFailPoolTag(QVD_TAG_ZEROED, 1);
    EXPECT_EQ(BlockPoolInit(&Pool, 20, PagedPool), 1u) << "no memory for the resource";
    BlockPoolDestroy(&Pool);
}

TEST_F(BlockPoolTest, BlockSizeOutsideTwoPointersToTheAreaIsRefused) {
    BlockPool Pool;
    EXPECT_EQ(BlockPoolInit(&Pool, 2 * sizeof(PVOID) - 1, NonPagedPool), 1u);
    EXPECT_EQ(BlockPoolInit(&Pool, BLOCK_POOL_AREA_BYTES + 1, NonPagedPool), 1u);
    ASSERT_EQ(BlockPoolInit(&Pool, BLOCK_POOL_AREA_BYTES, NonPagedPool), 0u);
    EXPECT_EQ(Pool.BlocksPerPage, 1u);
    PVOID Block = BlockPoolAllocate(&Pool);
    memset(Block, 0xFF, BLOCK_POOL_AREA_BYTES); // the whole area is the block's
    BlockPoolFree(&Pool, Block);
    BlockPoolDestroy(&Pool);
}

} // namespace
