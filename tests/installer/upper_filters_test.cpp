// The driver in the Volume class upper filters: well-formed lists, case, and
// stored values that are not well formed.
#include "installer_fixture.h"

namespace {

// Stored values: the name matches in any case, and uninstall removes every
// copy. Malformed values must gain the name as a separate, properly ended
// string, and lose it again on uninstall, without reading or writing outside
// the stored bytes (the sanitizer builds check the latter).
struct StoredCase {
    const char* What;
    std::vector<UCHAR> Stored;
    ULONG Type;
    std::u16string Installed;   // the value after install
    std::u16string Uninstalled; // the value after uninstall
};

std::vector<UCHAR> Bytes(const std::u16string& Chars, int Extra = 0) {
    std::vector<UCHAR> b(reinterpret_cast<const UCHAR*>(Chars.data()),
                         reinterpret_cast<const UCHAR*>(Chars.data()) + Chars.size() * 2);
    for (int i = 0; i < Extra; ++i) {
        b.push_back(0x41);
    }
    return b;
}

using S = std::u16string;

TEST_F(Nt5Test, StoredValuesGainAndLoseTheNameOnceNeverOverrunOrGlued) {
    const StoredCase cases[] = {
        {"the name in another case", Bytes(S(u"A\0qvdnt\0B\0\0", 11)), REG_MULTI_SZ,
         S(u"A\0qvdnt\0B\0\0", 11), S(u"A\0B\0\0", 5)},
        {"several copies", Bytes(S(u"QVDNT\0A\0QvdNt\0\0", 15)), REG_MULTI_SZ,
         S(u"QVDNT\0A\0QvdNt\0\0", 15), S(u"A\0\0", 3)},
        {"an emptied list keeps its end", Bytes(S(u"QVDNT\0\0", 7)), REG_MULTI_SZ,
         S(u"QVDNT\0\0", 7), S(u"\0", 1)},
        {"empty value", {}, REG_MULTI_SZ, S(u"QVDNT\0\0", 7), S(u"\0", 1)},
        {"one byte", {0x41}, REG_MULTI_SZ, S(u"QVDNT\0\0", 7), S(u"\0", 1)},
        {"only the list's end", Bytes(S(u"\0", 1)), REG_MULTI_SZ, S(u"QVDNT\0\0", 7), S(u"\0", 1)},
        {"REG_SZ without any null", Bytes(u"Abc"), REG_SZ, S(u"Abc\0QVDNT\0\0", 11),
         S(u"Abc\0\0", 5)},
        {"REG_SZ with its null", Bytes(S(u"Abc\0", 4)), REG_SZ, S(u"Abc\0QVDNT\0\0", 11),
         S(u"Abc\0\0", 5)},
        {"list without its final null", Bytes(S(u"A\0Bc\0", 5)), REG_MULTI_SZ,
         S(u"A\0Bc\0QVDNT\0\0", 12), S(u"A\0Bc\0\0", 6)},
        {"odd byte count", Bytes(S(u"Abc\0\0", 5), 1), REG_MULTI_SZ, S(u"Abc\0QVDNT\0\0", 11),
         S(u"Abc\0\0", 5)},
        {"odd count cutting the last string", Bytes(S(u"Abc", 3), 1), REG_MULTI_SZ,
         S(u"Abc\0QVDNT\0\0", 11), S(u"Abc\0\0", 5)},
        {"data after the list's end", Bytes(S(u"A\0\0B\0\0", 6)), REG_MULTI_SZ,
         S(u"A\0QVDNT\0\0B\0\0", 12), S(u"A\0\0B\0\0", 6)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        StoreFilterBytes(c.Stored, c.Type);
        ASSERT_EQ(QVDInstall(1), 0);
        EXPECT_EQ(Filters().Type, c.Type) << "the stored type is kept";
        EXPECT_EQ(Filters().Data.size() % 2, 0u);
        EXPECT_EQ(Filters().Text(), c.Installed);
        ASSERT_EQ(QVDUninstall(1), 0);
        EXPECT_EQ(Filters().Text(), c.Uninstalled);
        EXPECT_FALSE(ServiceExists());
    }
}

TEST_F(Nt5Test, UninstallRemovesAnUnterminatedName) {
    ASSERT_EQ(QVDInstall(1), 0);
    StoreFilterBytes(Bytes(S(u"A\0QVDNT", 7)));
    ASSERT_EQ(QVDUninstall(1), 0);
    EXPECT_EQ(Filters().Text(), S(u"A\0\0", 3));
    StoreFilterBytes(Bytes(S(u"\0QVDNT\0\0", 8)));
    ASSERT_EQ(QVDInstall(1), 0);
    ASSERT_EQ(QVDUninstall(1), 0);
    EXPECT_EQ(Filters().Text().find(u"QVDNT"), std::u16string::npos)
        << "no copy survives, not even one stored after the list's end";
}

} // namespace
