// Flattening: calls inlined, loops unrolled, caches lowered, from one entry.
//
// A flattened function is a straight list of operations without `call` and
// `loop`. Inlined values are named by dotted paths: the call's first output
// (or "loop<i>" for iteration i, or a cache slot name), a dot, and the
// callee's own name, composed outermost first (h.t.u, h.loop0.u).
//
// Limits, each failing with its own message before any work is done for it:
//  - a function reaching itself through `call` or `loop` ops:
//      "call cycle: main -> block -> main"
//  - more than kMaxCallNesting nested inlinings:
//      "call nesting exceeds 256 levels at function 'f'"
//  - a loop count above kMaxFlatOps:
//      "loop count 99999999 exceeds the limit of 16777216 iterations"
//  - a flattened function of more than kMaxFlatOps operations:
//      "flattened function exceeds 16777216 operations"
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/ast.h"

namespace quarvel {

using CacheKeys = std::unordered_set<std::string>;

inline constexpr std::uint64_t kMaxFlatOps = std::uint64_t{1} << 24;
inline constexpr std::size_t kMaxCallNesting = 256;

// Names of a module, searched with string_view keys.
using NameSet = TextSet;
using NameMap = TextMap<std::string>;

// Names inlining never rewrites: every argument beginning "param.", and every
// argument that its own function also declares as a named dimension.
NameSet build_symbol_set(const Module& module);

// The body of `functions[name]` with calls inlined and loops unrolled.
std::vector<Op> flatten_function(const OrderedMap<Function>& functions, const NameSet& symbols,
                                 std::string_view name);

// The flattened callee of the `call` op `call`, renamed into the caller's
// names with `prefix` for the callee's locals.
std::vector<Op> inline_call(const OrderedMap<Function>& functions, const NameSet& symbols,
                            const Op& call, std::string_view prefix);

// The caller's name for the callee's `name`. `prefix_text` ends in a dot.
// When several wildcard parameters match (one named like another followed by
// a dot and more), the longest parameter name wins.
std::string rename_var(std::string_view name, const NameMap& bindings, const NameMap& wildcards,
                       std::string_view prefix_text, const NameSet& symbols);
Op rename_op(const Op& op, const NameMap& bindings, const NameMap& wildcards,
             std::string_view prefix_text, const NameSet& symbols);

// A cache op whose slot ends in ".*" gets the slot "<var>.<index>".
Op rename_cache_slot(Op op, std::uint64_t index);

// Each Str argument that is wholly a key of `substitution` becomes its value.
Args substitute_args(const Args& args, const NameMap& substitution);

// Extra inputs and outputs of the flattened entry that carry cache slots.
// The first registration of a name wins.
struct CacheIo {
  std::vector<Param> inputs;
  std::vector<Param> outputs;
  NameSet input_names;
  NameSet output_names;
};
void add_cache_input(CacheIo& io, std::string_view name, const TensorType& ty);
void add_cache_output(CacheIo& io, std::string_view name, const TensorType& ty);

// A new module holding only `entry`, flattened; `cache_keys` names the warm slots.
Module flatten_module(const Module& module, std::string_view entry, const CacheKeys& cache_keys);

}  // namespace quarvel
