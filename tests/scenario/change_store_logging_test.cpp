// Writes reach the change store the way the platform sends them: cached
// writes later as the lazy writer's paging writes, non-cached writes at
// once; the store's own pages are never logged in it.
#include "snapshot_fixture.h"
#include "ntos/disk/disk.h"

namespace {

// The file's bytes as the volume holds them.
std::vector<UCHAR> StoredBytes(PDEVICE_OBJECT Volume, const std::u16string& Name) {
    ULONGLONG size = 0;
    const std::vector<ULONGLONG> clusters = ClustersOf(Volume, Name, &size);
    const std::vector<UCHAR> store = DiskSnapshotBackingStore(Volume);
    std::vector<UCHAR> file;
    for (ULONGLONG cluster : clusters) {
        file.insert(file.end(), store.begin() + cluster * 4096,
                    store.begin() + (cluster + 1) * 4096);
    }
    file.resize(size);
    return file;
}

bool Marked(const std::vector<UCHAR>& Store, ULONGLONG Block) {
    return (Store[24 + Block / 8] >> (Block % 8)) & 1;
}

TEST_F(SnapshotTest, CachedAndNonCachedWritesAreLoggedTheStoreItselfIsNot) {
    FreezeCall first = FreezeOfC();
    Freeze(first);
    ASSERT_EQ(first.Reply.Result, QVD_RESULT_SUCCESS);
    ASSERT_EQ(FsGetVolume(Volumes()[0])->ClusterSize, 4096u) << "a cluster is one store block";
    ASSERT_EQ(Thaw(first.Reply.VolumeHandle), QVD_RESULT_SUCCESS);

    // The thawed snapshot's store logs every write until the next freeze.
    WriteOnce(u"C:\\cached.bin", 65536, FALSE);
    WriteOnce(u"C:\\direct.bin", 65536);
    // The lazy writer takes the cached pages to the volume a little later.
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<UCHAR> bytes = StoredBytes(Volumes()[0], u"\\cached.bin");
        return bytes.size() == 65536 && bytes[65535] == UCHAR(2 * 15);
    }));

    FreezeCall second = FreezeOfC(u"C:\\changes2.bmp");
    Freeze(second);
    ASSERT_EQ(second.Reply.Result, QVD_RESULT_SUCCESS);
    ASSERT_EQ(
        std::u16string(reinterpret_cast<const char16_t*>(second.Reply.PreviousChangeStoreName)),
        u"C:\\changes.bmp");
    EXPECT_EQ(second.Reply.FreezeFlags, 0u);

    const std::vector<UCHAR> store = StoredBytes(Volumes()[0], u"\\changes.bmp");
    ASSERT_EQ(store.size(), 24u + (8u << 20) / 32768);
    ULONG blockSize;
    std::memcpy(&blockSize, store.data() + 16, sizeof(blockSize));
    EXPECT_EQ(blockSize, 4096u) << "closed cleanly";
    for (const char16_t* file : {u"\\cached.bin", u"\\direct.bin"}) {
        for (ULONGLONG cluster : ClustersOf(Volumes()[0], file)) {
            EXPECT_TRUE(Marked(store, cluster)) << "cluster " << cluster;
        }
    }
    for (ULONGLONG cluster : ClustersOf(Volumes()[0], u"\\changes.bmp")) {
        EXPECT_FALSE(Marked(store, cluster)) << "the store's own cluster " << cluster;
    }
    EXPECT_EQ(Thaw(second.Reply.VolumeHandle), QVD_RESULT_SUCCESS);
}

} // namespace
