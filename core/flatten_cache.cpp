#include "core/flatten_cache.h"

#include <cassert>
#include <cstring>
#include <limits>

#include "core/error.h"
#include "core/text_hash.h"

namespace quarvel::flat {

namespace {

TypeRef slot_type(const Op& op) {
  if (op.output_types.empty() || !op.output_types[0]) fail("cache slot must have a declared type");
  return op.output_types[0];
}

// `own` followed by each extra parameter not named like one of `own`.
List<Param> with_extras(Context& ctx, List<Param> own, const std::vector<Param>& extra) {
  if (extra.empty()) return own;
  std::unordered_set<std::string_view> names;
  for (const Param& p : own) names.insert(p.name);
  std::vector<Param> out;
  out.reserve(own.size() + extra.size());
  out.assign(own.begin(), own.end());
  for (const Param& p : extra)
    if (!names.contains(p.name)) out.push_back(p);
  return ctx.list(out);
}

}  // namespace

CacheLowering::CacheLowering(const OrderedMap<Function>& functions, const CacheKeys& warm)
    : functions_(functions) {
  for (const std::string& key : warm) warm_.insert(key);
}

// The lowered size, op by op: the ops before a slot count with every earlier
// slot replaced by what it lowers to, and the bounds are checked before each
// slot is examined and after it is added, so that a body too big fails where
// it first grows too big.
Sizes CacheLowering::plan(Planner& planner, const Sizes& flat) {
  class Check final : public Planner::CacheVisitor {
   public:
    Check(CacheLowering& lowering, Planner& planner) : lowering_(lowering), planner_(planner) {}

    void visit(const Op& op, const Cache& cache, std::string_view var,
               const Sizes& before) override {
      check_within(now(before));
      slot_type(op);
      Text target;
      std::uint64_t args = op.args.size();
      bool emits = true;
      switch (lowering_.kind(cache, var)) {
        case Kind::Cold:
          target = cache.init;
          break;
        case Kind::Warm:
          emits = false;
          break;
        case Kind::WarmExtended:
          target = *cache.extend;
          ++args;  // the slot itself comes first
          break;
      }
      if (emits) {
        const Function& fn = planner_.lookup(target);
        const Planner::Plan& body = planner_.plan_callee(fn, target);
        check_arity(args, fn.params.size());
        check_room(now(before), 1, body.size);
        added_ += body.size;
        planner_.keep(fn);
      }
      removed_ += Sizes{1, op.outputs.size() + op.args.size(), 1};
    }

    bool by_name() const override { return !lowering_.warm_.empty(); }
    std::pair<Sizes, Sizes> progress() const override { return {removed_, added_}; }
    // The sizes only grow: a body that passes a bound within the repeated
    // slots ends past it, and no other failure can come from them.
    void repeat(const std::pair<Sizes, Sizes>& since, std::uint64_t times) override {
      removed_ += minus(removed_, since.first).times(times);
      added_ += minus(added_, since.second).times(times);
    }

    // The lowered body up to a place whose flat size is `flat`.
    Sizes now(const Sizes& flat) const {
      return {flat.ops - removed_.ops + added_.ops,
              flat.operands - removed_.operands + added_.operands,
              flat.caches - removed_.caches + added_.caches};
    }

   private:
    static Sizes minus(const Sizes& a, const Sizes& b) {
      return {a.ops - b.ops, a.operands - b.operands, a.caches - b.caches};
    }

    CacheLowering& lowering_;
    Planner& planner_;
    Sizes removed_;  // the cache ops met
    Sizes added_;    // what they lower to
  };

  if (flat.caches == 0) return flat;
  Check check(*this, planner);
  planner.each_cache(check);
  const Sizes total = check.now(flat);
  check_within(total);
  return total;
}

CacheLowering::Site CacheLowering::lower(Context& ctx, const Op& op, const Cache& cache, Text var) {
  const TypeRef ty = slot_type(op);
  Site site;
  switch (kind(cache, var)) {
    case Kind::Cold:
      add_cache_output(io_, var, ty);
      site.fn = &*functions_.find(cache.init);
      site.out = var;
      break;
    case Kind::Warm:
      add_cache_input(io_, var, ty);
      add_cache_output(io_, var, ty);
      break;
    case Kind::WarmExtended: {
      add_cache_input(io_, var, ty);
      char* text = ctx.allocate<char>(var.size() + 4);
      std::memcpy(text, var.data(), var.size());
      std::memcpy(text + var.size(), "_new", 4);
      site.out = Text(text, var.size() + 4);
      add_cache_output(io_, site.out, ty);
      site.fn = &*functions_.find(*cache.extend);
      site.extend = true;
      break;
    }
  }
  return site;
}

List<Param> CacheLowering::params(Context& ctx, List<Param> own) const {
  return with_extras(ctx, own, io_.inputs);
}

List<Param> CacheLowering::returns(Context& ctx, List<Param> own) const {
  return with_extras(ctx, own, io_.outputs);
}

}  // namespace quarvel::flat

namespace quarvel {

namespace {

std::uint32_t tag_of(std::string_view name) {
  return static_cast<std::uint32_t>(text_hash(name) >> 32);
}

}  // namespace

std::size_t SlotNames::entry_of(std::string_view name, std::uint32_t tag) const {
  const std::size_t mask = table_.size() - 1;
  for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
    const std::uint64_t e = table_[i];
    if (e == 0) return i;
    if (static_cast<std::uint32_t>(e >> 32) == tag &&
        same_text((*this)[static_cast<std::uint32_t>(e) - 1], name))
      return i;
  }
}

bool SlotNames::insert(std::string_view name) {
  if (next_ < size() && same_text((*this)[next_], name)) {
    ++next_;
    return false;
  }
  if (2 * (size() + 1) > table_.size()) grow();
  const std::uint32_t tag = tag_of(name);
  std::uint64_t& e = table_[entry_of(name, tag)];
  if (e != 0) {
    next_ = static_cast<std::uint32_t>(e);
    return false;
  }
  assert(size() < std::numeric_limits<std::uint32_t>::max());
  bytes_ += name;
  ends_.push_back(bytes_.size());
  next_ = size();
  e = std::uint64_t{tag} << 32 | static_cast<std::uint32_t>(next_);
  return true;
}

bool SlotNames::contains(std::string_view name) const {
  if (table_.empty()) return false;
  return table_[entry_of(name, tag_of(name))] != 0;
}

// Twice the room (16 entries at first); an entry moves by its tag alone.
void SlotNames::grow() {
  std::vector<std::uint64_t> old(table_.empty() ? 16 : 2 * table_.size(), 0);
  old.swap(table_);
  const std::size_t mask = table_.size() - 1;
  for (const std::uint64_t e : old) {
    if (e == 0) continue;
    std::size_t i = static_cast<std::uint32_t>(e >> 32) & mask;
    while (table_[i] != 0) i = (i + 1) & mask;
    table_[i] = e;
  }
}

namespace {

void add_cache_param(std::vector<Param>& list, SlotNames& names, Text name, TypeRef ty) {
  if (names.insert(name)) list.push_back(Param{name, ty});
}

}  // namespace

void add_cache_input(CacheIo& io, Text name, TypeRef ty) {
  add_cache_param(io.inputs, io.input_names, name, ty);
}

void add_cache_output(CacheIo& io, Text name, TypeRef ty) {
  add_cache_param(io.outputs, io.output_names, name, ty);
}

}  // namespace quarvel
