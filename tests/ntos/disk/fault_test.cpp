// fault_test.cpp - injected faults of a volume: failing ranges for reads or
// writes.
#include "disk_fixture.h"
#include "ntdddisk.h"

namespace {

TEST_F(DiskTest, RangeFaultsFailTransfersThatTouchTheRangeOnly) {
    PDEVICE_OBJECT pdo = Create(Config(1 << 20));
    std::vector<UCHAR> data(1024, 0x33);
    DiskFailRange(pdo, DISK_FAULT_WRITE, 4096 + 100, 1, STATUS_DEVICE_DATA_ERROR);
    DiskFailRange(pdo, DISK_FAULT_READ, 65536, 512, STATUS_DEVICE_NOT_READY);

    // Writes touching the byte fail and leave the store alone; neighbours pass.
    IO_STATUS_BLOCK iosb = Write(pdo, 3584, data.data(), 1024);
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_EQ(Write(pdo, 4096 + 512, data.data(), 512).Status, STATUS_SUCCESS);
    EXPECT_EQ(Write(pdo, 3072, data.data(), 1024).Status, STATUS_SUCCESS);
    std::vector<UCHAR> sector(512, 0xFF);
    DiskCopyBackingStore(pdo, 4096, sector.data(), 512);
    EXPECT_EQ(sector, std::vector<UCHAR>(512));
    // Reads of the write-faulted range still work; the read fault is separate.
    EXPECT_EQ(Read(pdo, 4096, data.data(), 512).Status, STATUS_SUCCESS);
    EXPECT_EQ(Read(pdo, 65536 - 512, data.data(), 1024).Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Read(pdo, 65536 + 512, data.data(), 512).Status, STATUS_SUCCESS);
    EXPECT_EQ(Write(pdo, 65536, data.data(), 512).Status, STATUS_SUCCESS);
    EXPECT_EQ(DiskQueryCounters(pdo).FailedRequests, 2u);

    DiskClearFaults(pdo);
    EXPECT_EQ(Write(pdo, 4096, data.data(), 512).Status, STATUS_SUCCESS);
    EXPECT_EQ(Read(pdo, 65536, data.data(), 512).Status, STATUS_SUCCESS);
}

TEST_F(DiskTest, TheNthTransferFromNowFailsOnceAndTransfersAreCounted) {
    PDEVICE_OBJECT pdo = Create(Config(1 << 20));
    std::vector<UCHAR> data(512, 0x44);
    DiskFailNthTransferFromNow(pdo, 3, STATUS_DEVICE_DATA_ERROR);
    const NTSTATUS expected[] = {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR,
                                 STATUS_SUCCESS};
    for (ULONG i = 0; i < 4; i++) {
        NTSTATUS got =
            (i % 2 ? Read(pdo, 0, data.data(), 512) : Write(pdo, 512, data.data(), 512)).Status;
        EXPECT_EQ(got, expected[i]) << "transfer " << i + 1;
    }
    EXPECT_EQ(DiskTransfersSinceMark(pdo), 4u);
    DiskFailNthTransferFromNow(pdo, 1, STATUS_DEVICE_NOT_READY);
    DiskClearFaults(pdo);
    EXPECT_EQ(Read(pdo, 0, data.data(), 512).Status, STATUS_SUCCESS) << "cleared";
}

TEST_F(DiskTest, FaultWithASuccessStatusIsABugCheck) {
    PDEVICE_OBJECT pdo = Create(Config(1 << 20));
    EXPECT_BUGCHECK(DiskFailRange(pdo, DISK_FAULT_READ, 0, 512, STATUS_SUCCESS),
                    DRIVER_VERIFIER_DETECTED_VIOLATION, "without an operation or an error status");
}

} // namespace
