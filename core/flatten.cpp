#include "core/flatten.h"

#include <cassert>
#include <cstdint>
#include <utility>

#include "core/error.h"
#include "core/flatten_cache.h"
#include "core/flatten_detail.h"
#include "core/flatten_inline.h"
#include "core/flatten_plan.h"

namespace quarvel {

Module flatten_module(const Module& module, std::string_view entry, const CacheKeys& cache_keys) {
  return flatten_module(module, entry, cache_keys, kMaxFlatNameBytes);
}

namespace {

// The ops of a flat body kept in `ops`, reserved at the size planned, their
// own lists in the context of the result.
class KeptOps final : public FlatOpSink {
 public:
  KeptOps(Context& ctx, std::vector<Op>& ops, std::uint64_t planned) : ctx_(ctx), ops_(ops) {
    ops_.reserve(static_cast<std::size_t>(planned));
  }
  Text* outputs(std::size_t n) override { return ctx_.allocate<Text>(n); }
  Atom* args(std::size_t n) override { return ctx_.allocate<Atom>(n); }
  void add(const Op& op) override { ops_.push_back(op); }

 private:
  Context& ctx_;
  std::vector<Op>& ops_;
};

// Planning first: every failure and every bound is decided there, from the
// module alone, and a module that surely makes more than `max_name_bytes`
// bytes of new names is refused there too. Then the flat body goes, op by op,
// to the sink that `emit` makes for the planned number of ops, each cache op
// lowered where it stands. Returns the flat function without its ops; with
// `name_bytes`, notes the bytes of new names planned and made.
template <class Emit>
Function flatten_entry(const Module& module, std::string_view entry, const CacheKeys& cache_keys,
                       std::uint64_t max_name_bytes, Emit&& emit,
                       FlatNameBytes* name_bytes = nullptr) {
  const flat::Symbols symbols = flat::module_symbols(module);
  flat::Planner planner(module.functions, symbols);
  const Function& fn = planner.lookup(entry);
  const flat::Sizes flat_size = planner.plan_entry(fn, entry).size;
  flat::CacheLowering lowering(module.functions, cache_keys);
  const flat::Sizes size = lowering.plan(planner, flat_size);
  if (planner.name_bytes() > max_name_bytes) flat::fail_too_many_name_bytes();

  Context& ctx = module.ctx();
  std::uint64_t made = 0;
  emit(size.ops, [&](FlatOpSink& ops) {
    made = flat::emit_flat({module.functions, symbols, planner.uses(), ctx, max_name_bytes}, fn,
                           ops, &lowering);
  });
  assert(made >= planner.name_bytes());  // the plan is a lower bound
  if (name_bytes != nullptr) *name_bytes = {planner.name_bytes(), made};
  return Function{fn.name, fn.comments, lowering.params(ctx, fn.params),
                  lowering.returns(ctx, fn.returns), {}};
}

}  // namespace

Module flatten_module(const Module& module, std::string_view entry, const CacheKeys& cache_keys,
                      std::uint64_t max_name_bytes, FlatNameBytes* name_bytes) {
  std::vector<Op> ops;
  Function flat = flatten_entry(
      module, entry, cache_keys, max_name_bytes,
      [&](std::uint64_t planned, auto&& run) {
        KeptOps kept(module.ctx(), ops, planned);
        run(kept);
        assert(ops.size() == planned);  // the list never grew
      },
      name_bytes);
  flat.ops = std::move(ops);
  Module result(module.context);
  result.header_comments = module.header_comments;
  result.functions.insert(module.ctx().text(entry), std::move(flat));
  return result;
}

Function flatten_each(const Module& module, std::string_view entry, const CacheKeys& cache_keys,
                      FlatOpSink& ops) {
  return flatten_entry(module, entry, cache_keys, kMaxFlatNameBytes,
                       [&](std::uint64_t, auto&& run) { run(ops); });
}

// ---- the steps on their own --------------------------------------------------------

namespace {

// `symbols` as the inliner reads them, copied into `ctx`.
flat::Symbols copied(Context& ctx, const NameSet& symbols) {
  flat::Symbols out;
  for (const std::string& s : symbols) out.add(ctx.text(s));
  return out;
}

}  // namespace

NameSet build_symbol_set(const Module& module) {
  NameSet out;
  for (std::string_view s : flat::module_symbols(module)) out.emplace(s);
  return out;
}

std::vector<Op> flatten_function(const Module& module, const NameSet& symbols,
                                 std::string_view name) {
  Context& ctx = module.ctx();
  const flat::Symbols own = copied(ctx, symbols);
  flat::Planner planner(module.functions, own);
  const Function& fn = planner.lookup(name);
  const flat::Sizes size = planner.plan_entry(fn, name).size;
  std::vector<Op> ops;
  KeptOps kept(ctx, ops, size.ops);
  flat::emit_flat({module.functions, own, planner.uses(), ctx, kMaxFlatNameBytes}, fn, kept,
                  nullptr);
  assert(ops.size() == size.ops);
  return ops;
}

std::vector<Op> inline_call(const Module& module, const NameSet& symbols, const Op& call,
                            std::string_view prefix) {
  const Call* kind = std::get_if<Call>(&call.kind());
  if (kind == nullptr) fail("inline_call needs a call operation");
  Context& ctx = module.ctx();
  const flat::Symbols own = copied(ctx, symbols);
  flat::Planner planner(module.functions, own);
  const Function& fn = planner.lookup(kind->target);
  const flat::Planner::Plan& plan = planner.plan_callee(fn, kind->target);
  flat::check_arity(call.args.size(), fn.params.size());
  flat::check_room({}, 1, plan.size);
  planner.add_use(fn);
  std::vector<Op> ops;
  KeptOps kept(ctx, ops, plan.size.ops);
  flat::emit_call({module.functions, own, planner.uses(), ctx, kMaxFlatNameBytes}, call, prefix,
                  kept);
  assert(ops.size() == plan.size.ops);
  return ops;
}

namespace {

// A callee whose parameters are the keys of `bindings` and then those of
// `wildcards` (of dtype "*"), and the arguments that bind them: renaming at
// its site follows the two maps.
struct MapSite {
  MapSite(Context& ctx, const NameMap& bindings, const NameMap& wildcards) {
    const TypeRef typed = ctx.type("f32", std::span<const Dim>());
    const TypeRef wildcard = ctx.type("*", std::span<const Dim>());
    for (const auto& [name, to] : bindings) {
      params.push_back(Param{ctx.text(name), typed});
      args.push_back(ctx.text(to));
    }
    for (const auto& [name, to] : wildcards) {
      params.push_back(Param{ctx.text(name), wildcard});
      args.push_back(ctx.text(to));
    }
  }
  std::vector<Param> params;
  std::vector<Text> args;
};

}  // namespace

std::string rename_var(std::string_view name, const NameMap& bindings, const NameMap& wildcards,
                       std::string_view prefix_text, const NameSet& symbols) {
  Context ctx;
  const MapSite site(ctx, bindings, wildcards);
  const Text names[] = {ctx.text(name)};
  std::vector<Text> out;
  flat::rename_at_site(ctx, copied(ctx, symbols), ctx.list(site.params), site.args, prefix_text,
                       names, out);
  return std::string(out[0]);
}

Op rename_op(Context& ctx, const Op& op, const NameMap& bindings, const NameMap& wildcards,
             std::string_view prefix_text, const NameSet& symbols) {
  const MapSite site(ctx, bindings, wildcards);
  std::vector<Text> names(op.outputs.begin(), op.outputs.end());
  for (const Atom& arg : op.args)
    if (arg.is_str()) names.push_back(arg.as_str());
  std::vector<Text> renamed;
  flat::rename_at_site(ctx, copied(ctx, symbols), ctx.list(site.params), site.args, prefix_text,
                       names, renamed);
  std::vector<Atom> args;
  std::size_t next = op.outputs.size();
  for (const Atom& arg : op.args) args.push_back(arg.is_str() ? Atom::str(renamed[next++]) : arg);
  renamed.resize(op.outputs.size());
  return Op{op.head, ctx.list(renamed), op.output_types, ctx.list(args)};
}

Op rename_cache_slot(Context& ctx, Op op, std::uint64_t index) {
  const Cache* cache = std::get_if<Cache>(&op.kind());
  if (cache == nullptr || !cache->var.ends_with(".*")) return op;
  std::string var(cache->var.substr(0, cache->var.size() - 2));
  var.push_back('.');
  var += std::to_string(index);
  Cache renamed = *cache;
  renamed.var = ctx.text(var);
  op.head = ctx.head(op, renamed);
  return op;
}

Args substitute_args(Context& ctx, const Args& args, const NameMap& substitution) {
  std::vector<Atom> out;
  out.reserve(args.size());
  for (const Atom& arg : args) {
    if (arg.is_str()) {
      auto it = substitution.find(arg.as_str());
      if (it != substitution.end()) {
        out.push_back(Atom::str(ctx.text(it->second)));
        continue;
      }
    }
    out.push_back(arg);
  }
  return ctx.list(out);
}

}  // namespace quarvel
