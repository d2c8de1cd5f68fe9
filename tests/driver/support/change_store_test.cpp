// change_store_test.cpp - the change store's file: its size and header, the
// blocks each queued write marks, merging, failure, and writers that keep
// queueing while stores are drained, merged and closed.
//
// The driver is loaded (pools, work queues, event log, own-file list) and the
// store files live on an emulated volume T: with the file system; the volume
// size a store describes is only a number, so large volumes cost nothing.
#include "driver/support/test_threads.h"
#include "frame/exempt_file_list.h"
#include "io/copy_on_write.h"
#include "frame/frame.h"
#include "ntos/disk/disk.h"
#include "ntos/evlog/evlp.h"
#include "ntos/fs/fsp.h"
#include "ntos/io/iop.h"
#include "ntos/remove_volume.h"
#include "resources/message_table.h"
#include "resources/messages.h"
#include "snapshot/qvdapi.h"
#include "support/block_cache.h"
#include "support/change_store.h"
#include "support/pool_tags.h"

#include <atomic>
#include <set>
#include <string>
#include <vector>

namespace {

const ULONGLONG GiB = 1ULL << 30;
// Block 524096 is the first one whose bit lies beyond the first 64 KiB view.
const ULONGLONG FirstBlockOfSecondView = 524096;

class ChangeStoreTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        IopInitialize();
        EvlpRegisterMessageTable(u"QVDNT", &DriverMessageTable);
        DISK_VOLUME_CONFIG config;
        config.Bytes = 64ULL << 20;
        config.DriveLetter = u"T:";
        ASSERT_EQ(DiskCreateVolume(config, &Volume), STATUS_SUCCESS);
        ASSERT_EQ(FsLoadFileSystem(u"Ntfs", &FsDriver), STATUS_SUCCESS);
        ASSERT_EQ(IopLoadDriver(u"QVDNT", DriverEntry, &Driver), STATUS_SUCCESS);
        EvlpClearLog();
    }

    void TearDown() override {
        for (ChangeStore& store : Stores) {
            ChangeStoreClose(&store);
        }
        StopReclaimThread();
        StopWorkQueues();
        FreeBlockPools();
        ExemptFileClose();
        DeleteControlDevice();
        IopUnloadDriver(Driver);
        FsUnloadFileSystem(FsDriver);
        TestRemoveVolume(Volume);
        IopVerifyNoLeakedIrps();
        EvlpResetEventLog();
        IopShutdown();
        DriverTest::TearDown();
    }

    // Creates store Index on T:\Name for a volume of VolumeSize bytes.
    ChangeStore* Create(ULONG Index, ULONGLONG VolumeSize, PCWSTR Name = u"T:\\store0.bin") {
        EXPECT_EQ(ChangeStoreCreate(&Stores[Index], Name, VolumeSize), QVD_RESULT_SUCCESS);
        return &Stores[Index];
    }

    // The whole file at Name (below \??\), read with an ordinary handle.
    static std::vector<UCHAR> ReadFileAt(PCWSTR Name) {
        std::u16string full = std::u16string(u"\\??\\") + Name;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, full.c_str());
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        HANDLE file = nullptr;
        IO_STATUS_BLOCK iosb = {};
        NTSTATUS status = ZwOpenFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (!NT_SUCCESS(status)) {
            return {};
        }
        std::vector<UCHAR> bytes(1 << 20);
        LARGE_INTEGER offset = {};
        status = ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, bytes.data(),
                            static_cast<ULONG>(bytes.size()), &offset, nullptr);
        EXPECT_EQ(status, STATUS_SUCCESS);
        bytes.resize(NT_SUCCESS(status) ? iosb.Information : 0);
        ZwClose(file);
        return bytes;
    }

    static ChangeStoreHeader HeaderOf(const std::vector<UCHAR>& File) {
        ChangeStoreHeader header = {};
        if (File.size() >= sizeof(header)) {
            std::memcpy(&header, File.data(), sizeof(header));
        }
        return header;
    }

    // The blocks whose bits are set in a store file's bitmap.
    static std::set<ULONGLONG> MarkedBlocks(const std::vector<UCHAR>& File) {
        std::set<ULONGLONG> blocks;
        for (size_t byte = CHANGE_STORE_HEADER_SIZE; byte < File.size(); byte++) {
            for (ULONG bit = 0; bit < 8; bit++) {
                if (File[byte] & (1u << bit)) {
                    blocks.insert((byte - CHANGE_STORE_HEADER_SIZE) * 8 + bit);
                }
            }
        }
        return blocks;
    }

    ULONG ChangeStoreEvents() {
        ULONG count = 0;
        for (ULONG i = 0; i < EvlpEntryCount(); i++) {
            EVLP_ENTRY entry;
            EvlpGetEntry(i, &entry);
            count += entry.EventId == QVD_MSG_CHANGE_STORE_FAILED;
        }
        return count;
    }

    PDEVICE_OBJECT Volume = nullptr;
    PDRIVER_OBJECT FsDriver = nullptr;
    PDRIVER_OBJECT Driver = nullptr;
    ChangeStore Stores[2] = {};
};

struct Range {
    ULONGLONG Offset;
    ULONG Length;
};

// Queues Range at PASSIVE_LEVEL or, as a completion routine would, at
// DISPATCH_LEVEL.
void Queue(ChangeStore* Store, const Range& R, bool AtDispatch) {
    KIRQL old = PASSIVE_LEVEL;
    if (AtDispatch) {
        old = KfRaiseIrql(DISPATCH_LEVEL);
    }
    EXPECT_EQ(ChangeStoreQueueWrite(Store, R.Offset, R.Length), STATUS_SUCCESS);
    if (AtDispatch) {
        KfLowerIrql(old);
    }
}

TEST_F(ChangeStoreTest, QueuedWritesMarkExactlyTheBlocksTheyTouch) {
    struct Case {
        const char* What;
        Range Write;
        std::vector<ULONGLONG> Blocks; // blocks the write touches
    } cases[] = {
        {"512 bytes at 0", {0, 512}, {0}},
        {"one aligned block", {4096, 4096}, {1}},
        {"two aligned blocks", {4 * 4096, 8192}, {4, 5}},
        {"short write across a block boundary", {8 * 4096 - 100, 200}, {7, 8}},
        {"the same block again", {4096 + 512, 512}, {1}},
        {"across the first view's end",
         {(FirstBlockOfSecondView - 1) * 4096 + 2048, 4096},
         {FirstBlockOfSecondView - 1, FirstBlockOfSecondView}},
        {"ends beyond the volume", {3 * GiB - 4096, 8192}, {}},
        {"empty", {40960, 0}, {}},
    };
    ChangeStore* store = Create(0, 3 * GiB);
    ASSERT_EQ(store->FileSize, 24u + 3 * GiB / 32768);

    // The writes come as the I/O path sends them: from several threads,
    // some at DISPATCH_LEVEL.
    const ULONG count = sizeof(cases) / sizeof(cases[0]);
    RunOnSystemThreads(count, [&](ULONG Index) { Queue(store, cases[Index].Write, Index % 2); });
    ChangeStoreDrain(store);

    std::set<ULONGLONG> expected;
    ULONGLONG covered = 0;
    for (const Case& c : cases) {
        expected.insert(c.Blocks.begin(), c.Blocks.end());
        covered += c.Blocks.size();
    }
    ChangeStoreClose(store);
    const std::vector<UCHAR> file = ReadFileAt(u"T:\\store0.bin");
    EXPECT_EQ(MarkedBlocks(file), expected);
    EXPECT_EQ(file[24] & 0x0F, 0x03) << "blocks 0 to 3 in file byte 24, least significant first";
    EXPECT_EQ(HeaderOf(file).BlocksMarked, covered) << "every write counts the bits it covered";
    EXPECT_EQ(HeaderOf(file).BlocksNewlyMarked, expected.size());
}

// The worker takes a range off the queue before it marks it: a drain must
// also wait for that range. Holding the store's resource keeps the worker
// between the two.
TEST_F(ChangeStoreTest, DrainWaitsForTheRangeTheWorkerIsMarking) {
    ChangeStore* store = Create(0, GiB);
    KEVENT taken;
    KeInitializeEvent(&taken, NotificationEvent, FALSE);
    std::atomic<bool> drained{false};
    RunOnSystemThreads(2, [&](ULONG Index) {
        if (Index == 0) {
            KeWaitForSingleObject(&taken, Executive, KernelMode, FALSE, nullptr);
            ChangeStoreDrain(store);
            drained = true;
            return;
        }
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(store->Resource, TRUE);
        Queue(store, {4096, 4096}, false);
        LARGE_INTEGER pause;
        pause.QuadPart = -10 * 1000;
        for (int i = 0; i < 200 && ExGetSharedWaiterCount(store->Resource) == 0; i++) {
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
        EXPECT_EQ(store->QueuedRanges, 0u) << "the worker took the range";
        KeSetEvent(&taken, IO_NO_INCREMENT, FALSE);
        pause.QuadPart = -200 * 10000LL;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        EXPECT_FALSE(drained) << "the drain returned while the range was still being marked";
        ExReleaseResourceLite(store->Resource);
        KeLeaveCriticalRegion();
    });
    EXPECT_EQ(store->Header.BlocksMarked, 1u) << "drained, so the range is marked";
}

TEST_F(ChangeStoreTest, MergeOrsTheSourceInAndCountsItsBits) {
    ChangeStore* source = Create(0, GiB, u"T:\\source.bin");
    ChangeStore* destination = Create(1, GiB, u"T:\\destination.bin");
    for (ULONGLONG block : {1, 2, 3, 9000}) {
        Queue(source, {block * 4096, 4096}, false);
    }
    for (ULONGLONG block : {3, 4}) {
        Queue(destination, {block * 4096, 4096}, false);
    }
    ChangeStoreDrain(source);
    ChangeStoreDrain(destination);
    EXPECT_TRUE(ChangeStoreMerge(source, destination));
    ChangeStoreClose(source);
    ChangeStoreClose(destination);

    const std::vector<UCHAR> file = ReadFileAt(u"T:\\destination.bin");
    EXPECT_EQ(MarkedBlocks(file), (std::set<ULONGLONG>{1, 2, 3, 4, 9000}));
    EXPECT_EQ(HeaderOf(file).BlocksMarked, 2u + 4u) << "its own two, and the four set bits merged";
    EXPECT_EQ(HeaderOf(file).BlocksNewlyMarked, 2u + 3u) << "block 3 was set already";
}

TEST_F(ChangeStoreTest, MergeWithAFailedStoreFailsAndCountsNothing) {
    ChangeStore* source = Create(0, GiB, u"T:\\source.bin");
    ChangeStore* destination = Create(1, GiB, u"T:\\destination.bin");
    Queue(source, {0, 4096}, false);
    ChangeStoreDrain(source);
    ChangeStoreFail(destination);
    EXPECT_FALSE(ChangeStoreMerge(source, destination));
    EXPECT_EQ(destination->Header.BlocksMarked, 0u);
    EXPECT_EQ(ChangeStoreEvents(), 1u);
}

// No block for a range fails the store: it takes no more ranges, logs its
// event once however many writes follow, and writes no header at close.
TEST_F(ChangeStoreTest, AFailedStoreWritesNoHeaderAndLogsOnce) {
    ChangeStore* store = Create(0, 3 * GiB);
    // No range block is cached yet: the first one needs a pool page.
    ExpFailPoolTag(QVD_TAG_ZEROED, EXP_FAIL_ALWAYS);
    Queue(store, {FirstBlockOfSecondView * 4096, 4096}, false);
    Queue(store, {4096, 4096}, true);
    ExpResetPoolFaults();
    Queue(store, {8192, 4096}, false);
    ChangeStoreDrain(store);
    EXPECT_EQ(store->Flags & CHANGE_STORE_FAILED, CHANGE_STORE_FAILED);
    EXPECT_EQ(store->QueuedRanges, 0u) << "a failed store takes no range";
    ChangeStoreClose(store);

    const std::vector<UCHAR> file = ReadFileAt(u"T:\\store0.bin");
    EXPECT_EQ(file.size(), 24u + 3 * GiB / 32768);
    EXPECT_EQ(HeaderOf(file).BlockSize, 0u) << "a failed store's file was never closed cleanly";
    EXPECT_TRUE(MarkedBlocks(file).empty());
    EXPECT_EQ(ChangeStoreEvents(), 1u);
}

TEST_F(ChangeStoreTest, CreationFailuresUndoEverything) {
    EXPECT_EQ(ChangeStoreCreate(&Stores[0], u"T:\\no such dir\\store.bin", GiB),
              QVD_RESULT_FILE_SETUP_FAILED);
    EXPECT_EQ(Stores[0].Name, nullptr);
    EXPECT_EQ(Stores[0].Resource, nullptr);

    // Every allocation of the driver's, one after the other: each failure
    // gives a result and leaves nothing behind (checked at the test's end).
    ExpSetPoolFaultScope(EX_POOL_TAG('Q', 'v', 'd', 0), 0x00FFFFFFu);
    for (ULONG n = 1;; n++) {
        ExpMarkPoolAllocations();
        ExpFailPoolNthFromNow(n);
        ULONG result = ChangeStoreCreate(&Stores[0], u"T:\\store0.bin", GiB);
        const ULONG64 attempts = ExpPoolAllocationsSinceMark();
        ExpFailPoolNthFromNow(0);
        EXPECT_TRUE(result == QVD_RESULT_SUCCESS || result == QVD_RESULT_NO_MEMORY ||
                    result == QVD_RESULT_BAD_FILE_HANDLE)
            << "allocation " << n << " gave " << result;
        ChangeStoreClose(&Stores[0]);
        if (attempts < n) {
            break;
        }
    }
    ExpResetPoolFaults();
    EXPECT_EQ(ChangeStoreEvents(), 0u);
}

// Writers keep queueing while one store is drained and merged into another
// that is being marked in the same bytes, and both are closed. Every range
// queued before its store began to close is in the destination's file,
// whatever the writers did meanwhile.
TEST_F(ChangeStoreTest, WritersQueueWhileStoresAreDrainedMergedAndClosed) {
    ChangeStore* source = Create(0, GiB, u"T:\\source.bin");
    ChangeStore* destination = Create(1, GiB, u"T:\\destination.bin");
    const ULONG writers = 4;
    const ULONG perWriter = 300;
    // Even blocks go to the source, then (moved up) to the destination;
    // while the source is merged in, the writers mark the odd blocks
    // between, in the very bytes the merge changes.
    auto block = [&](ULONG Writer, ULONG I) { return 2 * (ULONGLONG(I) * writers + Writer); };
    const ULONGLONG above = 100000;

    RunOnSystemThreads(writers + 1, [&](ULONG Index) {
        if (Index == writers) {
            ChangeStoreDrain(destination);
            return;
        }
        for (ULONG i = 0; i < perWriter; i++) {
            Queue(source, {block(Index, i) * 4096, 4096}, i % 3 == 0);
            Queue(destination, {(block(Index, i) + above) * 4096, 4096}, i % 3 == 1);
        }
    });
    std::atomic<bool> closed{false};
    RunOnSystemThreads(writers + 1, [&](ULONG Index) {
        if (Index == writers) {
            ChangeStoreDrain(source);
            EXPECT_TRUE(ChangeStoreMerge(source, destination));
            ChangeStoreClose(source);
            ChangeStoreClose(destination);
            closed.store(true);
            return;
        }
        for (ULONG i = 0; !closed.load(); i++) {
            Queue(destination, {(block(Index, i % perWriter) + 1) * 4096, 512}, i % 2);
        }
    });

    const std::set<ULONGLONG> marked = MarkedBlocks(ReadFileAt(u"T:\\destination.bin"));
    ULONG lost = 0;
    for (ULONG w = 0; w < writers; w++) {
        for (ULONG i = 0; i < perWriter; i++) {
            lost += !marked.count(block(w, i)) + !marked.count(block(w, i) + above);
        }
    }
    EXPECT_EQ(lost, 0u) << "blocks queued or merged before the close are missing";
    EXPECT_EQ(ChangeStoreEvents(), 0u);
}

} // namespace
