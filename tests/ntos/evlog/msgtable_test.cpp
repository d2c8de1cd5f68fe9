// Message tables: the driver's table as built from its source, lookups in
// binary message data, and the data that registration refuses.
#include "ntos/evlog/evlp.h"

#include "driver/resources/message_table.h"
#include "driver/resources/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Builds MESSAGE_RESOURCE_DATA by hand: one block per run given.
struct Run {
    ULONG LowId;
    std::vector<std::u16string> Texts;
};

std::vector<ULONG> Build(const std::vector<Run>& runs) {
    std::vector<UCHAR> out(4 + runs.size() * sizeof(MESSAGE_RESOURCE_BLOCK));
    ULONG n = static_cast<ULONG>(runs.size());
    std::memcpy(out.data(), &n, 4);
    for (size_t r = 0; r < runs.size(); ++r) {
        MESSAGE_RESOURCE_BLOCK b{runs[r].LowId, runs[r].LowId + (ULONG)runs[r].Texts.size() - 1,
                                 (ULONG)out.size()};
        std::memcpy(out.data() + 4 + r * sizeof b, &b, sizeof b);
        for (const auto& t : runs[r].Texts) {
            const USHORT length = (USHORT)((4 + (t.size() + 1) * 2 + 3) & ~3u);
            const size_t at = out.size();
            auto put16 = [&](USHORT v) {
                out.push_back(static_cast<UCHAR>(v));
                out.push_back(static_cast<UCHAR>(v >> 8));
            };
            put16(length);
            put16(MESSAGE_RESOURCE_UNICODE);
            for (char16_t c : t)
                put16(c);
            out.resize(at + length);
        }
    }
    std::vector<ULONG> aligned((out.size() + 3) / 4);
    std::copy(out.begin(), out.end(), reinterpret_cast<UCHAR*>(aligned.data()));
    return aligned;
}

} // namespace

// Every message of the driver's header is found in each of its five
// languages; ids the header does not define, and other languages, are not.
TEST(MessageTable, DriverTableHoldsItsMessagesInFiveLanguages) {
    const NTSTATUS ids[] = {
        QVD_MSG_GENERIC_INFO,       QVD_MSG_DRIVER_LOADED,        QVD_MSG_GEOMETRY_FAILED,
        QVD_MSG_GENERIC_ERROR,      QVD_MSG_EXCEPTION,            QVD_MSG_ACCESS_FAILED,
        QVD_MSG_CHANGE_STORE_FAILED, QVD_MSG_OPEN_DEVICE_FAILED,  QVD_MSG_ATTACH_FAILED,
        QVD_MSG_ATTACH_MOUNTED,     QVD_MSG_FROZEN_STATE_LOST,    QVD_MSG_CREATE_DEVICE_FAILED,
    };
    ASSERT_EQ(DriverMessageTable.NumberOfLanguages, 5u);
    const USHORT languages[] = {0x409, 0x407, 0x40C, 0x411, 0x804};
    for (ULONG l = 0; l < 5; ++l) {
        const USHORT lang = languages[l];
        EXPECT_EQ(DriverMessageTable.Languages[l].LanguageId, lang);
        std::u16string text;
        for (NTSTATUS id : ids) {
            EXPECT_TRUE(EvlpFindMessage(&DriverMessageTable, lang, id, &text))
                << std::hex << ULONG(id) << " in " << lang;
        }
        for (ULONG absent : {0x47770000u, 0x47770002u, 0xC777000Du, 0x07770001u}) {
            EXPECT_FALSE(EvlpFindMessage(&DriverMessageTable, lang, absent, &text))
                << std::hex << absent;
        }
        ASSERT_TRUE(EvlpFindMessage(&DriverMessageTable, lang, QVD_MSG_DRIVER_LOADED, &text));
        EXPECT_EQ(text, u"%7 Driver V%2.%3%4 (%5 Build %6) has loaded successfully.\r\n");
    }
    std::u16string text;
    EXPECT_FALSE(EvlpFindMessage(&DriverMessageTable, 0x416, QVD_MSG_DRIVER_LOADED, &text));
}

TEST(MessageTable, LookupWalksBlocksAndEntries) {
    const auto data = Build({{5, {u"five", u"six", u"seven"}}, {100, {u"hundred"}}});
    const MESSAGE_TABLE_LANGUAGE lang{0x409, (ULONG)(data.size() * 4),
                                      reinterpret_cast<const UCHAR*>(data.data())};
    const MESSAGE_TABLE_RESOURCE table{1, &lang};
    ASSERT_EQ(EvlpRegisterMessageTable(u"Walk", &table), STATUS_SUCCESS);
    EXPECT_EQ(EvlpLookupMessageTable(u"WALK"), &table) << "source names ignore case";
    std::u16string text;
    ASSERT_TRUE(EvlpFindMessage(&table, 0x409, 7, &text));
    EXPECT_EQ(text, u"seven");
    ASSERT_TRUE(EvlpFindMessage(&table, 0x409, 100, &text));
    EXPECT_EQ(text, u"hundred");
    EXPECT_FALSE(EvlpFindMessage(&table, 0x409, 8, &text));
    EvlpUnregisterMessageTable(u"walk");
    EXPECT_EQ(EvlpLookupMessageTable(u"Walk"), nullptr);
}

TEST(MessageTable, MalformedDataIsRefused) {
    auto data = Build({{1, {u"one", u"two"}}});
    const ULONG size = (ULONG)(data.size() * 4);
    auto bytes = [&] { return reinterpret_cast<UCHAR*>(data.data()); };
    auto refused = [&](ULONG Size) {
        const MESSAGE_TABLE_LANGUAGE lang{0x409, Size, bytes()};
        const MESSAGE_TABLE_RESOURCE table{1, &lang};
        return EvlpRegisterMessageTable(u"Bad", &table) == STATUS_INVALID_PARAMETER &&
               EvlpLookupMessageTable(u"Bad") == nullptr;
    };
    EXPECT_FALSE(refused(size));
    EvlpUnregisterMessageTable(u"Bad");
    EXPECT_TRUE(refused(size - 4)) << "last entry cut off";
    EXPECT_TRUE(refused(3)) << "no block count";

    const auto original = data;
    data[0] = 1000; // more blocks than the data holds
    EXPECT_TRUE(refused(size));
    data = original;
    data[3] = 0x10000; // block offset past the end
    EXPECT_TRUE(refused(size));
    data = original;
    data[2] = 0; // HighId below LowId
    EXPECT_TRUE(refused(size));
    data = original;
    bytes()[16] = 0; // first entry's Length 0
    bytes()[17] = 0;
    EXPECT_TRUE(refused(size));

    const MESSAGE_TABLE_RESOURCE empty{0, nullptr};
    EXPECT_EQ(EvlpRegisterMessageTable(u"Bad", &empty), STATUS_INVALID_PARAMETER);
}
