// Tests of the message compiler's reader: ids, defaults, text, and the
// errors (with their line numbers) for malformed sources.
#include "tools/mc/parser.h"

#include <gtest/gtest.h>

using mc::McError;
using mc::McParse;
using mc::McSource;

namespace {

const char* const kHeader = "MessageIdTypedef=NTSTATUS\n"
                            "SeverityNames=(Success=0x0 Informational=0x1\n"
                            "               Warning=0x2 Error=0x3)\n"
                            "FacilityNames=(Qvd=0x777:FACILITY_QVD)\n"
                            "LanguageNames=(English=0x409:MSG00409 German=0x407:MSG00407)\n";

// Line number of the error a source raises, or 0 when it parses.
int ErrorLine(const std::string& text, std::string* what = nullptr) {
    try {
        McParse(text, "t.mc");
    } catch (const McError& e) {
        if (what)
            *what = e.what();
        return e.Line;
    }
    return 0;
}

} // namespace

TEST(McParser, IdsCombineSeverityFacilityAndNumber) {
    const McSource s = McParse(std::string(kHeader) +
                                   "MessageId=0x6\nSeverity=Informational\nFacility=Qvd\n"
                                   "SymbolicName=LOADED\nLanguage=English\nLoaded.\n.\n"
                                   "MessageId=0xB\nSeverity=Warning\nSymbolicName=GEOMETRY\n"
                                   "Language=English\nGeometry.\n.\n"
                                   "MessageId=0xA\nSeverity=Error\nLanguage=English\nLost.\n.\n",
                               "t.mc");
    ASSERT_EQ(s.Messages.size(), 3u);
    EXPECT_EQ(s.Messages[0].Id, 0x47770006u);
    // Facility carries over from the previous message.
    EXPECT_EQ(s.Messages[1].Id, 0x8777000Bu);
    EXPECT_EQ(s.Messages[2].Id, 0xC777000Au);
    EXPECT_EQ(s.Messages[0].SymbolicName, "LOADED");
    EXPECT_EQ(s.Messages[0].Typedef, "NTSTATUS");
}

TEST(McParser, DefaultsAreSuccessApplicationAndNextNumberPerFacility) {
    const McSource s = McParse("MessageId=\nLanguage=English\nA\n.\n"
                               "MessageId=\nLanguage=English\nB\n.\n"
                               "MessageId=+5\nLanguage=English\nC\n.\n"
                               "MessageId=\nFacility=System\nLanguage=English\nD\n.\n",
                               "t.mc");
    ASSERT_EQ(s.Messages.size(), 4u);
    EXPECT_EQ(s.Messages[0].Id, 0x0FFF0001u);
    EXPECT_EQ(s.Messages[1].Id, 0x0FFF0002u);
    EXPECT_EQ(s.Messages[2].Id, 0x0FFF0007u);
    EXPECT_EQ(s.Messages[3].Id, 0x00FF0001u) << "numbering is kept per facility";
}

TEST(McParser, TextKeepsLinesWithCrLfAndConvertsUtf8) {
    const McSource s = McParse(
        std::string(kHeader) + "MessageId=1\r\nLanguage=English\r\nfirst %2\r\n\r\nthird .\r\n.\r\n"
                               "Language=German\nGr\xC3\xBC\xC3\x9F"
                               "e \xF0\x9F\x98\x80\n.  \n",
        "t.mc");
    ASSERT_EQ(s.Messages[0].Texts.size(), 2u);
    EXPECT_EQ(s.Messages[0].Texts[0].first, 0x409);
    EXPECT_EQ(s.Messages[0].Texts[0].second, u"first %2\r\n\r\nthird .\r\n");
    EXPECT_EQ(s.Messages[0].Texts[1].first, 0x407);
    EXPECT_EQ(s.Messages[0].Texts[1].second, u"Grüße \U0001F600\r\n");
}

TEST(McParser, CommentsAndKeywordsAnyCase) {
    const McSource s = McParse(";// top\nmessageid=2\nLANGUAGE=english\nx\n.\n;// after\n", "t.mc");
    ASSERT_EQ(s.Items.size(), 3u);
    EXPECT_TRUE(s.Items[0].IsComment);
    EXPECT_EQ(s.Items[0].Comment, "// top");
    EXPECT_FALSE(s.Items[1].IsComment);
    EXPECT_EQ(s.Items[2].Comment, "// after");
}

TEST(McParser, MalformedSourcesNameTheLine) {
    struct Case {
        const char* Text;
        int Line;
        const char* Says;
    } cases[] = {
        {"MessageId=1\nSeverity=Fatal\nLanguage=English\nx\n.\n", 2,
         "unknown severity name 'Fatal'"},
        {"MessageId=1\nLanguage=Klingon\nx\n.\n", 2, "unknown language name"},
        {"MessageId=1\nLanguage=English\nnever ended\n", 2, "not ended by a line holding '.'"},
        {"MessageId=0x10000\nLanguage=English\nx\n.\n", 1, "does not fit"},
        {"MessageId=1\nLanguage=English\nx\n.\nMessageId=1\nLanguage=English\ny\n.\n", 5,
         "already used by the message at line 1"},
        {"MessageId=1\nSymbolicName=A\nLanguage=English\nx\n.\n"
         "MessageId=2\nSymbolicName=A\nLanguage=English\ny\n.\n",
         6, "symbolic name A is already used"},
        {"Language=English\nx\n.\n", 1, "outside a message"},
        {"MessageId=1\nLanguage=English\nx\n.\nSeverity=Error\n", 5,
         "before the message's first Language"},
        {"MessageId=1\n\nFacility=Qvd\n", 3, "unknown facility name 'Qvd'"},
        {"MessageId=1\n", 1, "message has no Language= text"},
        {"SeverityNames=(Bad=0x4)\n", 1, "does not fit"},
        {"FacilityNames=(Big=0x1000)\n", 1, "does not fit"},
        {"FacilityNames=(Qvd=0x777\n", 2, "not closed by ')'"},
        {"LanguageNames=(English=0x409)\n", 1, "needs a file name"},
        {"MessageId=1\nLanguage=English\nx\n.\nLanguageNames=(German=0x407:MSG00407)\n", 5,
         "before the first message"},
        {"MessageId=1\nLanguage=English\nok\n\xC3(\n.\n", 4, "not valid UTF-8"},
        {"MessageId=1\nLanguage=English\nok\n\xE2\x82\n.\n", 4, "not valid UTF-8"},
        {"Bogus=1\n", 1, "unknown keyword 'Bogus'"},
        {"MessageId 1\n", 1, "expected '='"},
        {"OutputBase=16\n", 1, "not supported"},
        {"MessageId=1\nLanguage=English trailing\nx\n.\n", 2, "text must start on the line after"},
    };
    for (const Case& c : cases) {
        std::string what;
        EXPECT_EQ(ErrorLine(c.Text, &what), c.Line) << c.Text << "\n -> " << what;
        EXPECT_NE(what.find(c.Says), std::string::npos)
            << "got: " << what << "\nexpected: " << c.Says;
        EXPECT_EQ(what.rfind("t.mc:", 0), 0u) << what;
    }
}
