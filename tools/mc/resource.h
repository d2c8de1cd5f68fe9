// tools/mc/resource.h - the binary message table of one language.
//
// Host-side build tool. Lays out a MESSAGE_RESOURCE_DATA as the platform's
// message-table resource holds it: a block count, blocks of consecutive ids
// in ascending order, then the entries, each a 4-byte header (length, flags)
// and NUL-terminated UTF-16 text padded to a multiple of 4 bytes. All
// numbers little-endian.
#pragma once

#include "tools/mc/source.h"

#include <cstdint>
#include <vector>

namespace mc {

// Languages that some message has text for, in the order they first appear.
std::vector<uint16_t> McLanguagesUsed(const McSource& source);

// The MESSAGE_RESOURCE_DATA of one language. Throws McError when an entry
// does not fit the 16-bit entry length.
std::vector<uint8_t> McBuildMessageResource(const McSource& source, uint16_t languageId);

} // namespace mc
