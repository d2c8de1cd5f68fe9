// evlog/render.cpp - turns a message template and an entry's strings into
// the text the event viewer shows.
//
// Host side of the emulated event log; pure functions.
#include "ntos/evlog/evlp.h"

#include <cstdio>

std::u16string EvlpRenderMessage(std::u16string_view Template, std::u16string_view Source,
                                 const std::vector<std::u16string>& Strings) {
    std::u16string out;
    size_t i = 0;
    while (i < Template.size()) {
        const char16_t c = Template[i++];
        if (c != u'%' || i == Template.size()) {
            out.push_back(c);
            continue;
        }
        const char16_t k = Template[i];
        if (k >= u'1' && k <= u'9') {
            const size_t start = i - 1;
            unsigned number = k - u'0';
            ++i;
            if (i < Template.size() && Template[i] >= u'0' && Template[i] <= u'9')
                number = number * 10 + (Template[i++] - u'0');
            if (i < Template.size() && Template[i] == u'!') {
                const size_t close = Template.find(u'!', i + 1);
                if (close != std::u16string_view::npos)
                    i = close + 1;
            }
            if (number == 1)
                out += Source;
            else if (number - 2 < Strings.size())
                out += Strings[number - 2];
            else
                out += Template.substr(start, i - start);
            continue;
        }
        ++i;
        switch (k) {
        case u'0':
            return out;
        case u'n':
            out += u"\r\n";
            break;
        case u'r':
            out.push_back(u'\r');
            break;
        case u't':
            out.push_back(u'\t');
            break;
        default: // %% %. %! %space and any other character stand for themselves
            out.push_back(k);
            break;
        }
    }
    while (!out.empty() && (out.back() == u'\n' || out.back() == u'\r'))
        out.pop_back();
    return out;
}

std::u16string EvlpRenderFallback(NTSTATUS EventId, std::u16string_view Source,
                                  const std::vector<std::u16string>& Strings) {
    char id[16];
    std::snprintf(id, sizeof id, "%u", static_cast<unsigned>(EventId) & 0xFFFF);
    std::u16string out = u"The description for Event ID ( ";
    for (const char* p = id; *p; ++p)
        out.push_back(static_cast<char16_t>(*p));
    out += u" ) in Source ( ";
    out += Source;
    out += u" ) cannot be found.";
    if (!Strings.empty()) {
        out += u" The following information is part of the event: ";
        for (size_t s = 0; s < Strings.size(); ++s) {
            if (s != 0)
                out += u", ";
            out += Strings[s];
        }
        out += u".";
    }
    return out;
}

std::string EvlpToUtf8(std::u16string_view Text) {
    std::string out;
    for (size_t i = 0; i < Text.size(); ++i) {
        char32_t cp = Text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 &&
            Text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (Text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}
