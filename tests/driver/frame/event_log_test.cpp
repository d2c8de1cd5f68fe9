// Event log: the insertion strings of an entry (formats, room, values left
// out), the cut at 104 bytes, entries above PASSIVE_LEVEL, and the shared
// buffer across writers.
#include "frame_fixture.h"

namespace {

class EventLogTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        EvlpClearLog(); // drop the load event
    }
    EVLP_ENTRY Last() {
        EVLP_ENTRY entry;
        EXPECT_TRUE(EvlpGetEntry(EvlpEntryCount() - 1, &entry));
        return entry;
    }
    using Strings = std::vector<std::u16string>;
};

TEST_F(EventLogTest, EntryWithoutTypeStringHasNoStrings) {
    LogEvent(NTSTATUS(0xC777000A), nullptr);
    EVLP_ENTRY entry = Last();
    EXPECT_EQ(entry.EventId, NTSTATUS(0xC777000A));
    EXPECT_EQ(entry.Packet.NumberOfStrings, 0);
    EXPECT_EQ(entry.Packet.StringOffset, 0);
    EXPECT_EQ(EvlpToUtf8(entry.Text), "Failed to maintain frozen state of volume.");
}

TEST_F(EventLogTest, EachLetterFormatsItsValue) {
    LogEvent(NTSTATUS(0xC7770003), "SsdxcdQ", u"wide", "narrow", -12, 0xBEEFu, 'z', 0u);
    EVLP_ENTRY entry = Last();
    EXPECT_EQ(entry.Strings, (Strings{u"wide", u"narrow", u"-12", u"0000BEEF", u"z", u"0"}))
        << "Q takes no value and adds no string";
    EXPECT_EQ(entry.Packet.StringOffset, 40);
    EXPECT_EQ(EvlpToUtf8(entry.Text), "Exception 0xwide occured at address 0xnarrow.");
}

// A wide string of N characters.
std::u16string Wide(size_t N) {
    return std::u16string(N, u'w');
}

TEST_F(EventLogTest, ValuesThatDoNotFitAreLeftOutAndLaterOnesStillWritten) {
    std::u16string full = Wide(104);
    std::u16string fits = Wide(103);
    LogEvent(NTSTATUS(0x47770001), "SS", full.c_str(), u"next");
    EXPECT_EQ(Last().Strings, (Strings{u"next"})) << "104 units need 105";
    LogEvent(NTSTATUS(0x47770001), "Ss", fits.c_str(), "x");
    EXPECT_TRUE(Last().Strings.empty())
        << "103 units take the whole buffer, and no packet holds them: left out whole";
}

TEST_F(EventLogTest, DecimalRoomHoldsTheSignAndTheTerminator) {
    // 93 units taken leave 11: "-2147483648" and its terminator need 12, so
    // the value is left out rather than written past the buffer's end (which
    // the address sanitizer reports); the short value after it still fits.
    std::u16string filler = Wide(92);
    LogEvent(NTSTATUS(0x47770001), "SdS", filler.c_str(), 0x80000000u, u"end");
    LogEvent(NTSTATUS(0x47770001), "d", 0x80000000u);
    EXPECT_EQ(Last().Strings, (Strings{u"-2147483648"}));
}

TEST_F(EventLogTest, StringsBeyond104BytesAreLeftOutWholeNeverCut) {
    // 40 + 30 units: 140 bytes; the second string crosses the 104-byte mark.
    std::u16string first = Wide(40);
    std::u16string second = Wide(29);
    LogEvent(NTSTATUS(0x47770001), "SS", first.c_str(), second.c_str());
    EVLP_ENTRY entry = Last();
    EXPECT_EQ(entry.Packet.NumberOfStrings, 1) << "every counted string keeps its terminator";
    EXPECT_EQ(entry.Strings, (Strings{first}));

    // A first string that alone crosses the mark leaves the entry without strings.
    std::u16string long_ = Wide(60);
    LogEvent(NTSTATUS(0x47770001), "S", long_.c_str());
    entry = Last();
    EXPECT_EQ(entry.Packet.NumberOfStrings, 0);
    EXPECT_EQ(entry.Packet.StringOffset, 0);
}

TEST_F(EventLogTest, PacketsAtTheLimitKeepEveryString) {
    // 51 + 1 units: exactly 104 bytes with both terminators.
    std::u16string first = Wide(50);
    LogEvent(NTSTATUS(0x47770001), "Ss", first.c_str(), "");
    EVLP_ENTRY entry = Last();
    EXPECT_EQ(entry.Packet.NumberOfStrings, 2);
    EXPECT_EQ(entry.Strings, (Strings{first, u""}));
}

TEST_F(EventLogTest, AboveLowestIrqlTheEntryCarriesNoStrings) {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    LogEvent(NTSTATUS(0x47770001), "d", 5u);
    KfLowerIrql(old);
    EVLP_ENTRY entry = Last();
    EXPECT_EQ(entry.EventId, NTSTATUS(0x47770001));
    EXPECT_EQ(entry.Packet.NumberOfStrings, 0);
}

TEST_F(EventLogTest, EntryWithoutAPacketIsDroppedAndTheBufferFreed) {
    ExpFailPoolEveryNth(1);
    LogEvent(NTSTATUS(0x47770001), "d", 1u);
    ExpResetPoolFaults();
    EXPECT_EQ(EvlpEntryCount(), 0u);
    LogEvent(NTSTATUS(0x47770001), "d", 2u);
    EXPECT_EQ(Last().Strings, (Strings{u"2"}));
}

TEST_F(EventLogTest, ConcurrentWritersKeepTheirStringsApart) {
    RunOnSystemThreads(4, [](ULONG Index) {
        for (ULONG i = 0; i < 50; i++) {
            LogEvent(NTSTATUS(0x47770001), "dd", Index + 1, (Index + 1) * 1000 + i);
        }
    });
    ASSERT_EQ(EvlpEntryCount(), 200u);
    for (ULONG i = 0; i < 200; i++) {
        EVLP_ENTRY entry;
        ASSERT_TRUE(EvlpGetEntry(i, &entry));
        ASSERT_EQ(entry.Strings.size(), 2u);
        EXPECT_EQ(entry.Strings[1].substr(0, entry.Strings[0].size()), entry.Strings[0])
            << "strings of two writers mixed in one entry";
    }
}

} // namespace
