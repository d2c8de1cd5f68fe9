// tools/mc/parser.h - reads message-compiler source.
//
// Host-side build tool. The syntax is the platform's: an optional header of
// MessageIdTypedef, SeverityNames, FacilityNames and LanguageNames, then
// messages, each a MessageId statement with optional Severity, Facility and
// SymbolicName, and one or more Language blocks of text ended by a line that
// holds a single '.'. Lines starting with ';' are comments copied to the
// header. Keywords are case-insensitive; text is UTF-8.
#pragma once

#include "tools/mc/source.h"

#include <string_view>

namespace mc {

// Parses a whole source. Throws McError naming the line of the first fault.
McSource McParse(std::string_view text, const std::string& fileName);

} // namespace mc
