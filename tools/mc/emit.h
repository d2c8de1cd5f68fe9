// tools/mc/emit.h - writes the compiler's outputs.
//
// Host-side build tool. The header defines the symbolic names of the source
// (message ids, and the severity and facility names given a symbol); the
// table source defines a MESSAGE_TABLE_RESOURCE holding one binary message
// table per language, for the image that carries it.
#pragma once

#include "tools/mc/source.h"

#include <string>

namespace mc {

std::string McEmitHeader(const McSource& source);

// `tableName` is the C++ name of the MESSAGE_TABLE_RESOURCE defined.
std::string McEmitTableSource(const McSource& source, const std::string& tableName);

} // namespace mc
