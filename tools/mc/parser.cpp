// tools/mc/parser.cpp - reads message-compiler source into an McSource.
//
// Host-side build tool. Statements are keyword=value pairs separated by white
// space, line breaks included; a Language statement ends its line and the
// following lines are message text up to a line holding a single '.'.
#include "tools/mc/parser.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>

namespace mc {
namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool IsIdentifier(std::string_view s) {
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0])))
        return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

// Appends the UTF-16 form of one UTF-8 line; false on a malformed sequence.
bool AppendUtf16(std::string_view utf8, std::u16string& out) {
    size_t i = 0;
    while (i < utf8.size()) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        uint32_t cp;
        size_t extra;
        if (b0 < 0x80) {
            cp = b0;
            extra = 0;
        } else if ((b0 & 0xE0) == 0xC0) {
            cp = b0 & 0x1F;
            extra = 1;
        } else if ((b0 & 0xF0) == 0xE0) {
            cp = b0 & 0x0F;
            extra = 2;
        } else if ((b0 & 0xF8) == 0xF0) {
            cp = b0 & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= utf8.size() && extra > 0)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return true;
}

class Parser {
  public:
    Parser(std::string_view text, const std::string& fileName) : text_(text) {
        src_.FileName = fileName;
        src_.Severities = {
            {"Success", 0, ""}, {"Informational", 1, ""}, {"Warning", 2, ""}, {"Error", 3, ""}};
        src_.Facilities = {{"System", 0x0FF, ""}, {"Application", 0xFFF, ""}};
        src_.Languages = {{"English", 0x409, "MSG00001"}};
    }

    McSource Run() {
        while (NextToken()) {
            const int line = line_;
            const std::string written = ReadKeyword();
            const std::string keyword = Lower(written);
            if (keyword == "messageidtypedef") {
                const std::string v = ReadValue(true);
                if (!v.empty() && !IsIdentifier(v))
                    Fail(line, "MessageIdTypedef needs a type name, got '" + v + "'");
                typedef_ = v;
            } else if (keyword == "severitynames") {
                NamesAllowedHere(line, "SeverityNames");
                ReadNameList(src_.Severities, 0x3, "severity");
            } else if (keyword == "facilitynames") {
                NamesAllowedHere(line, "FacilityNames");
                ReadNameList(src_.Facilities, 0xFFF, "facility");
            } else if (keyword == "languagenames") {
                NamesAllowedHere(line, "LanguageNames");
                ReadNameList(src_.Languages, 0xFFFF, "language");
            } else if (keyword == "outputbase") {
                Fail(line, "OutputBase is not supported by this compiler");
            } else if (keyword == "messageid") {
                FinishMessage();
                StartMessage(line, ReadValue(true));
            } else if (keyword == "severity") {
                MessageHeaderStatement(line, "Severity");
                severity_ = Lookup(src_.Severities, ReadValue(false), line, "severity");
            } else if (keyword == "facility") {
                MessageHeaderStatement(line, "Facility");
                facility_ = Lookup(src_.Facilities, ReadValue(false), line, "facility");
            } else if (keyword == "symbolicname") {
                MessageHeaderStatement(line, "SymbolicName");
                const std::string v = ReadValue(false);
                if (!IsIdentifier(v))
                    Fail(line, "SymbolicName needs a C identifier, got '" + v + "'");
                current_->SymbolicName = v;
            } else if (keyword == "language") {
                if (!current_)
                    Fail(line,
                         "Language= outside a message (a MessageId statement must come first)");
                ReadLanguageBlock(line);
            } else {
                Fail(line, "unknown keyword '" + written + "'");
            }
        }
        FinishMessage();
        return std::move(src_);
    }

  private:
    [[noreturn]] void Fail(int line, const std::string& what) const {
        throw McError(src_.FileName, line, what);
    }

    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return text_[pos_]; }

    void Advance() {
        if (text_[pos_] == '\n')
            ++line_;
        ++pos_;
    }

    void SkipBlanks() {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\r'))
            Advance();
    }

    std::string_view RestOfLine() {
        const size_t start = pos_;
        while (!AtEnd() && Peek() != '\n')
            ++pos_;
        std::string_view s = text_.substr(start, pos_ - start);
        if (!AtEnd())
            Advance();
        if (!s.empty() && s.back() == '\r')
            s.remove_suffix(1);
        return s;
    }

    // Moves to the next statement, collecting comment lines on the way.
    // False at the end of the input.
    bool NextToken() {
        for (;;) {
            while (!AtEnd() && std::isspace(static_cast<unsigned char>(Peek())))
                Advance();
            if (AtEnd())
                return false;
            if (Peek() != ';')
                return true;
            Advance();
            McSource::Item item;
            item.IsComment = true;
            item.Comment = std::string(RestOfLine());
            src_.Items.push_back(std::move(item));
        }
    }

    std::string ReadKeyword() {
        const int line = line_;
        const size_t start = pos_;
        while (!AtEnd() && (std::isalnum(static_cast<unsigned char>(Peek())) || Peek() == '_'))
            Advance();
        std::string keyword(text_.substr(start, pos_ - start));
        if (keyword.empty())
            Fail(line, std::string("expected a keyword, found '") + Peek() + "'");
        SkipBlanks();
        if (AtEnd() || Peek() != '=')
            Fail(line, "expected '=' after '" + keyword + "'");
        Advance();
        SkipBlanks();
        return keyword;
    }

    // The value after '=': a run of non-blank characters on the same line.
    std::string ReadValue(bool mayBeEmpty) {
        const int line = line_;
        const size_t start = pos_;
        while (!AtEnd() && !std::isspace(static_cast<unsigned char>(Peek())))
            Advance();
        std::string v(text_.substr(start, pos_ - start));
        if (v.empty() && !mayBeEmpty)
            Fail(line, "missing value");
        return v;
    }

    uint32_t ParseNumber(const std::string& v, int line, uint32_t max, const char* what) const {
        if (v.empty() || !std::isdigit(static_cast<unsigned char>(v[0])))
            Fail(line, std::string("expected a number for the ") + what + ", got '" + v + "'");
        errno = 0;
        char* end = nullptr;
        const unsigned long long n = std::strtoull(v.c_str(), &end, 0);
        if (errno != 0 || *end != '\0')
            Fail(line, std::string("malformed number '") + v + "' for the " + what);
        if (n > max)
            Fail(line, std::string("the ") + what + " " + v + " does not fit (largest is " +
                           std::to_string(max) + ")");
        return static_cast<uint32_t>(n);
    }

    void NamesAllowedHere(int line, const char* keyword) const {
        if (!src_.Messages.empty() || current_)
            Fail(line, std::string(keyword) + " must come before the first message");
    }

    // (name=number[:symbol] ...), possibly over several lines.
    void ReadNameList(std::vector<McName>& list, uint32_t max, const char* what) {
        if (AtEnd() || Peek() != '(')
            Fail(line_, std::string("expected '(' to open the ") + what + " names");
        Advance();
        for (;;) {
            while (!AtEnd() && std::isspace(static_cast<unsigned char>(Peek())))
                Advance();
            if (AtEnd())
                Fail(line_, std::string("the ") + what + " names are not closed by ')'");
            if (Peek() == ')') {
                Advance();
                return;
            }
            const int line = line_;
            const size_t start = pos_;
            while (!AtEnd() && !std::isspace(static_cast<unsigned char>(Peek())) && Peek() != ')')
                Advance();
            const std::string entry(text_.substr(start, pos_ - start));
            const size_t eq = entry.find('=');
            if (eq == std::string::npos)
                Fail(line, std::string("expected name=number in the ") + what + " names, got '" +
                               entry + "'");
            McName name;
            name.Name = entry.substr(0, eq);
            const size_t colon = entry.find(':', eq);
            const std::string number = entry.substr(
                eq + 1, colon == std::string::npos ? std::string::npos : colon - eq - 1);
            name.Value = ParseNumber(number, line, max, what);
            if (colon != std::string::npos)
                name.Symbol = entry.substr(colon + 1);
            if (!IsIdentifier(name.Name) ||
                (colon != std::string::npos && !IsIdentifier(name.Symbol)))
                Fail(line, std::string("malformed ") + what + " name '" + entry + "'");
            if (max == 0xFFFF && name.Symbol.empty())
                Fail(line, "language '" + name.Name + "' needs a file name (name=number:file)");
            auto old = std::find_if(list.begin(), list.end(), [&](const McName& n) {
                return Lower(n.Name) == Lower(name.Name);
            });
            if (old != list.end())
                *old = name;
            else
                list.push_back(name);
        }
    }

    const McName* Find(const std::vector<McName>& list, const std::string& name) const {
        for (const McName& n : list)
            if (Lower(n.Name) == Lower(name))
                return &n;
        return nullptr;
    }

    uint32_t Lookup(const std::vector<McName>& list, const std::string& name, int line,
                    const char* what) const {
        const McName* n = Find(list, name);
        if (!n)
            Fail(line, std::string("unknown ") + what + " name '" + name + "'");
        return n->Value;
    }

    void MessageHeaderStatement(int line, const char* keyword) const {
        if (!current_)
            Fail(line, std::string(keyword) +
                           "= outside a message (a MessageId statement must come first)");
        if (!current_->Texts.empty())
            Fail(line, std::string(keyword) + "= must come before the message's first Language=");
    }

    void StartMessage(int line, const std::string& value) {
        current_ = McMessage{};
        current_->Line = line;
        current_->Typedef = typedef_;
        pendingId_ = value;
        // The message takes its place among the comments where it starts.
        McSource::Item item;
        item.Message = src_.Messages.size();
        src_.Items.push_back(item);
    }

    // Called once a message's Severity and Facility are known: its first
    // Language statement fixes the id.
    void AssignId() {
        uint32_t& last = lastByFacility_[facility_];
        uint32_t number;
        if (pendingId_.empty())
            number = last + 1;
        else if (pendingId_[0] == '+')
            number = last + ParseNumber(pendingId_.substr(1), current_->Line, 0xFFFF, "message id");
        else
            number = ParseNumber(pendingId_, current_->Line, 0xFFFF, "message id");
        if (number > 0xFFFF)
            Fail(current_->Line,
                 "message id " + std::to_string(number) + " does not fit in 16 bits");
        last = number;
        current_->Id = severity_ << 30 | facility_ << 16 | number;
    }

    void ReadLanguageBlock(int line) {
        const std::string name = ReadValue(false);
        const McName* lang = Find(src_.Languages, name);
        if (!lang)
            Fail(line, "unknown language name '" + name + "'");
        SkipBlanks();
        if (!AtEnd() && Peek() != '\n')
            Fail(line, "text must start on the line after Language=" + name);
        if (!AtEnd())
            Advance();
        if (current_->Texts.empty())
            AssignId();
        const auto id = static_cast<uint16_t>(lang->Value);
        for (const auto& t : current_->Texts)
            if (t.first == id)
                Fail(line, "language '" + name + "' given twice for this message");
        std::u16string text;
        for (;;) {
            if (AtEnd())
                Fail(line, "text of language '" + name + "' is not ended by a line holding '.'");
            const int textLine = line_;
            std::string_view s = RestOfLine();
            std::string_view trimmed = s;
            while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\t'))
                trimmed.remove_suffix(1);
            if (trimmed == ".")
                break;
            if (!AppendUtf16(s, text))
                Fail(textLine, "text is not valid UTF-8");
            text += u"\r\n";
        }
        current_->Texts.emplace_back(id, std::move(text));
    }

    void FinishMessage() {
        if (!current_)
            return;
        McMessage& m = *current_;
        if (m.Texts.empty())
            Fail(m.Line, "message has no Language= text");
        for (const McMessage& other : src_.Messages) {
            if (other.Id == m.Id)
                Fail(m.Line, "message id " + Hex(m.Id) +
                                 " is already used by the message at line " +
                                 std::to_string(other.Line));
            if (!m.SymbolicName.empty() && other.SymbolicName == m.SymbolicName)
                Fail(m.Line, "symbolic name " + m.SymbolicName +
                                 " is already used by the message at line " +
                                 std::to_string(other.Line));
        }
        src_.Messages.push_back(std::move(m));
        current_.reset();
    }

    static std::string Hex(uint32_t v) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X", v);
        return buf;
    }

    std::string_view text_;
    size_t pos_ = 0;
    int line_ = 1;
    McSource src_;
    std::string typedef_;
    uint32_t severity_ = 0;     // Success until a message names another
    uint32_t facility_ = 0xFFF; // Application until a message names another
    std::map<uint32_t, uint32_t> lastByFacility_;
    std::optional<McMessage> current_;
    std::string pendingId_;
};

} // namespace

McSource McParse(std::string_view text, const std::string& fileName) {
    return Parser(text, fileName).Run();
}

} // namespace mc
