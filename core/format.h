// The source printer: canonical text of a module.
#pragma once

#include <cstdint>
#include <string>

#include "core/ast.h"

namespace quarvel {

class TextBuffer;

// Function headers longer than `width` bytes are broken, one line per parameter.
std::string format_module(const Module& module, std::uint64_t width);
// The same text, appended to `out`.
void format_module(const Module& module, std::uint64_t width, TextBuffer& out);

}  // namespace quarvel
