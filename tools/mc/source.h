// tools/mc/source.h - the model of a message-compiler source file.
//
// Host-side build tool. The parser fills these records from a .mc file; the
// emitters turn them into a header of symbolic ids and a message table.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace mc {

// A malformed source: names the file and the 1-based line at fault.
class McError : public std::runtime_error {
  public:
    McError(const std::string& file, int line, const std::string& what)
        : std::runtime_error(file + ":" + std::to_string(line) + ": " + what), Line(line) {}
    int Line;
};

// A name of SeverityNames, FacilityNames or LanguageNames.
struct McName {
    std::string Name;
    uint32_t Value = 0;
    std::string Symbol; // #define emitted in the header when not empty; file
                        // base name for a language
};

struct McMessage {
    uint32_t Id = 0; // severity << 30 | facility << 16 | number
    std::string SymbolicName;
    std::string Typedef; // MessageIdTypedef in force at the message
    int Line = 0;        // of its MessageId statement
    // Text per language id, UTF-16, every line ended by CR LF, in the order
    // the languages appear in the source.
    std::vector<std::pair<uint16_t, std::u16string>> Texts;
};

struct McSource {
    std::string FileName;
    std::vector<McName> Severities;
    std::vector<McName> Facilities;
    std::vector<McName> Languages;
    // Comment lines (';' stripped) and messages, in source order, so the
    // header keeps the comments where the author put them.
    struct Item {
        bool IsComment = false;
        std::string Comment;
        size_t Message = 0; // index in Messages
    };
    std::vector<Item> Items;
    std::vector<McMessage> Messages;
};

} // namespace mc
