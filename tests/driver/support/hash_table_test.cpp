// Hash tables: argument checks, bucket choice, lock kinds (including the event
// lock's time-out), clean failure when bucket locks run out, concurrent use.
#include "support/hash_table.h"
#include "support/block_cache.h"
#include "support/pool_tags.h"
#include "driver/support/test_threads.h"

#include <atomic>
#include <vector>

namespace {

class HashTableTest : public DriverTest {
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

TEST_F(HashTableTest, ParametersAreCheckedInOrderAndNothingIsAllocated) {
    HashTable* Table = reinterpret_cast<HashTable*>(0x1234);
    EXPECT_EQ(HashTableCreate(0, PagedPool, NULL, HASH_LOCK_SPIN, 0, NULL),
              STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(HashTableCreate(1, PagedPool, NULL, HASH_LOCK_SPIN, 0, NULL),
              STATUS_INVALID_PARAMETER_3);
    EXPECT_EQ(HashTableCreate(1, PagedPool, HashU32, HASH_LOCK_SPIN, 0, NULL),
              STATUS_INVALID_PARAMETER_4)
        << "a spin-lock table must live in nonpaged pool";
    EXPECT_EQ(HashTableCreate(1, NonPagedPool, HashU32, HASH_LOCK_SPIN, 0, NULL),
              STATUS_INVALID_PARAMETER_5);
    EXPECT_EQ(HashTableCreate(1, PagedPool, HashU32, HASH_LOCK_SPIN, 0, &Table),
              STATUS_INVALID_PARAMETER_4);
    EXPECT_EQ(Table, reinterpret_cast<HashTable*>(0x1234)) << "no table stored on failure";
    EXPECT_EQ(LiveBlocks(QVD_TAG_HASH_TABLE), 0u);
    HashTableDestroy(NULL);
}

TEST_F(HashTableTest, KeysFallIntoTheirBucketsOnAllSixtyFourBits) {
    HashTable* Table;
    ASSERT_EQ(HashTableCreate(7, PagedPool, HashU64, 0, 0, &Table), STATUS_SUCCESS);
    ULONGLONG Zero = 0, Seven = 7, Big = 0x100000000ull; // 2^32 mod 7 = 4
    EXPECT_EQ(HashTableBucketForKey(Table, &Zero), HashTableBucketForKey(Table, &Seven));
    EXPECT_EQ(HashTableBucketForKey(Table, &Big), HashTableBucketAt(Table, 4))
        << "a key above 4 GiB must not be cut to its low 32 bits";
    HashTableDestroy(Table);

    ASSERT_EQ(HashTableCreate(47, NonPagedPool, HashU32, HASH_LOCK_SPIN, 1, &Table),
              STATUS_SUCCESS);
    ULONG Small = 0, Wrap = 47, Other = 50;
    EXPECT_EQ(HashTableBucketForKey(Table, &Small), HashTableBucketForKey(Table, &Wrap));
    EXPECT_EQ(HashTableBucketForKey(Table, &Other), HashTableBucketAt(Table, 3));
    for (ULONG I = 0; I < 47; ++I) {
        EXPECT_EQ(HashTableBucketAt(Table, I)->BucketWord, 1u);
        EXPECT_EQ(HashTableBucketAt(Table, I)->Chain, nullptr);
    }
    HashTableDestroy(Table);
    EXPECT_EQ(LiveBlocks(QVD_TAG_HASH_TABLE), 0u);
}

TEST_F(HashTableTest, ResourceTableOutOfLocksAtBucketNLeavesNoResourceBehind) {
    // The resource pool carves a page of blocks at a time; failing each page
    // allocation in turn makes the table run out at bucket 0, 30, 60, ...
    ULONG PerPage = ResourceBlockPool.Pool.BlocksPerPage;
    ExpSetPoolFaultScope(QVD_TAG_ZEROED, 0xFFFFFFFFu);
    for (ULONG N = 1; N <= 3; ++N) {
        SCOPED_TRACE(N);
        ExpFailPoolNthFromNow(N);
        HashTable* Table = NULL;
        EXPECT_EQ(
            HashTableCreate(3 * PerPage + 1, PagedPool, HashU64, HASH_LOCK_RESOURCE, 0, &Table),
            STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(Table, nullptr);
        EXPECT_EQ(ResourceBlockPool.Pool.BlocksInUse, 0u);
        EXPECT_EQ(ResourceBlockPool.Pool.PageCount, 0u);
        EXPECT_EQ(LiveBlocks(QVD_TAG_HASH_TABLE), 0u);
    }
    ExpFailPoolNthFromNow(0);

    ExpFailPoolTag(QVD_TAG_HASH_TABLE, 1);
    HashTable* Table = NULL;
    EXPECT_EQ(HashTableCreate(5, PagedPool, HashU64, HASH_LOCK_RESOURCE, 0, &Table),
              STATUS_INSUFFICIENT_RESOURCES);

    ASSERT_EQ(HashTableCreate(3 * PerPage + 1, PagedPool, HashU64, HASH_LOCK_RESOURCE, 0, &Table),
              STATUS_SUCCESS);
    EXPECT_EQ(ResourceBlockPool.Pool.BlocksInUse, 3 * PerPage + 1);
    HashTableDestroy(Table);
    EXPECT_EQ(ResourceBlockPool.Pool.BlocksInUse, 0u);
}

TEST_F(HashTableTest, EventLockThatTimesOutReportsItHoldsNothing) {
    HashTable* Table;
    ASSERT_EQ(HashTableCreate(3, PagedPool, HashU32, HASH_LOCK_EVENT, 0, &Table), STATUS_SUCCESS);
    ULONG Key = 4;
    ULONG_PTR Handle;
    HashBucket* Bucket = HashTableLookupAndLock(Table, &Key, TRUE, NULL, &Handle);
    ASSERT_EQ(Bucket, HashTableBucketAt(Table, 1));

    LARGE_INTEGER Poll, Short;
    Poll.QuadPart = 0;
    Short.QuadPart = -10 * 1000 * 5; // 5 ms
    ULONG_PTR Other;
    EXPECT_FALSE(HashTableLockBucket(Table, Bucket, TRUE, &Poll, &Other));
    EXPECT_EQ(HashTableLookupAndLock(Table, &Key, TRUE, &Short, &Other), nullptr);

    HashTableUnlockBucket(Table, Bucket, Handle);
    EXPECT_TRUE(HashTableLockBucket(Table, Bucket, TRUE, &Poll, &Other))
        << "the failed attempts must not have taken the lock";
    EXPECT_FALSE(HashTableLockBucket(Table, Bucket, TRUE, &Poll, &Other))
        << "the bucket is held exactly once";
    HashTableUnlockByRef(&Table, NULL, Bucket, Other);
    HashTableDestroy(Table);
    EXPECT_EQ(EventBlockPool.Pool.BlocksInUse, EventBlockPool.Count);
}

TEST_F(HashTableTest, ResourceBucketIsSharedByReadersAndReleasableForItsOwner) {
    HashTable* Table;
    ASSERT_EQ(HashTableCreate(2, PagedPool, HashU64, HASH_LOCK_RESOURCE, 0, &Table),
              STATUS_SUCCESS);
    HashBucket* Bucket = HashTableBucketAt(Table, 0);
    ULONG_PTR Mine;
    ASSERT_TRUE(HashTableLockBucket(Table, Bucket, FALSE, NULL, &Mine));
    EXPECT_EQ(Mine, ExGetCurrentResourceThread());

    std::atomic<bool> ReaderGotIt{false};
    ULONG_PTR ReaderHandle = 0;
    RunOnSystemThreads(1, [&](ULONG) {
        ULONG_PTR H;
        HashTableLockBucket(Table, Bucket, FALSE, NULL, &H);
        ReaderGotIt = true;
        ReaderHandle = H; // given back below, by another thread
    });
    EXPECT_TRUE(ReaderGotIt.load()) << "a second reader is let in";
    HashTableUnlockBucket(Table, Bucket, ReaderHandle);
    HashTableUnlockBucket(Table, Bucket, Mine);

    ASSERT_TRUE(HashTableLockBucket(Table, Bucket, TRUE, NULL, &Mine));
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(Bucket->Lock.Resource));
    HashTableUnlockBucket(Table, Bucket, Mine);
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(Bucket->Lock.Resource), 0u);
    HashTableDestroy(Table);
}

// An entry of the concurrency test: first word links the chain.
struct Entry {
    Entry* Next;
    ULONG Key;
    ULONG Count;
};

TEST_F(HashTableTest, ManyThreadsEditChainsUnderBucketLocks) {
    for (ULONG Kind : {HASH_LOCK_SPIN, HASH_LOCK_RESOURCE, HASH_LOCK_EVENT}) {
        SCOPED_TRACE(Kind);
        HashTable* Table;
        ULONG Pool = Kind == HASH_LOCK_SPIN ? NonPagedPool : PagedPool;
        ASSERT_EQ(HashTableCreate(5, Pool, HashU32, Kind, 0, &Table), STATUS_SUCCESS);
        const ULONG Threads = 6, Rounds = 400, Keys = 23;
        RunOnSystemThreads(Threads, [&](ULONG Index) {
            for (ULONG Round = 0; Round < Rounds; ++Round) {
                ULONG Key = (Round * 7 + Index) % Keys;
                ULONG_PTR Handle;
                HashBucket* Bucket = HashTableLookupAndLock(Table, &Key, TRUE, NULL, &Handle);
                Entry** Link = reinterpret_cast<Entry**>(&Bucket->Chain);
                while (*Link != nullptr && (*Link)->Key != Key) {
                    Link = &(*Link)->Next;
                }
                if (*Link == nullptr) {
                    Entry* New = static_cast<Entry*>(AllocateActivityEntry(FALSE));
                    New->Key = Key;
                    *Link = New;
                }
                (*Link)->Count += 1;
                HashTableUnlockBucket(Table, Bucket, Handle);
            }
        });
        ULONG Total = 0, Entries = 0;
        for (ULONG I = 0; I < HashTableBucketCount(Table); ++I) {
            HashBucket* Bucket = HashTableBucketAt(Table, I);
            for (Entry* E = static_cast<Entry*>(Bucket->Chain); E != nullptr;) {
                EXPECT_EQ(E->Key % 5, I) << "entry in the wrong bucket";
                Total += E->Count;
                Entries += 1;
                Entry* Next = E->Next;
                FreeActivityEntry(E);
                E = Next;
            }
        }
        EXPECT_EQ(Total, Threads * Rounds) << "an update was lost";
        EXPECT_EQ(Entries, Keys) << "a key got two entries";
        HashTableDestroy(Table);
    }
}

} // namespace
