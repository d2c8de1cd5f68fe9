// cache_test.cpp - one set of cached pages per stream: cached writes reach
// the volume only as the lazy writer's (or a flush's) paging writes, sent at
// APC_LEVEL with the stream's paging file object; views and cached I/O see
// the same bytes; non-cached handles bypass the cache and must be
// sector-aligned; asynchronous non-cached I/O pends with associated requests.
#include "fs_fixture.h"
#include "ntos/ke/ki.h"

namespace {

class CacheTest : public FsTest {
  protected:
    // The bytes the volume stores for the first Length bytes of File.
    std::vector<UCHAR> Stored(HANDLE File, ULONG Length) {
        auto stream = static_cast<FSP_STREAM*>(FileObjectOf(File)->FsContext);
        ULONGLONG at;
        {
            std::lock_guard<std::mutex> guard(stream->Volume->Lock);
            at = stream->Clusters.at(0) * stream->Volume->ClusterSize;
        }
        std::vector<UCHAR> bytes(Length);
        EXPECT_EQ(DiskCopyBackingStore(Volume, at, bytes.data(), Length), STATUS_SUCCESS);
        return bytes;
    }

    // Writes of File's stream seen at the top of the volume's stack.
    std::vector<ObservedRequest> WritesOf(HANDLE File) {
        PVOID context = FileObjectOf(File)->FsContext;
        std::vector<ObservedRequest> writes;
        for (const ObservedRequest& seen : TakeSeen()) {
            if (seen.Major == IRP_MJ_WRITE && seen.FsContext == context) {
                writes.push_back(seen);
            }
        }
        return writes;
    }

    // Moves the clock on until the lazy writer has sent File's writes.
    std::vector<ObservedRequest> AwaitLazyWrites(HANDLE File) {
        LARGE_INTEGER pause;
        pause.QuadPart = -10 * 10000LL;
        for (int i = 0; i < 300; i++) {
            KiClockJump(FSP_LAZY_WRITER_PERIOD);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            std::vector<ObservedRequest> writes = WritesOf(File);
            if (!writes.empty()) {
                return writes;
            }
        }
        return {};
    }

    HANDLE OpenNonCached(const std::u16string& Path, ULONG Options = FILE_SYNCHRONOUS_IO_NONALERT) {
        HANDLE file = nullptr;
        EXPECT_EQ(Open(Path, &file, FILE_OPEN_IF,
                       Options | FILE_NON_DIRECTORY_FILE | FILE_NO_INTERMEDIATE_BUFFERING),
                  STATUS_SUCCESS);
        return file;
    }
};

TEST_F(CacheTest, CachedWriteReachesTheVolumeOnlyAsTheLazyWritersPagingWrites) {
    HANDLE file = Create(u"\\lazy.bin");
    PFILE_OBJECT fileObject = FileObjectOf(file);
    std::vector<UCHAR> data(8192, 0x5A);
    TakeSeen();
    ASSERT_EQ(Write(file, 0, data.data(), 8192), STATUS_SUCCESS);
    EXPECT_EQ(WritesOf(file).size(), 0u) << "a cached write stays in the cache";
    EXPECT_NE(Stored(file, 8192), data);

    const std::vector<ObservedRequest> writes = AwaitLazyWrites(file);
    ASSERT_FALSE(writes.empty()) << "the lazy writer never wrote the dirty pages";
    for (const ObservedRequest& seen : writes) {
        EXPECT_EQ(seen.Flags & (IRP_PAGING_IO | IRP_NOCACHE), ULONG(IRP_PAGING_IO | IRP_NOCACHE))
            << "got flags " << std::hex << seen.Flags;
        EXPECT_NE(seen.FileObject, fileObject) << "the stream's paging file object, not the open";
        EXPECT_NE(seen.Sender, PsGetCurrentThread()) << "sent from the lazy writer's thread";
        EXPECT_EQ(seen.Irql, APC_LEVEL) << "paging I/O reaches the volume at APC_LEVEL";
    }
    // The flush waits for the lazy writer's pass in progress and finds nothing left to write.
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwFlushBuffersFile(file, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(WritesOf(file).size(), 0u) << "the lazy writer left dirty pages";
    EXPECT_EQ(Stored(file, 8192), data);
    ZwClose(file);
}

TEST_F(CacheTest, FlushWritesTheStreamAndWaitsOnlyForWriters) {
    HANDLE file = Create(u"\\flush.bin");
    std::vector<UCHAR> data(5000, 0x3C);
    ASSERT_EQ(Write(file, 0, data.data(), 5000), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb = {};
    iosb.Status = STATUS_PENDING;
    ASSERT_EQ(ZwFlushBuffersFile(file, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(Stored(file, 5000), data) << "the flush returned before the data was on the volume";

    HANDLE reader = nullptr;
    ASSERT_EQ(Open(u"\\flush.bin", &reader, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                   GENERIC_READ | SYNCHRONIZE),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwFlushBuffersFile(reader, &iosb), STATUS_ACCESS_DENIED);

    // A volume handle flushes every file of the volume.
    ASSERT_EQ(Write(file, 0, "again", 5), STATUS_SUCCESS);
    HANDLE volume = nullptr;
    ASSERT_EQ(Open(u"", &volume, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
    ASSERT_EQ(ZwFlushBuffersFile(volume, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(Stored(file, 5).data(), "again", 5), 0);
    ZwClose(volume);
    ZwClose(reader);
    ZwClose(file);
}

TEST_F(CacheTest, ViewsAndCachedTransfersShareOnePageSet) {
    HANDLE file = Create(u"\\shared.bin");
    std::vector<UCHAR> zeros(8192, 0);
    ASSERT_EQ(Write(file, 0, zeros.data(), 8192), STATUS_SUCCESS);
    HANDLE section = nullptr;
    ASSERT_EQ(ZwCreateSection(&section, SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READWRITE,
                              SEC_COMMIT, file),
              STATUS_SUCCESS);
    PVOID bases[2] = {};
    for (PVOID& base : bases) {
        SIZE_T size = 0;
        ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, nullptr, &size,
                                     ViewShare, 0, PAGE_READWRITE),
                  STATUS_SUCCESS);
    }
    auto first = static_cast<PUCHAR>(bases[0]);
    auto second = static_cast<PUCHAR>(bases[1]);

    ASSERT_EQ(Write(file, 100, "cached", 6), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(first + 100, "cached", 6), 0) << "a view sees a cached write at once";
    first[10] = 0xA1;
    second[20] = 0xB2;
    EXPECT_EQ(second[10], 0xA1) << "two views of one page are the same memory";
    UCHAR back[2] = {};
    ASSERT_EQ(Read(file, 10, back, 1), STATUS_SUCCESS);
    ASSERT_EQ(Read(file, 20, back + 1, 1), STATUS_SUCCESS);
    EXPECT_EQ(back[0], 0xA1) << "a cached read sees a view's bytes";
    EXPECT_EQ(back[1], 0xB2);

    for (PVOID base : bases) {
        ASSERT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), base), STATUS_SUCCESS);
    }
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwFlushBuffersFile(file, &iosb), STATUS_SUCCESS);
    const std::vector<UCHAR> stored = Stored(file, 128);
    EXPECT_EQ(stored[10], 0xA1) << "both views' changes to one page are kept";
    EXPECT_EQ(stored[20], 0xB2);
    EXPECT_EQ(std::memcmp(stored.data() + 100, "cached", 6), 0);
    ZwClose(section);
    ZwClose(file);
}

TEST_F(CacheTest, NonCachedHandlesBypassTheCacheWithWholeSectors) {
    HANDLE cached = Create(u"\\direct.bin");
    std::vector<UCHAR> data(4096, 0x77);
    ASSERT_EQ(Write(cached, 0, data.data(), 4096), STATUS_SUCCESS);
    HANDLE direct = OpenNonCached(u"\\direct.bin");
    std::vector<UCHAR> back(4096);
    EXPECT_EQ(Read(direct, 1, back.data(), 512), STATUS_INVALID_PARAMETER) << "unaligned offset";
    EXPECT_EQ(Read(direct, 0, back.data(), 100), STATUS_INVALID_PARAMETER) << "unaligned length";
    TakeSeen();
    ASSERT_EQ(Read(direct, 0, back.data(), 4096), STATUS_SUCCESS);
    EXPECT_EQ(back, data) << "a non-cached read sees what the cache held";
    bool volumeRead = false;
    for (const ObservedRequest& seen : TakeSeen()) {
        volumeRead |= seen.Major == IRP_MJ_READ && !(seen.Flags & IRP_PAGING_IO);
    }
    EXPECT_TRUE(volumeRead) << "the non-cached read went to the volume";

    std::vector<UCHAR> other(512, 0x12);
    ASSERT_EQ(Write(direct, 512, other.data(), 512), STATUS_SUCCESS);
    ASSERT_EQ(Read(cached, 512, back.data(), 512), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(back.data(), other.data(), 512), 0)
        << "a cached read sees a non-cached write";
    ZwClose(direct);
    ZwClose(cached);
}

TEST_F(CacheTest, AsynchronousNonCachedWritePendsAsAssociatedRequests) {
    HANDLE file = OpenNonCached(u"\\async.bin", 0);
    HANDLE event;
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE),
              STATUS_SUCCESS);
    std::vector<UCHAR> data(64 * 1024, 0x42);
    IO_STATUS_BLOCK iosb = {};
    LARGE_INTEGER offset = {};
    TakeSeen();
    NTSTATUS status = ZwWriteFile(file, event, nullptr, nullptr, &iosb, data.data(),
                                  static_cast<ULONG>(data.size()), &offset, nullptr);
    EXPECT_EQ(status, STATUS_PENDING) << "the volume pends, so the file system does";
    ASSERT_EQ(ZwWaitForSingleObject(event, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, data.size());
    const std::vector<ObservedRequest> writes = WritesOf(file);
    ASSERT_FALSE(writes.empty());
    for (const ObservedRequest& seen : writes) {
        EXPECT_NE(seen.Flags & IRP_ASSOCIATED_IRP, 0u) << "got flags " << std::hex << seen.Flags;
    }
    EXPECT_EQ(Stored(file, 65536), data);

    std::vector<UCHAR> back(data.size());
    ASSERT_EQ(ZwClearEvent(event), STATUS_SUCCESS);
    status = ZwReadFile(file, event, nullptr, nullptr, &iosb, back.data(),
                        static_cast<ULONG>(back.size()), &offset, nullptr);
    EXPECT_EQ(status, STATUS_PENDING);
    ASSERT_EQ(ZwWaitForSingleObject(event, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(back, data);
    ZwClose(event);
    ZwClose(file);
}

// A filter that waits for a threaded request in the path of a paging write
// waits for ever (here: until its time-out); the request itself completes
// once the thread is back at PASSIVE_LEVEL.
TEST_F(CacheTest, PagingWritePathMayNotWaitForThreadedRequests) {
    HANDLE file = Create(u"\\probe.bin");
    ASSERT_EQ(Write(file, 0, "x", 1), STATUS_SUCCESS);
    Ext->ProbeIosb.Status = STATUS_PENDING;
    Ext->ProbeWrites = true;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwFlushBuffersFile(file, &iosb), STATUS_SUCCESS);
    Ext->ProbeWrites = false;
    // The late completion APC runs now that this thread is back at PASSIVE_LEVEL.
    LARGE_INTEGER brief;
    brief.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &brief);
    std::lock_guard<std::mutex> guard(Ext->Lock);
    ASSERT_FALSE(Ext->ProbeWaits.empty());
    EXPECT_EQ(Ext->ProbeWaits[0], STATUS_TIMEOUT) << "got " << std::hex << Ext->ProbeWaits[0];
    EXPECT_EQ(Ext->ProbeIosb.Status, STATUS_SUCCESS) << "the probe's read never completed";
    ZwClose(file);
}

} // namespace
