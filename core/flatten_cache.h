// Cache lowering: what each cache op of a flattened entry becomes.
//
// A cold slot (its name not among the warm keys) becomes its init function
// inlined under the slot's name and goes out as an extra return. A warm slot
// comes in as an extra parameter; without an extend function it goes out
// again unchanged, with one it goes out extended as "<slot>_new", the extend
// function inlined with the slot as its first argument. The cache op itself
// is dropped, and so are its outputs.
//
// The rules live here once, for both passes over the cache ops: `plan` checks
// every slot in order and sizes the lowered function before anything is
// built, and `lower` registers each slot while the flat body is emitted, in
// the same order, and names the function to inline in its place.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/ast.h"
#include "core/flatten.h"
#include "core/flatten_detail.h"
#include "core/flatten_plan.h"

namespace quarvel::flat {

class CacheLowering {
 public:
  CacheLowering(const OrderedMap<Function>& functions, const CacheKeys& warm);

  /// The size of the entry planned last by `planner` with every cache op of
  /// its flat body (of size `flat`) lowered. Fails at the first slot that
  /// cannot be lowered, or when the lowered body passes a bound.
  Sizes plan(Planner& planner, const Sizes& flat);

  /// What a cache op lowers to: `fn` inlined with `out` as its output and
  /// prefix, the slot itself first among the arguments when `extend`.
  struct Site {
    const Function* fn = nullptr;  // none: the slot lowers to nothing
    Text out;
    bool extend = false;
  };
  /// Registers the slot `var` (kept as given: it must live as long as the
  /// result) of the cache op `op` and says what to inline in its place.
  /// `ctx` receives the "<slot>_new" names.
  Site lower(Context& ctx, const Op& op, const Cache& cache, Text var);

  /// The entry's parameters and returns, each followed by the slots that
  /// came in or go out under names of their own.
  List<Param> params(Context& ctx, List<Param> own) const;
  List<Param> returns(Context& ctx, List<Param> own) const;

 private:
  enum class Kind { Cold, Warm, WarmExtended };
  Kind kind(const Cache& cache, std::string_view var) const {
    if (!warm_.contains(var)) return Kind::Cold;
    return cache.extend ? Kind::WarmExtended : Kind::Warm;
  }

  const OrderedMap<Function>& functions_;
  std::unordered_set<std::string_view> warm_;  // views of the caller's keys
  CacheIo io_;
};

}  // namespace quarvel::flat
