// Flattening: calls inlined, loops unrolled, caches lowered, from one entry.
//
// A flattened function is a straight list of operations without `call` and
// `loop`. Inlined values are named by dotted paths: the call's first output
// (or "loop<i>" for iteration i, or a cache slot name), a dot, and the
// callee's own name, composed outermost first (h.t.u, h.loop0.u).
//
// The result is built over the context of its input: the flat operations
// share the kinds, output types and comments of the operations they copy, and
// only the renamed names are new.
//
// Limits. A planning pass works out, from the module alone, the size of every
// flat body before any operation is built; each limit fails with its own
// message, in body order, before any work is done for it:
//  - a function reaching itself through `call` or `loop` ops:
//      "call cycle: main -> block -> main"
//  - more than kMaxCallNesting nested inlinings:
//      "call nesting exceeds 256 levels at function 'f'"
//  - a loop count above kMaxFlatOps:
//      "loop count 99999999 exceeds the limit of 16777216 iterations"
//  - a flattened function of more than kMaxFlatOps operations, cache ops
//    counted as one operation each, then again with each cache op replaced by
//    what it lowers to:
//      "flattened function exceeds 16777216 operations"
//  - a flattened function whose operations have more than kMaxFlatOperands
//    outputs and arguments in all, counted the same way:
//      "flattened function exceeds 67108864 outputs and arguments"
//  - new names (renamed locals, unrolled outputs and cache slots) of more
//    than kMaxFlatNameBytes bytes in all, flat bodies of callees included:
//      "flattened function exceeds 4294967296 bytes of new names"
//    Before any name exists, the plan counts the bytes sure to be made:
//    each callee's own names renamed at each site by the binding rules; the
//    outputs, starred arguments and starred cache slots of unrolled
//    iterations; the names loops leave behind; and the names from bodies
//    below that stay locals. A module over the bound by those is refused
//    with the other limits. The rest (names from bodies below renamed
//    otherwise, what cache slots lower to) is counted as it is made, so a
//    module over the bound only by those is refused once that many bytes
//    exist.
// A module over a limit is refused after a walk over its own operations, so
// in time and memory of the order of its input. Within the limits, the work of
// an inlining is proportional to what it emits: a site renames only the names
// that the operations of its callee's flat body hold, so parameters that the
// body never names, and names only a site within it held, cost nothing,
// however many iterations bind them, and a loop over a body without
// operations is not unrolled at all. Renaming a name takes time linear in its
// length. Long flattenings poll for an interrupt (core/interrupt.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/ast.h"

namespace quarvel {

/// The names of the warm cache slots.
using CacheKeys = std::unordered_set<std::string>;

inline constexpr std::uint64_t kMaxFlatOps = std::uint64_t{1} << 24;
inline constexpr std::uint64_t kMaxFlatOperands = std::uint64_t{1} << 26;
inline constexpr std::uint64_t kMaxFlatNameBytes = std::uint64_t{1} << 32;
inline constexpr std::size_t kMaxCallNesting = 256;

/// A new module holding only `entry`, flattened; `cache_keys` names the warm
/// slots. The result shares the context of `module`, which stays as it was.
Module flatten_module(const Module& module, std::string_view entry, const CacheKeys& cache_keys);

/// Takes the operations of a flat body one at a time, in order.
class FlatOpSink {
 public:
  /// Room for the output names, then for the arguments, of the next
  /// operation handed over that has lists of its own: in the context of the
  /// result when operations are kept, or room that the sink uses again.
  virtual Text* outputs(std::size_t n) = 0;
  virtual Atom* args(std::size_t n) = 0;
  /// The next operation. Its texts and the lists it shares with the input
  /// live in the input's context.
  virtual void add(const Op& op) = 0;

 protected:
  ~FlatOpSink() = default;
};

/// flatten_module with each flat operation handed to `ops` as it is made
/// instead of kept: the entry flattened, without its operations. Failures
/// and limits are those of flatten_module, and come before any operation is
/// handed over.
Function flatten_each(const Module& module, std::string_view entry, const CacheKeys& cache_keys,
                      FlatOpSink& ops);

}  // namespace quarvel
