// Tests of the binary message table the compiler lays out.
#include "tools/mc/emit.h"
#include "tools/mc/parser.h"
#include "tools/mc/resource.h"

#include <gtest/gtest.h>

using namespace mc;

namespace {

uint32_t U32(const std::vector<uint8_t>& d, size_t at) {
    return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | uint32_t(d[at + 3]) << 24;
}

uint16_t U16(const std::vector<uint8_t>& d, size_t at) {
    return static_cast<uint16_t>(d[at] | d[at + 1] << 8);
}

const char* const kSource = "FacilityNames=(Qvd=0x777:FACILITY_QVD)\n"
                            "LanguageNames=(English=0x409:MSG00409 German=0x407:MSG00407)\n"
                            "MessageId=3\nSeverity=Error\nFacility=Qvd\nSymbolicName=C3\n"
                            "Language=English\nabc\n.\nLanguage=German\nxyz\n.\n"
                            "MessageId=1\nSeverity=Informational\nSymbolicName=I1\n"
                            "Language=English\nI\n.\n"
                            "MessageId=2\nSeverity=Error\nLanguage=English\nde\n.\n";

} // namespace

TEST(McResource, BlocksGroupConsecutiveIdsInAscendingOrder) {
    const McSource s = McParse(kSource, "t.mc");
    const std::vector<uint8_t> d = McBuildMessageResource(s, 0x409);
    // 0x47770001 alone, then 0xC7770002..0xC7770003.
    ASSERT_EQ(U32(d, 0), 2u);
    EXPECT_EQ(U32(d, 4), 0x47770001u);
    EXPECT_EQ(U32(d, 8), 0x47770001u);
    EXPECT_EQ(U32(d, 12), 4u + 2 * 12);
    EXPECT_EQ(U32(d, 16), 0xC7770002u);
    EXPECT_EQ(U32(d, 20), 0xC7770003u);

    // "I\r\n" + NUL = 4 code units: 4 + 8 = 12 bytes, already a multiple of 4.
    size_t at = U32(d, 12);
    EXPECT_EQ(U16(d, at), 12u);
    EXPECT_EQ(U16(d, at + 2), 1u) << "entries are UTF-16";
    EXPECT_EQ(U16(d, at + 4), 'I');
    EXPECT_EQ(U16(d, at + 10), 0u);
    // The second block's entries follow: "de\r\n" + NUL = 5 units, 14 bytes, padded to 16.
    EXPECT_EQ(U32(d, 24), at + 12);
    at += 12;
    EXPECT_EQ(U16(d, at), 16u);
    EXPECT_EQ(U16(d, at + 14), 0u);
    at += 16;
    EXPECT_EQ(U16(d, at), 4u + 12);
    EXPECT_EQ(U16(d, at + 4), 'a');
    EXPECT_EQ(d.size(), at + 16);
}

TEST(McResource, EachLanguageHoldsOnlyItsOwnMessages) {
    const McSource s = McParse(kSource, "t.mc");
    EXPECT_EQ(McLanguagesUsed(s), (std::vector<uint16_t>{0x409, 0x407}));
    const std::vector<uint8_t> d = McBuildMessageResource(s, 0x407);
    ASSERT_EQ(U32(d, 0), 1u);
    EXPECT_EQ(U32(d, 4), 0xC7770003u);
    EXPECT_EQ(U16(d, U32(d, 12) + 4), 'x');
}

// The header and table source the driver's build compiles are checked there:
// the header against the copy beside the source, the table by the event log's
// tests of the driver's messages.
TEST(McEmit, TableSourceRefusesAnEmptySource) {
    EXPECT_THROW(McEmitTableSource(McParse(";// nothing\n", "t.mc"), "T"), McError);
}
