// While a volume quiesces, each written stream is noted at its writes'
// completion and counts as quiet once its last write lies a quiet period
// back; a stream the table cannot take aborts the quiescing.
#include "driver/support/test_threads.h"
#include "io/io.h"
#include "ntos/ex/exp.h"
#include "snapshot/snapshot.h"
#include "support/block_cache.h"
#include "support/pool_tags.h"

#include <gtest/gtest.h>

namespace {

constexpr LONGLONG kMs = 10000; // 100 ns units

class QuietStreamsTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_TRUE(InitBlockPools());
        KeInitializeSpinLock(&Volume.StateLock);
        ExInitializeResourceLite(&Volume.VolumeResource);
        Snapshot.QuietPeriodMs = 100;
        ASSERT_EQ(HashTableCreate(47, NonPagedPool, HashU32, HASH_LOCK_SPIN, ACTIVITY_BUCKET_QUIET,
                                  &Snapshot.ActivityTable),
                  STATUS_SUCCESS);
        Volume.SnapshotContext = &Snapshot;
        AcquireVolumeLock(&Volume, TRUE);
    }
    void TearDown() override {
        for (ULONG i = 0; i < HashTableBucketCount(Snapshot.ActivityTable); i++) {
            auto* entry =
                static_cast<ActivityEntry*>(HashTableBucketAt(Snapshot.ActivityTable, i)->Chain);
            while (entry != nullptr) {
                ActivityEntry* next = entry->Next;
                FreeActivityEntry(entry);
                entry = next;
            }
        }
        HashTableDestroy(Snapshot.ActivityTable);
        ReleaseVolumeLock(&Volume, PsGetCurrentThread());
        ExDeleteResourceLite(&Volume.VolumeResource);
        FreeBlockPools();
        DriverTest::TearDown();
    }
    void Write(ULONG_PTR Stream, LONGLONG AtMs) {
        LARGE_INTEGER time;
        time.QuadPart = AtMs * kMs;
        NoteFileWrite(&Volume, reinterpret_cast<PVOID>(Stream), &time);
    }
    bool QuietAt(LONGLONG Ms) { return AllQuiet(&Volume, &Snapshot, Ms * kMs); }

    FilterExtension Volume = {};
    SnapshotContext Snapshot = {};
};

TEST_F(QuietStreamsTest, AStreamIsQuietAQuietPeriodAfterItsLastWrite) {
    EXPECT_TRUE(QuietAt(0)) << "nothing written is quiet";
    Write(0x1000, 0);
    Write(0x1000 + 47 * 0x100000000ull, 30); // same bucket, another stream
    EXPECT_FALSE(IsFileQuiet(&Volume, reinterpret_cast<PVOID>(0x1000)));
    EXPECT_FALSE(QuietAt(99));
    Write(0x1000, 50); // a later write moves the stream's time
    EXPECT_FALSE(QuietAt(149));
    EXPECT_TRUE(QuietAt(150));
    EXPECT_TRUE(IsFileQuiet(&Volume, reinterpret_cast<PVOID>(0x1000)));
    Write(0x1000, 200);
    EXPECT_TRUE(QuietAt(201)) << "a stream found quiet stays quiet";
    Write(0x1000 + 2 * 47 * 0x100000000ull, 210);
    EXPECT_FALSE(QuietAt(250)) << "a new stream is not, though its low half matches a quiet one";
    EXPECT_EQ(ReadVolumeFlags(&Volume) & VOLUME_QUIESCE_ABORTED, 0);
}

TEST_F(QuietStreamsTest, AWriteWithoutAnEntryAbortsTheQuiescing) {
    ExpFailPoolTag(QVD_TAG_ZEROED, 1);
    Write(0x3000, 0);
    EXPECT_EQ(ReadVolumeFlags(&Volume) & VOLUME_QUIESCE_ABORTED, VOLUME_QUIESCE_ABORTED);
}

TEST(PagingFileTest, OnlyTheExactNameInAnyCaseIsThePagingFile) {
    struct Case {
        const char16_t* Name;
        bool Paging;
    };
    const Case cases[] = {{u"\\pagefile.sys", true},      {u"\\PAGEFILE.SYS", true},
                          {u"\\pagefile.sys2", false},    {u"\\dir\\pagefile.sys", false},
                          {u"\\pagefile.sy", false},      {u"pagefile.sys", false}};
    for (const Case& test : cases) {
        FILE_OBJECT file = {};
        file.FileName.Buffer = const_cast<PWSTR>(test.Name);
        file.FileName.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(test.Name) * 2);
        EXPECT_EQ(IsPagingFile(&file) != FALSE, test.Paging) << "name " << file.FileName.Length;
    }
    EXPECT_FALSE(IsPagingFile(nullptr));
}

} // namespace
