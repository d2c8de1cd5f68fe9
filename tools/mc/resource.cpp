// tools/mc/resource.cpp - lays out the binary message table of one language.
//
// Host-side build tool; see resource.h for the layout.
#include "tools/mc/resource.h"

#include <algorithm>

namespace mc {
namespace {

constexpr uint16_t kMessageResourceUnicode = 0x0001;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v));
    Put16(out, static_cast<uint16_t>(v >> 16));
}

} // namespace

std::vector<uint16_t> McLanguagesUsed(const McSource& source) {
    std::vector<uint16_t> used;
    for (const McMessage& m : source.Messages)
        for (const auto& t : m.Texts)
            if (std::find(used.begin(), used.end(), t.first) == used.end())
                used.push_back(t.first);
    return used;
}

std::vector<uint8_t> McBuildMessageResource(const McSource& source, uint16_t languageId) {
    struct Entry {
        uint32_t Id;
        const std::u16string* Text;
        int Line;
    };
    std::vector<Entry> entries;
    for (const McMessage& m : source.Messages)
        for (const auto& t : m.Texts)
            if (t.first == languageId)
                entries.push_back({m.Id, &t.second, m.Line});
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.Id < b.Id; });

    // Runs of consecutive ids: [first, last) indexes into entries.
    std::vector<std::pair<size_t, size_t>> blocks;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (blocks.empty() || entries[i].Id != entries[i - 1].Id + 1)
            blocks.emplace_back(i, i + 1);
        else
            blocks.back().second = i + 1;
    }

    std::vector<uint8_t> out;
    Put32(out, static_cast<uint32_t>(blocks.size()));
    uint32_t offset = static_cast<uint32_t>(4 + 12 * blocks.size());
    std::vector<uint16_t> lengths;
    for (const Entry& e : entries) {
        const size_t length = (4 + (e.Text->size() + 1) * 2 + 3) & ~size_t{3};
        if (length > 0xFFFF)
            throw McError(source.FileName, e.Line,
                          "message text is too long for a message table entry");
        lengths.push_back(static_cast<uint16_t>(length));
    }
    for (const auto& [first, last] : blocks) {
        Put32(out, entries[first].Id);
        Put32(out, entries[last - 1].Id);
        Put32(out, offset);
        for (size_t i = first; i < last; ++i)
            offset += lengths[i];
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t start = out.size();
        Put16(out, lengths[i]);
        Put16(out, kMessageResourceUnicode);
        for (char16_t c : *entries[i].Text)
            Put16(out, static_cast<uint16_t>(c));
        while (out.size() - start < lengths[i])
            out.push_back(0);
    }
    return out;
}

} // namespace mc
