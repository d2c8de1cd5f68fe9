// file_io_test.cpp - file data through the file system: what reaches the
// volume's stack, unaligned transfers, byte offsets of synchronous handles,
// asynchronous completion, injected volume faults, and opens of the volume.
#include "fs_fixture.h"

#include <random>

namespace {

class FileIoTest : public FsTest, public ::testing::WithParamInterface<ULONG> {
  protected:
    void SetUp() override {
        SectorSize = GetParam();
        FsTest::SetUp();
    }
};

TEST_P(FileIoTest, NonCachedWriteReachesVolumeTopWithFileObjectAndWriterThread) {
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\data.bin", &file, FILE_OVERWRITE_IF,
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE |
                       FILE_NO_INTERMEDIATE_BUFFERING),
              STATUS_SUCCESS);
    PFILE_OBJECT fileObject = FileObjectOf(file);
    TakeSeen();
    std::vector<UCHAR> data(8192, 0x5A);
    ASSERT_EQ(Write(file, 0, data.data(), static_cast<ULONG>(data.size())), STATUS_SUCCESS);
    ULONG dataWrites = 0;
    for (const ObservedRequest& seen : TakeSeen()) {
        if (seen.Major == IRP_MJ_WRITE && seen.FsContext == fileObject->FsContext) {
            dataWrites++;
            EXPECT_EQ(seen.FileObject, fileObject);
            EXPECT_EQ(seen.Thread, PsGetCurrentThread());
            EXPECT_EQ(seen.Flags & IRP_PAGING_IO, 0u);
        }
    }
    EXPECT_GE(dataWrites, 1u);
    ZwClose(file);
}

TEST_P(FileIoTest, UnalignedWritesRoundTripAndUnwrittenBytesReadAsZero) {
    HANDLE file = Create(u"\\dir-less.bin");
    std::vector<UCHAR> model;
    std::mt19937 random(7);
    for (int round = 0; round < 40; round++) {
        const ULONG offset = random() % 40000;
        const ULONG length = 1 + random() % 9000;
        std::vector<UCHAR> chunk(length);
        for (auto& byte : chunk) {
            byte = static_cast<UCHAR>(random());
        }
        ASSERT_EQ(Write(file, offset, chunk.data(), length), STATUS_SUCCESS);
        if (model.size() < offset + length) {
            model.resize(offset + length, 0);
        }
        std::memcpy(model.data() + offset, chunk.data(), length);
    }
    std::vector<UCHAR> back(model.size() + 100, 0xEE);
    ULONG_PTR read = 0;
    ASSERT_EQ(Read(file, 0, back.data(), static_cast<ULONG>(back.size()), &read), STATUS_SUCCESS);
    ASSERT_EQ(read, model.size()) << "a read stops at the end of the file";
    back.resize(read);
    EXPECT_TRUE(back == model) << "file contents differ from what was written";
    UCHAR byte;
    EXPECT_EQ(Read(file, model.size(), &byte, 1), STATUS_END_OF_FILE);
    ZwClose(file);
}

TEST_P(FileIoTest, SynchronousHandleKeepsItsByteOffset) {
    HANDLE file = Create(u"\\seq.txt");
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(
        ZwWriteFile(file, nullptr, nullptr, nullptr, &iosb, PVOID("abc"), 3, nullptr, nullptr),
        STATUS_SUCCESS);
    ASSERT_EQ(
        ZwWriteFile(file, nullptr, nullptr, nullptr, &iosb, PVOID("defg"), 4, nullptr, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(FileObjectOf(file)->CurrentByteOffset.QuadPart, 7);
    char back[8] = {};
    ASSERT_EQ(Read(file, 0, back, 7), STATUS_SUCCESS);
    EXPECT_STREQ(back, "abcdefg");
    ZwClose(file);
}

// Counts the runs of an APC routine.
VOID CountApc(PVOID Context, PIO_STATUS_BLOCK, ULONG) {
    ++*static_cast<int*>(Context);
}

// An asynchronous handle: a write signals its event, a transfer without an
// offset is refused, and a request that fails at once queues no APC.
TEST_P(FileIoTest, AsynchronousRequestsSignalTheirEventAndFailuresQueueNoApc) {
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\async.bin", &file, FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE),
              STATUS_SUCCESS);
    HANDLE event;
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE),
              STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb = {};
    LARGE_INTEGER offset = {};
    char data[100] = "payload";
    NTSTATUS status =
        ZwWriteFile(file, event, nullptr, nullptr, &iosb, data, sizeof(data), &offset, nullptr);
    ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_PENDING) << std::hex << status;
    ASSERT_EQ(ZwWaitForSingleObject(event, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof(data));
    EXPECT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &iosb, data, 1, nullptr, nullptr),
              STATUS_INVALID_PARAMETER)
        << "an asynchronous file has no current byte offset";

    int apcRuns = 0;
    offset.QuadPart = 1 << 20;
    status =
        ZwReadFile(file, nullptr, CountApc, &apcRuns, &iosb, data, sizeof(data), &offset, nullptr);
    ASSERT_TRUE(NT_ERROR(status)) << std::hex << status;
    LARGE_INTEGER brief;
    brief.QuadPart = -100000;
    KeDelayExecutionThread(KernelMode, TRUE, &brief);
    EXPECT_EQ(apcRuns, 0) << "a failure returned at once must not also complete by APC";
    ZwClose(event);
    ZwClose(file);
}

TEST_P(FileIoTest, ReadFailsWhereAVolumeFaultWasInjected) {
    // Non-cached handles: every read reaches the volume.
    const ULONG options =
        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | FILE_NO_INTERMEDIATE_BUFFERING;
    HANDLE bad = nullptr, good = nullptr;
    ASSERT_EQ(Open(u"\\bad.bin", &bad, FILE_OVERWRITE_IF, options), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\good.bin", &good, FILE_OVERWRITE_IF, options), STATUS_SUCCESS);
    std::vector<UCHAR> data(4096, 0x11);
    PFILE_OBJECT badObject = FileObjectOf(bad);
    TakeSeen();
    ASSERT_EQ(Write(bad, 0, data.data(), 4096), STATUS_SUCCESS);
    ASSERT_EQ(Write(good, 0, data.data(), 4096), STATUS_SUCCESS);
    ULONGLONG badOffset = ~0ULL;
    for (const ObservedRequest& seen : TakeSeen()) {
        if (seen.Major == IRP_MJ_WRITE && seen.FsContext == badObject->FsContext) {
            badOffset = seen.Offset;
        }
    }
    ASSERT_NE(badOffset, ~0ULL);
    DiskFailRange(Volume, DISK_FAULT_READ, badOffset, 4096, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Read(bad, 0, data.data(), 4096), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Read(good, 0, data.data(), 4096), STATUS_SUCCESS);
    DiskClearFaults(Volume);
    EXPECT_EQ(Read(bad, 0, data.data(), 4096), STATUS_SUCCESS);
    ZwClose(bad);
    ZwClose(good);
}

TEST_P(FileIoTest, VolumeOpenTransfersGoStraightToTheVolumeWithTheirOwnFileObject) {
    HANDLE volume = nullptr;
    ASSERT_EQ(Open(u"", &volume, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
    PFILE_OBJECT volumeObject = FileObjectOf(volume);
    const ULONG sector = GetParam();
    std::vector<UCHAR> data(sector, 0xA7);
    const ULONGLONG offset = 1000 * 4096;
    TakeSeen();
    ASSERT_EQ(Write(volume, offset, data.data(), sector), STATUS_SUCCESS);
    auto seen = TakeSeen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Offset, offset);
    EXPECT_EQ(seen[0].FileObject, volumeObject);
    std::vector<UCHAR> store(sector);
    ASSERT_EQ(DiskCopyBackingStore(Volume, offset, store.data(), sector), STATUS_SUCCESS);
    EXPECT_TRUE(store == data);
    EXPECT_EQ(Write(volume, offset + 1, data.data(), sector), STATUS_INVALID_PARAMETER);
    ZwClose(volume);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, FileIoTest, ::testing::Values(512u, 4096u));

} // namespace
