// Flattening straight to the JSON form of the flat module.
#pragma once

#include <string_view>

#include "core/ast.h"
#include "core/flatten.h"
#include "core/text_buffer.h"

namespace quarvel {

/// Appends to `out` the text of
/// write_module_json(flatten_module(module, entry, cache_keys)), failing as
/// flatten_module does (after a failure `out` may hold part of the text).
/// The flat operations are written as they are made and never held: their
/// text goes out first, and the part before them (the header comments and
/// the entry's signature, which cache lowering completes only at the end) is
/// put in front of them at the end, in one move within `out`.
void write_flat_json(const Module& module, std::string_view entry, const CacheKeys& cache_keys,
                     TextBuffer& out);

}  // namespace quarvel
