// Inside flattening: its steps one at a time, for the tests, and the record of
// the cache slots that lowering adds to the entry's signature. Every other
// caller goes through core/flatten.h.
//
// Values returned here live in the context passed in (or in the context of
// the module passed in), which must outlive them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/ast.h"
#include "core/flatten.h"

namespace quarvel {

// flatten_module with room for only `max_name_bytes` bytes of new names, so
// that a test can reach that bound; the failure names the real bound.
Module flatten_module(const Module& module, std::string_view entry, const CacheKeys& cache_keys,
                      std::uint64_t max_name_bytes);

// Names of a module, searched with string_view keys.
using NameSet = TextSet;
using NameMap = TextMap<std::string>;

// Names inlining never rewrites: every argument beginning "param.", and every
// argument that its own function also declares as a named dimension.
NameSet build_symbol_set(const Module& module);

// The body of `module.functions[name]` with calls inlined and loops unrolled;
// cache ops stay as they are.
std::vector<Op> flatten_function(const Module& module, const NameSet& symbols,
                                 std::string_view name);

// The flattened callee of the `call` op `call`, renamed into the caller's
// names with `prefix` for the callee's locals.
std::vector<Op> inline_call(const Module& module, const NameSet& symbols, const Op& call,
                            std::string_view prefix);

// The caller's name for the callee's `name`. `prefix_text` ends in a dot.
// When several wildcard parameters match (one named like another followed by
// a dot and more), the longest parameter name wins.
std::string rename_var(std::string_view name, const NameMap& bindings, const NameMap& wildcards,
                       std::string_view prefix_text, const NameSet& symbols);
Op rename_op(Context& ctx, const Op& op, const NameMap& bindings, const NameMap& wildcards,
             std::string_view prefix_text, const NameSet& symbols);

// A cache op whose slot ends in ".*" gets the slot "<var>.<index>".
Op rename_cache_slot(Context& ctx, Op op, std::uint64_t index);

// Each Str argument that is wholly a key of `substitution` becomes its value.
Args substitute_args(Context& ctx, const Args& args, const NameMap& substitution);

// Extra inputs and outputs of the flattened entry that carry cache slots.
// The first registration of a name wins. The names of the params are the
// texts registered, which must outlive the record.
struct CacheIo {
  std::vector<Param> inputs;
  std::vector<Param> outputs;
  NameSet input_names;
  NameSet output_names;
};
void add_cache_input(CacheIo& io, Text name, TypeRef ty);
void add_cache_output(CacheIo& io, Text name, TypeRef ty);

}  // namespace quarvel
