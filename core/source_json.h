// Source text straight to the JSON form of its module.
#pragma once

#include <string_view>

#include "core/text_buffer.h"

namespace quarvel {

/// Appends to `out` the text of write_module_json(parse_source(source)),
/// failing as parse_source does. Each function is written as soon as it is
/// read and dropped after, so that the module is never held whole; a source
/// that names a function twice (the later replaces the earlier where that
/// stood) is read again whole, after the text written so far is cut.
void write_source_json(std::string_view source, TextBuffer& out);

}  // namespace quarvel
