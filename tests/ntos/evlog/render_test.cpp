// Rendering of message texts as the event viewer shows them.
#include "ntos/evlog/evlp.h"

#include <gtest/gtest.h>

TEST(RenderMessage, InsertionsAndEscapes) {
    const std::vector<std::u16string> s = {u"two", u"three"};
    struct Case {
        const char16_t* Template;
        const char16_t* Expected;
    } cases[] = {
        {u"%1 said %2 and %3.\r\n", u"QVDNT said two and three."},
        {u"%3%2%1", u"threetwoQVDNT"},
        {u"%4 and %12 stay\r\n", u"%4 and %12 stay"},
        {u"%2!s! fmt skipped", u"two fmt skipped"},
        {u"100%% %. %! %t%r%n end", u"100% . ! \t\r\r\n end"},
        {u"cut here%0 not shown", u"cut here"},
        {u"line one\r\nline two\r\n", u"line one\r\nline two"},
        {u"trailing %", u"trailing %"},
        {u"%2 is not reread %3", u"two is not reread three"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EvlpRenderMessage(c.Template, u"QVDNT", s), c.Expected) << EvlpToUtf8(c.Template);
    EXPECT_EQ(EvlpRenderMessage(u"%2%3", u"S", {u"%3", u"x"}), u"%3x")
        << "strings are not expanded again";
}

TEST(RenderMessage, FallbackNamesEventAndStrings) {
    EXPECT_EQ(EvlpRenderFallback((NTSTATUS)0xC777000A, u"QVDNT", {}),
              u"The description for Event ID ( 10 ) in Source ( QVDNT ) cannot be found.");
}

TEST(RenderMessage, Utf8Output) {
    EXPECT_EQ(EvlpToUtf8(u"a\u00e9\u20ac\U0001F600"), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(EvlpToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}
