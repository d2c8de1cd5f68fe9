// Event log: the insertion strings of an entry (formats, room, values left
// out), the cut at 104 bytes, entries above PASSIVE_LEVEL or without a
// packet, and the shared buffer across writers.
#include "frame_fixture.h"

namespace {

using Strings = std::vector<std::u16string>;
const NTSTATUS Id = NTSTATUS(0x47770001);

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
};

// A wide string of N characters.
std::u16string Wide(size_t N) {
    return std::u16string(N, u'w');
}

TEST_F(EventLogTest, EntriesCarryTheStringsThatFitWhole) {
    struct Case {
        const char* What;
        void (*Log)();
        Strings Expected;
    } cases[] = {
        {"no type string", [] { LogEvent(Id, nullptr); }, {}},
        {"each letter; Q takes no value and adds no string",
         [] { LogEvent(Id, "SsdxcdQ", u"wide", "narrow", -12, 0xBEEFu, 'z', 0u); },
         {u"wide", u"narrow", u"-12", u"0000BEEF", u"z", u"0"}},
        {"104 units need 105: left out, a later value still written",
         [] { LogEvent(Id, "SS", Wide(104).c_str(), u"next"); },
         {u"next"}},
        {"103 units take the whole buffer, and no packet holds them",
         [] { LogEvent(Id, "Ss", Wide(103).c_str(), "x"); },
         {}},
        // 93 units taken leave 11: "-2147483648" and its terminator need 12,
        // so the value is left out rather than written past the buffer's end
        // (which the address sanitizer reports).
        {"decimal room holds the sign and the terminator",
         [] {
             LogEvent(Id, "SdS", Wide(92).c_str(), 0x80000000u, u"end");
             LogEvent(Id, "d", 0x80000000u);
         },
         {u"-2147483648"}},
        // Every counted string keeps its terminator within the 104 bytes.
        {"the second string crosses the 104-byte mark",
         [] { LogEvent(Id, "SS", Wide(40).c_str(), Wide(29).c_str()); },
         {Wide(40)}},
        {"the first string crosses the mark", [] { LogEvent(Id, "S", Wide(60).c_str()); }, {}},
        {"51 + 1 units: exactly 104 bytes",
         [] { LogEvent(Id, "Ss", Wide(50).c_str(), ""); },
         {Wide(50), u""}},
        {"above PASSIVE_LEVEL",
         [] {
             KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
             LogEvent(Id, "d", 5u);
             KfLowerIrql(old);
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        c.Log();
        EVLP_ENTRY entry = Last();
        EXPECT_EQ(entry.EventId, Id);
        EXPECT_EQ(entry.Strings, c.Expected);
        EXPECT_EQ(entry.Packet.NumberOfStrings, c.Expected.size());
        EXPECT_EQ(entry.Packet.StringOffset, c.Expected.empty() ? 0 : 40);
    }
}

TEST_F(EventLogTest, EntryWithoutAPacketIsDroppedAndTheBufferFreed) {
    ExpFailPoolEveryNth(1);
    LogEvent(Id, "d", 1u);
    ExpResetPoolFaults();
    EXPECT_EQ(EvlpEntryCount(), 0u);
    LogEvent(Id, "d", 2u);
    EXPECT_EQ(Last().Strings, (Strings{u"2"}));
}

TEST_F(EventLogTest, ConcurrentWritersKeepTheirStringsApart) {
    RunOnSystemThreads(4, [](ULONG Index) {
        for (ULONG i = 0; i < 50; i++) {
            LogEvent(Id, "dd", Index + 1, (Index + 1) * 1000 + i);
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
