#include "core/flatten_cache.h"

#include <cstring>

#include "core/error.h"

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
  std::vector<Param> out(own.begin(), own.end());
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

void add_cache_param(std::vector<Param>& list, NameSet& names, Text name, TypeRef ty) {
  if (names.emplace(name).second) list.push_back(Param{name, ty});
}

}  // namespace

void add_cache_input(CacheIo& io, Text name, TypeRef ty) {
  add_cache_param(io.inputs, io.input_names, name, ty);
}

void add_cache_output(CacheIo& io, Text name, TypeRef ty) {
  add_cache_param(io.outputs, io.output_names, name, ty);
}

}  // namespace quarvel
