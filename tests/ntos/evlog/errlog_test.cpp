// Error-log packets: the allocation limits, what a written entry keeps, how
// it renders from the source's table, and the misuse that is a bug check.
#include "expect_bugcheck.h"
#include "ntos/evlog/evlp.h"
#include "ntos/ex/exp.h"
#include "ntos/ke/ke_test_util.h"
#include "ntos/kernel_fixture.h"

#include "driver/resources/message_table.h"
#include "driver/resources/messages.h"

#include <cstring>
#include <vector>

namespace {

constexpr ULONG kPacketTag = EX_POOL_TAG('I', 'o', 'E', 'r');
constexpr ULONG kStringOffset = offsetof(IO_ERROR_LOG_PACKET, DumpData);

class ErrorLogTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        RtlInitUnicodeString(&Driver.DriverName, u"\\Driver\\QVDNT");
        Driver.Type = IO_TYPE_DRIVER;
        Driver.Size = sizeof(Driver);
        Device.Type = IO_TYPE_DEVICE;
        Device.DriverObject = &Driver;
        ASSERT_EQ(EvlpRegisterMessageTable(u"QVDNT", &DriverMessageTable), STATUS_SUCCESS);
    }
    void TearDown() override {
        EvlpResetEventLog();
        KernelTest::TearDown();
    }

  public:
    // Writes an entry as the driver does: strings right after the header's
    // fixed fields, the packet sized to hold them up to the maximum.
    void WriteStrings(ULONG MessageId, const std::vector<std::u16string>& Strings) {
        std::u16string data;
        for (const auto& s : Strings)
            data += s + u'\0';
        ULONG bytes = static_cast<ULONG>(data.size() * sizeof(WCHAR));
        ULONG size = sizeof(IO_ERROR_LOG_PACKET) + bytes;
        if (size > ERROR_LOG_MAXIMUM_SIZE) {
            size = ERROR_LOG_MAXIMUM_SIZE;
            bytes = ERROR_LOG_MAXIMUM_SIZE - sizeof(IO_ERROR_LOG_PACKET);
        }
        auto* p = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(&Driver, (UCHAR)size));
        ASSERT_NE(p, nullptr);
        p->ErrorCode = (NTSTATUS)MessageId;
        p->NumberOfStrings = (USHORT)Strings.size();
        if (!Strings.empty()) {
            p->StringOffset = kStringOffset;
            std::memcpy(reinterpret_cast<PUCHAR>(p) + kStringOffset, data.data(), bytes);
        }
        IoWriteErrorLogEntry(p);
    }

  protected:
    EVLP_ENTRY Last() {
        EVLP_ENTRY e{};
        EXPECT_TRUE(EvlpGetEntry(EvlpEntryCount() - 1, &e));
        return e;
    }

    DRIVER_OBJECT Driver{};
    DEVICE_OBJECT Device{};
};
using ErrorLogDeathTest = ErrorLogTest;

} // namespace

TEST_F(ErrorLogTest, EntryWithoutStringsKeepsHeaderAndDumpData) {
    auto* p = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(&Device, sizeof(IO_ERROR_LOG_PACKET) + 4));
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < sizeof(IO_ERROR_LOG_PACKET) + 4; ++i)
        EXPECT_EQ(reinterpret_cast<PUCHAR>(p)[i], 0) << "packet is zeroed at byte " << i;
    p->ErrorCode = QVD_MSG_FROZEN_STATE_LOST;
    p->FinalStatus = STATUS_INSUFFICIENT_RESOURCES;
    p->UniqueErrorValue = 77;
    p->DumpDataSize = 8;
    p->DumpData[0] = 0x11111111;
    p->DumpData[1] = 0x22222222;
    IoWriteErrorLogEntry(p);

    const EVLP_ENTRY e = Last();
    EXPECT_EQ(e.Severity, 3) << "error";
    EXPECT_EQ(e.Source, u"QVDNT") << "a device's entry names its driver";
    EXPECT_EQ(e.Packet.FinalStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(e.Packet.UniqueErrorValue, 77u);
    EXPECT_EQ(e.DumpData, (std::vector<ULONG>{0x11111111, 0x22222222}));
    EXPECT_TRUE(e.Strings.empty());
    EXPECT_EQ(e.Text, u"Failed to maintain frozen state of volume.");
    EXPECT_EQ(ExpQueryPoolTag(kPacketTag).NonPagedBlocks, 0u) << "a written packet is freed";
}

TEST_F(ErrorLogTest, SizeLimitsAndObjectKinds) {
    EXPECT_EQ(IoAllocateErrorLogEntry(&Driver, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(&Driver, 255), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(&Driver, sizeof(IO_ERROR_LOG_PACKET) - 1), nullptr)
        << "a packet smaller than its header";
    EXPECT_EQ(IoAllocateErrorLogEntry(nullptr, 64), nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(IoAllocateErrorLogEntry(&event, 64), nullptr) << "neither a device nor a driver";
    EXPECT_EQ(ExpQueryPoolTag(kPacketTag).NonPagedBlocks, 0u);
}

TEST_F(ErrorLogTest, StringsCutByThePacketEndAreReadOnlyUpToIt) {
    // 56 characters from the string offset to the end of a maximum packet, no
    // terminator, while the packet claims three strings.
    auto* p =
        static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(&Driver, ERROR_LOG_MAXIMUM_SIZE));
    ASSERT_NE(p, nullptr);
    p->ErrorCode = QVD_MSG_GEOMETRY_FAILED;
    p->NumberOfStrings = 3;
    p->StringOffset = kStringOffset;
    auto* text = reinterpret_cast<WCHAR*>(reinterpret_cast<PUCHAR>(p) + kStringOffset);
    const ULONG chars = (ERROR_LOG_MAXIMUM_SIZE - kStringOffset) / sizeof(WCHAR);
    for (ULONG i = 0; i < chars; ++i)
        text[i] = u'A' + (i % 26);
    IoWriteErrorLogEntry(p);

    const EVLP_ENTRY e = Last();
    ASSERT_EQ(e.Strings.size(), 1u);
    EXPECT_EQ(e.Strings[0].size(), chars);
    EXPECT_EQ(e.Text, u"Failed to query disk geometry of drive " + e.Strings[0] + u", status 0x%3.")
        << "a missing insertion stays as written";
}

TEST_F(ErrorLogTest, OffsetsPastThePacketGiveNoStrings) {
    auto* p = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(&Driver, 64));
    ASSERT_NE(p, nullptr);
    p->ErrorCode = QVD_MSG_GENERIC_INFO;
    p->NumberOfStrings = 2;
    p->StringOffset = 200;
    p->DumpDataSize = 1000;
    IoWriteErrorLogEntry(p);
    const EVLP_ENTRY e = Last();
    EXPECT_EQ(e.Severity, 1) << "informational";
    EXPECT_TRUE(e.Strings.empty());
    EXPECT_EQ(e.DumpData.size(), (64u - kStringOffset) / 4) << "dump data ends with the packet";
    EXPECT_EQ(e.Text, u"Generic info: %2.");
}

TEST_F(ErrorLogTest, SourceWithoutTableRendersFallbackAndClearEmptiesTheLog) {
    EvlpUnregisterMessageTable(u"qvdnt");
    WriteStrings(QVD_MSG_GEOMETRY_FAILED, {u"\\??\\C:", u"C0000001"});
    const EVLP_ENTRY e = Last();
    EXPECT_EQ(e.Text, u"The description for Event ID ( 11 ) in Source ( QVDNT ) cannot be found. "
                      u"The following information is part of the event: \\??\\C:, C0000001.")
        << EvlpToUtf8(e.Text);

    // A table registered later renders the same entry, as a viewer would.
    ASSERT_EQ(EvlpRegisterMessageTable(u"QVDNT", &DriverMessageTable), STATUS_SUCCESS);
    EXPECT_EQ(Last().Text, u"Failed to query disk geometry of drive \\??\\C:, status 0xC0000001.");

    EvlpClearLog();
    EXPECT_EQ(EvlpEntryCount(), 0u);
    EVLP_ENTRY none{};
    EXPECT_FALSE(EvlpGetEntry(0, &none));
    WriteStrings(QVD_MSG_FROZEN_STATE_LOST, {});
    EXPECT_EQ(Last().RecordNumber, 1u);
}

// Writers on four threads: every entry is kept, numbered in order.
TEST_F(ErrorLogTest, ConcurrentWritersLoseNoEntry) {
    {
        auto writer = [this] {
            for (int i = 0; i < 100; ++i)
                WriteStrings(QVD_MSG_GENERIC_INFO, {u"x"});
        };
        TestThread a(writer), b(writer), c(writer), d(writer);
    }
    ASSERT_EQ(EvlpEntryCount(), 400u);
    for (ULONG i = 0; i < EvlpEntryCount(); ++i) {
        EVLP_ENTRY e{};
        ASSERT_TRUE(EvlpGetEntry(i, &e));
        EXPECT_EQ(e.RecordNumber, i + 1);
    }
}

TEST_F(ErrorLogDeathTest, MisuseIsABugCheck) {
    EXPECT_BUGCHECK(
        {
            PVOID p = IoAllocateErrorLogEntry(&Driver, 64);
            IoWriteErrorLogEntry(p);
            IoWriteErrorLogEntry(p);
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION,
        "IoWriteErrorLogEntry given an error-log entry that is not outstanding");
    EXPECT_BUGCHECK(
        {
            IO_ERROR_LOG_PACKET own{};
            IoWriteErrorLogEntry(&own);
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION, "not outstanding");
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(HIGH_LEVEL, &old);
            IoAllocateErrorLogEntry(&Driver, 64);
        },
        IRQL_NOT_LESS_OR_EQUAL, "IoAllocateErrorLogEntry called above DISPATCH_LEVEL");
}
