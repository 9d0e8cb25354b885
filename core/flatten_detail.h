// Inside flattening: its steps one at a time, for the tests, and the record of
// the cache slots that lowering adds to the entry's signature. Every other
// caller goes through core/flatten.h.
//
// Values returned here live in the context passed in (or in the context of
// the module passed in), which must outlive them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/ast.h"
#include "core/flatten.h"

namespace quarvel {

// The bytes of new names a flattening made, and the lower bound on them that
// its plan worked out before.
struct FlatNameBytes {
  std::uint64_t planned = 0;
  std::uint64_t made = 0;
};

// flatten_module with room for only `max_name_bytes` bytes of new names, so
// that a test can reach that bound; the failure names the real bound. With
// `name_bytes`, notes what was planned and made.
Module flatten_module(const Module& module, std::string_view entry, const CacheKeys& cache_keys,
                      std::uint64_t max_name_bytes, FlatNameBytes* name_bytes = nullptr);

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

// The distinct names of a list of cache slots, in the order they came, with
// their bytes copied one after another into a buffer of the set's own, so
// that comparing names reads that buffer and not texts spread over the
// result. Lookups go through an open-addressing table of positions, probed
// linearly and at most half full; each entry keeps the high half of its
// name's hash and starts its probe at the low bits of that half, so that
// probing past other names and growing the table read no text. The slots of
// an unrolled loop come again in the same order (in the next loop over the
// same body, say): a name is compared first with the one that followed the
// name met last, which spares those repeats the table.
class SlotNames {
 public:
  // Adds `name` unless it is there; whether it was new.
  bool insert(std::string_view name);
  bool contains(std::string_view name) const;

  std::size_t size() const { return ends_.size(); }
  std::string_view operator[](std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }

 private:
  // The entry of `name`, or the free entry where it would go.
  std::size_t entry_of(std::string_view name, std::uint32_t tag) const;
  void grow();

  std::string bytes_;              // the names one after another
  std::vector<std::size_t> ends_;  // by position: where its name ends in bytes_
  // By entry: the tag in the high half, the position plus one in the low
  // half; 0 when free. A flat body has at most kMaxFlatOps cache ops, so the
  // position fits.
  std::vector<std::uint64_t> table_;
  std::size_t next_ = 0;  // the position after the name met last
};

// Extra inputs and outputs of the flattened entry that carry cache slots.
// The first registration of a name wins. The names of the params are the
// texts registered, which must outlive the record.
struct CacheIo {
  std::vector<Param> inputs;
  std::vector<Param> outputs;
  SlotNames input_names;
  SlotNames output_names;
};
void add_cache_input(CacheIo& io, Text name, TypeRef ty);
void add_cache_output(CacheIo& io, Text name, TypeRef ty);

}  // namespace quarvel
