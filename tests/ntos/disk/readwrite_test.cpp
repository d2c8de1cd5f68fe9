// readwrite_test.cpp - reads and writes of an emulated volume: round trips at
// both sector sizes, validation of offsets and lengths, completion on the
// volume's threads at both IRQLs, and the counters.
#include "disk_fixture.h"
#include "ntdddisk.h"

namespace {

std::vector<UCHAR> Pattern(size_t Length, UCHAR Seed) {
    std::vector<UCHAR> data(Length);
    for (size_t i = 0; i < Length; i++) {
        data[i] = static_cast<UCHAR>(Seed + i * 7 + i / 512);
    }
    return data;
}

class DiskSectorSizeTest : public DiskTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(DiskSectorSizeTest, WrittenSectorsReadBackAndOthersStayZero) {
    const ULONG sector = GetParam();
    PDEVICE_OBJECT pdo = Create(Config(64 * sector * 16, sector));
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(pdo->SectorSize, sector);
    EXPECT_TRUE(pdo->Flags & DO_DIRECT_IO);
    EXPECT_FALSE(pdo->Flags & DO_DEVICE_INITIALIZING);

    std::vector<UCHAR> data = Pattern(3 * sector, 0x41);
    IO_STATUS_BLOCK iosb = Write(pdo, 5 * sector, data.data(), 3 * sector);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3 * sector);
    // The last sector of the volume is writable too.
    const LONGLONG last = static_cast<LONGLONG>(64 * 16 - 1) * sector;
    EXPECT_EQ(Write(pdo, last, data.data(), sector).Status, STATUS_SUCCESS);

    std::vector<UCHAR> back(5 * sector, 0xEE);
    iosb = Read(pdo, 4 * sector, back.data(), 5 * sector);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5 * sector);
    EXPECT_EQ(std::vector<UCHAR>(back.begin(), back.begin() + sector), std::vector<UCHAR>(sector));
    EXPECT_EQ(std::vector<UCHAR>(back.begin() + sector, back.begin() + 4 * sector), data);
    EXPECT_EQ(std::vector<UCHAR>(back.begin() + 4 * sector, back.end()),
              std::vector<UCHAR>(sector));
    std::vector<UCHAR> tail(sector);
    EXPECT_EQ(Read(pdo, last, tail.data(), sector).Status, STATUS_SUCCESS);
    EXPECT_EQ(tail, std::vector<UCHAR>(data.begin(), data.begin() + sector));
}

TEST_P(DiskSectorSizeTest, MisalignedOrOutOfRangeTransfersAreInvalidAndChangeNothing) {
    const ULONG sector = GetParam();
    const ULONGLONG bytes = 32ULL * sector;
    PDEVICE_OBJECT pdo = Create(Config(bytes, sector));
    std::vector<UCHAR> data(2 * sector, 0x5A);
    struct {
        LONGLONG Offset;
        ULONG Length;
    } const cases[] = {
        {1, sector},          // offset not on a sector
        {sector / 2, sector}, // half a sector in
        {0, sector + 1},      // length not whole sectors
        {0, sector - 1},
        {static_cast<LONGLONG>(bytes), sector},              // starts at the end
        {static_cast<LONGLONG>(bytes - sector), 2 * sector}, // runs past the end
        {-static_cast<LONGLONG>(sector), sector},            // negative offset
        {static_cast<LONGLONG>(bytes) * 4, sector},          // far beyond the end
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Write(pdo, c.Offset, data.data(), c.Length).Status, STATUS_INVALID_PARAMETER)
            << "write at " << c.Offset << " length " << c.Length;
        EXPECT_EQ(Read(pdo, c.Offset, data.data(), c.Length).Status, STATUS_INVALID_PARAMETER)
            << "read at " << c.Offset << " length " << c.Length;
    }
    EXPECT_EQ(DiskSnapshotBackingStore(pdo), std::vector<UCHAR>(bytes));
    // A transfer of nothing at a valid offset succeeds and moves nothing.
    IO_STATUS_BLOCK iosb = Read(pdo, static_cast<LONGLONG>(bytes), data.data(), 0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 0u);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, DiskSectorSizeTest, ::testing::Values(512u, 4096u));

// What the completion routine of an asynchronous request saw.
struct CompletionRecord {
    KEVENT Done;
    KIRQL Irql;
    PETHREAD Thread;
    NTSTATUS Status;
};

NTSTATUS RecordCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto* record = static_cast<CompletionRecord*>(Context);
    record->Irql = KeGetCurrentIrql();
    record->Thread = PsGetCurrentThread();
    record->Status = Irp->IoStatus.Status;
    if (Irp->MdlAddress != nullptr) {
        MmUnlockPages(Irp->MdlAddress);
        IoFreeMdl(Irp->MdlAddress);
        Irp->MdlAddress = nullptr;
    }
    IoFreeIrp(Irp);
    KeSetEvent(&record->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends Count asynchronous reads; returns what each completion saw.
std::vector<CompletionRecord> ReadAsynchronously(PDEVICE_OBJECT Pdo, int Count) {
    std::vector<CompletionRecord> records(Count);
    std::vector<UCHAR> buffer(512 * Count);
    for (int i = 0; i < Count; i++) {
        KeInitializeEvent(&records[i].Done, NotificationEvent, FALSE);
        LARGE_INTEGER offset;
        offset.QuadPart = 512LL * i;
        PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, Pdo, &buffer[512 * i], 512, &offset,
                                                 nullptr);
        IoSetCompletionRoutine(irp, RecordCompletion, &records[i], TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(Pdo, irp), STATUS_PENDING);
    }
    for (CompletionRecord& record : records) {
        KeWaitForSingleObject(&record.Done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(record.Status, STATUS_SUCCESS);
    }
    return records;
}

TEST_F(DiskTest, RequestsCompleteOnTheVolumesThreadsAtBothIrqls) {
    PDEVICE_OBJECT pdo = Create(Config(1 << 20));
    int passive = 0;
    int dispatch = 0;
    for (const CompletionRecord& record : ReadAsynchronously(pdo, 16)) {
        EXPECT_NE(record.Thread, PsGetCurrentThread());
        passive += record.Irql == PASSIVE_LEVEL;
        dispatch += record.Irql == DISPATCH_LEVEL;
    }
    EXPECT_GT(passive, 0) << "the default mix must complete some requests at PASSIVE_LEVEL";
    EXPECT_GT(dispatch, 0) << "the default mix must complete some requests at DISPATCH_LEVEL";
    EXPECT_EQ(passive + dispatch, 16);
}

TEST_F(DiskTest, CountersCountRequestsBytesAndFailures) {
    PDEVICE_OBJECT pdo = Create(Config(1 << 20));
    std::vector<UCHAR> data(4096);
    Write(pdo, 0, data.data(), 4096);
    Write(pdo, 8192, data.data(), 1024);
    Read(pdo, 0, data.data(), 2048);
    Read(pdo, 3, data.data(), 512); // invalid: a failure, not a read
    const ULONG unknown = CTL_CODE(IOCTL_DISK_BASE, 0x0020, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_EQ(Control(pdo, unknown, nullptr, 0).Status, STATUS_INVALID_DEVICE_REQUEST)
        << "an unknown code is a failed control request";
    DISK_COUNTERS counters = DiskQueryCounters(pdo);
    EXPECT_EQ(counters.WriteRequests, 2u);
    EXPECT_EQ(counters.WriteBytes, 5120u);
    EXPECT_EQ(counters.ReadRequests, 1u);
    EXPECT_EQ(counters.ReadBytes, 2048u);
    EXPECT_EQ(counters.ControlRequests, 1u);
    EXPECT_EQ(counters.FailedRequests, 2u);

    DiskResetCounters(pdo);
    counters = DiskQueryCounters(pdo);
    EXPECT_EQ(counters.WriteRequests + counters.WriteBytes + counters.ReadRequests +
                  counters.ReadBytes + counters.ControlRequests + counters.FailedRequests,
              0u);
}

TEST_F(DiskTest, TransferWithoutAnMdlIsABugCheck) {
    PDEVICE_OBJECT pdo = Create(Config(1 << 20));
    EXPECT_BUGCHECK(
        {
            PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_READ;
            next->Parameters.Read.Length = 512;
            IoCallDriver(pdo, irp);
        },
        DRIVER_VERIFIER_IOMANAGER_VIOLATION, "read or write without an MDL");
}

} // namespace
