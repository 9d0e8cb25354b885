// Planning of a flattening: the sizes of flat bodies, the nesting bound and the
// cycle check, worked out from the module alone before any operation is built.
//
// The planner walks each reachable function once, in the order flattening
// would inline it, and fails exactly where flattening would: a missing
// function, a malformed call or loop, an argument count the callee cannot
// bind, a cycle, too deep a nesting or too big a flat body. Sizes saturate
// instead of wrapping. What it keeps per function is small: its flat sizes,
// the functions met first at each level below it, the ops of its body that
// hold cache ops, and a lower bound on the bytes of new names inlining it
// makes.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/ast.h"
#include "core/flatten_rename.h"

namespace quarvel::flat {

inline constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t add_sat(std::uint64_t a, std::uint64_t b) {
  return a > kSaturated - b ? kSaturated : a + b;
}
inline std::uint64_t mul_sat(std::uint64_t a, std::uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > kSaturated / b ? kSaturated : a * b;
}

/// The size of a flat body: its operations, their outputs and arguments, and
/// how many of the operations are cache ops.
struct Sizes {
  std::uint64_t ops = 0;
  std::uint64_t operands = 0;
  std::uint64_t caches = 0;

  Sizes& operator+=(const Sizes& o) {
    ops = add_sat(ops, o.ops);
    operands = add_sat(operands, o.operands);
    caches = add_sat(caches, o.caches);
    return *this;
  }
  Sizes times(std::uint64_t n) const {
    return {mul_sat(ops, n), mul_sat(operands, n), mul_sat(caches, n)};
  }
};

/// New names that inlining a flat body surely makes, in bytes: a lower bound,
/// worked out from the module alone. A callee's own names are renamed at
/// each site by the rules of core/flatten_rename, which give their bytes
/// exactly, with the names of unrolled iterations, of starred arguments and
/// of starred cache slots. The names its flat body takes from the bodies
/// below are counted where it is sure what they become: locals whose head
/// (the part before the first dot) no parameter, return or symbol shares
/// are locals again at every site above. What else is made (those names
/// renamed otherwise, lowered cache slots) is not counted.
struct NameBytes {
  std::uint64_t made = 0;         // by the sites of this body, and its loops
  std::uint64_t locals = 0;       // names from below that are surely locals
  std::uint64_t local_bytes = 0;  // their bytes
  std::uint64_t slots = 0;        // cache ops whose slot ends in ".*"
  std::uint64_t slot_bytes = 0;   // their slots' bytes, less one each
};

/// Fails unless `have` and `count` more bodies of size `each` stay within the
/// bounds on operations and on outputs and arguments.
void check_room(const Sizes& have, std::uint64_t count, const Sizes& each);
/// Fails unless `size` is within the bounds.
void check_within(const Sizes& size);
[[noreturn]] void fail_too_many_ops();
[[noreturn]] void fail_too_many_name_bytes();

/// Fails unless a site with `n` arguments can bind a callee with `m`
/// parameters: the arguments bind by position up to k (n - 1 when n < m, in
/// wrapping arithmetic, else n), which must not exceed m.
void check_arity(std::uint64_t n, std::uint64_t m);

/// The functions met first, in body order, 1, 2, ... levels below a function.
using Depths = std::vector<Text>;

class Planner {
 public:
  /// An op of a body that holds cache ops of the flat body: a cache op, or a
  /// call or loop whose callee's flat body holds some.
  struct CacheStep {
    const Op* op;
    const Function* callee;  // none for a cache op
    Sizes before;            // of the flat body before this op
  };
  struct Plan {
    Sizes size;
    Depths below;
    std::vector<CacheStep> cache_steps;
    // Whether a cache op of the flat body reached through calls only has a
    // slot ending in ".*", which takes the index of a loop around this body.
    bool starred = false;
    NameBytes names;
    // The function's own names, by number: their lengths, and the rules
    // that rename them at a site (resolved per site while planning).
    std::vector<std::size_t> own_sizes;
    RenameRules own_rules;
  };
  using Uses = std::unordered_map<const Function*, std::uint64_t>;

  /// `symbols` are the names inlining never rewrites (module_symbols).
  Planner(const OrderedMap<Function>& functions, const Symbols& symbols);

  /// The function named `name`; fails with "no entry found for key".
  const Function& lookup(std::string_view name) const;

  /// Plans `fn` flattened as the entry, under the name `name`.
  const Plan& plan_entry(const Function& fn, Text name);
  /// Plans `fn` inlined below the functions being planned now (none outside
  /// plan_entry): a cache slot's init or extend function, or inline_call's.
  const Plan& plan_callee(const Function& fn, Text name);

  /// How often each function's flat body is inlined: once per call site and
  /// per loop site (however many iterations) of the bodies planned, and once
  /// per use noted with add_use. A body is not needed after its last use.
  const Uses& uses() const { return uses_; }
  /// At least how many bytes of new names inlining makes for the entry
  /// planned last, its callees' flat bodies included (NameBytes).
  std::uint64_t name_bytes() const { return entry_name_bytes_; }
  void add_use(const Function& fn) { ++uses_[&fn]; }
  /// Marks `fn`'s flat body as used until the end.
  void keep(const Function& fn) { uses_[&fn] = kSaturated; }

  /// What each_cache shows of the cache ops of the entry's flat body.
  class CacheVisitor {
   public:
    /// `op` is the cache op as written, `var` its slot after unrolling (valid
    /// during the call), `before` the size of the flat body before it.
    virtual void visit(const Op& op, const Cache& cache, std::string_view var,
                       const Sizes& before) = 0;
    /// Whether what a slot does depends on its name.
    virtual bool by_name() const = 0;
    /// What the visitor has added up; `repeat` adds what was added since
    /// `since` `times` more times.
    virtual std::pair<Sizes, Sizes> progress() const = 0;
    virtual void repeat(const std::pair<Sizes, Sizes>& since, std::uint64_t times) = 0;

   protected:
    ~CacheVisitor() = default;
  };
  /// Shows every cache op of the flat body of the entry planned last, in
  /// order, without building it. The iterations of a loop whose slots do the
  /// same in every iteration (none takes the loop's index, or names do not
  /// matter) are shown once and then repeated.
  void each_cache(CacheVisitor& visitor);

 private:
  struct Active {
    Text name;
    const Function* fn;
  };

  void walk(const Function& fn, Plan& plan, bool note);
  Plan& plan_of(const Function& fn) { return plans_.at(&fn); }
  // Whether a name whose part before its first dot is `head` may be claimed
  // by a symbol.
  bool symbol_head(std::string_view head) const { return symbol_heads_.contains(head); }
  void visit_steps(const std::vector<CacheStep>& steps, const Sizes& base,
                   const std::uint64_t* index, CacheVisitor& visitor);
  void tick();

  const OrderedMap<Function>& functions_;
  const Symbols& symbols_;
  std::unordered_set<std::string_view> symbol_heads_;  // of the symbols with a dot
  std::unordered_set<std::string_view> symbol_stems_;  // of the symbols' heads
  bool symbol_loop_head_ = false;  // a symbol's head is "loop" and digits
  std::uint64_t name_bytes_ = 0;        // made by the bodies planned so far
  std::uint64_t entry_name_bytes_ = 0;  // by the entry planned last
  std::unordered_map<const Function*, Plan> plans_;
  Plan entry_;
  Uses uses_;
  std::vector<Active> active_;  // the chain of functions being planned
  std::uint64_t work_ = 0;
  std::string slot_;  // each_cache's scratch for slot names
};

}  // namespace quarvel::flat
