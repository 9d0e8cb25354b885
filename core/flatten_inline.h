// Inlining: the flat body of a function, built from the flat bodies of its
// callees, each renamed at its site.
//
// A callee's flat body is built once, kept in a compact form (the ops it
// copies, by address, and its names as numbers into a table of its own) and
// dropped after its last use. A site binds the callee's parameters to its
// arguments and renames the names of that table, each once, by rules worked
// out per callee and per shape of site (how many arguments, which of them
// are names), so a site costs what its callee's flat body holds, not what its
// signature declares. The entry's flat body is handed op by op to a sink
// (core/flatten.h); everything else stays in scratch storage.
//
// The module must have been planned (flatten_plan.h) for the same entry
// first: inlining relies on the checks made there and does not repeat them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/ast.h"
#include "core/flatten.h"
#include "core/flatten_plan.h"

namespace quarvel::flat {

class CacheLowering;

/// Every argument beginning "param.", and every argument that its own
/// function also declares as a named dimension: views of the module's texts.
Symbols module_symbols(const Module& module);

/// What inlining reads: the module's functions, the symbols, the uses the
/// planner counted, the context that receives the result's new texts, and
/// how many bytes of new names it may make in all (kMaxFlatNameBytes).
struct InlineInputs {
  const OrderedMap<Function>& functions;
  const Symbols& symbols;
  const Planner::Uses& uses;
  Context& out;
  std::uint64_t max_name_bytes;
};

/// Hands to `ops` the flat body of `fn`, planned as the entry; with
/// `lowering`, each cache op of that body is lowered where it stands.
/// Returns the bytes of new names made.
std::uint64_t emit_flat(const InlineInputs& in, const Function& fn, FlatOpSink& ops,
               CacheLowering* lowering);

/// Hands to `ops` the flat body of the target of the call op `call`, bound
/// to it, with `prefix` for its locals.
void emit_call(const InlineInputs& in, const Op& call, std::string_view prefix, FlatOpSink& ops);

/// `names` renamed at a site of a callee whose `params` are bound by position
/// to `args` (no outputs, no record), with `prefix_text` for its locals.
void rename_at_site(Context& ctx, const Symbols& symbols, List<Param> params,
                    std::span<const Text> args, std::string_view prefix_text,
                    std::span<const Text> names, std::vector<Text>& out);

}  // namespace quarvel::flat
