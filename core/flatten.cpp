#include "core/flatten.h"

#include <algorithm>
#include <limits>
#include <span>
#include <unordered_set>
#include <utility>

#include "core/error.h"
#include "core/numtext.h"

namespace quarvel {

namespace {

constexpr std::uint64_t kKeep = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kKeep - b ? kKeep : a + b;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > kKeep / b ? kKeep : a * b;
}

// Tables keyed by views of names; a later insertion under a present key
// replaces the value.
using ViewTable = OrderedMap<std::string_view, std::string_view>;
using SubstTable = OrderedMap<std::string, std::string_view>;

// The renaming of one inlining site.
struct Renamer {
  const NameSet& symbols;
  const ViewTable& bindings;
  const ViewTable& wildcards;
  std::string_view prefix_text;

  // Writes the new name of `name` over `out`.
  void into(std::string& out, std::string_view name) const {
    if (!symbols.empty() && symbols.find(name) != symbols.end()) {
      out.assign(name);
      return;
    }
    if (const std::string_view* bound = bindings.find(name)) {
      out.assign(*bound);
      return;
    }
    if (!wildcards.empty()) {
      // Candidates from the longest: the whole name, then each part before
      // a dot, from the right. So the longest matching parameter wins.
      std::size_t cut = name.size();
      while (true) {
        if (const std::string_view* arg = wildcards.find(name.substr(0, cut))) {
          out.clear();
          out.reserve(arg->size() + name.size() - cut);
          out.append(*arg);
          out.append(name.substr(cut));
          return;
        }
        if (cut == 0) break;
        cut = name.rfind('.', cut - 1);
        if (cut == std::string_view::npos) break;
      }
    }
    out.clear();
    out.reserve(prefix_text.size() + name.size());
    out.append(prefix_text);
    out.append(name);
  }

  std::string operator()(std::string_view name) const {
    std::string out;
    into(out, name);
    return out;
  }
};

// The names of `op` renamed into `out`, whose own outputs and arguments are
// empty.
void rename_names(Op& out, const Op& op, const Renamer& rename) {
  out.outputs.reserve(op.outputs.size());
  for (const std::string& name : op.outputs) rename.into(out.outputs.emplace_back(), name);
  out.args.reserve(op.args.size());
  for (const Atom& arg : op.args) {
    if (arg.is_str())
      rename.into(out.args.emplace_back().v.emplace<2>(), arg.as_str());
    else
      out.args.push_back(arg);
  }
}

// Appends `op` renamed, built in its place in `result`.
Op& emit_renamed(std::vector<Op>& result, const Op& op, const Renamer& rename) {
  Op& out = result.emplace_back(op.kind, Outputs{}, op.output_types, Args{}, op.comments);
  rename_names(out, op, rename);
  return out;
}

// Overwrites `out` with `op` renamed.
void assign_renamed(Op& out, const Op& op, const Renamer& rename) {
  out.kind = op.kind;
  out.output_types = op.output_types;
  out.comments = op.comments;
  out.outputs.clear();
  out.args.clear();
  rename_names(out, op, rename);
}

Op rename_with(const Op& op, const Renamer& rename) {
  Op out{op.kind, {}, op.output_types, {}, op.comments};
  rename_names(out, op, rename);
  return out;
}

void rename_slot_in_place(Op& op, std::uint64_t index) {
  Cache* cache = std::get_if<Cache>(&op.kind);
  if (cache == nullptr || !cache->var.ends_with(".*")) return;
  cache->var.resize(cache->var.size() - 2);
  cache->var.push_back('.');
  append_uint(cache->var, index);
}

void substitute_in_place(Args& args, const SubstTable& subst) {
  if (subst.empty()) return;
  for (Atom& arg : args) {
    if (!arg.is_str()) continue;
    if (const std::string* to = subst.find(arg.as_str())) arg = Atom::str(*to);
  }
}

std::string numbered(std::string_view base, char sep, std::uint64_t n) {
  std::string out;
  out.reserve(base.size() + 21);
  out.append(base);
  out.push_back(sep);
  append_uint(out, n);
  return out;
}

// The k of parameter binding: the arguments that bind by position.
std::uint64_t positional_count(std::uint64_t n, std::uint64_t m) { return n < m ? n - 1 : n; }

void check_arity(std::uint64_t n, std::uint64_t m) {
  std::uint64_t k = positional_count(n, m);  // wraps to 2^64-1 for n = 0 < m
  if (k > m) {
    std::string msg = "range end index ";
    append_uint(msg, k);
    msg += " out of range for slice of length ";
    append_uint(msg, m);
    fail(std::move(msg));
  }
}

[[noreturn]] void fail_too_many_ops() {
  std::string msg = "flattened function exceeds ";
  append_uint(msg, kMaxFlatOps);
  msg += " operations";
  fail(std::move(msg));
}

// Makes room for `count` copies of `size` operations, or fails when the
// list, of which `have` operations count, would exceed the limit.
void reserve_room(std::vector<Op>& result, std::uint64_t have, std::uint64_t count,
                  std::uint64_t size) {
  if (size != 0 && count > (kMaxFlatOps - have) / size) fail_too_many_ops();
  std::size_t need = result.size() + static_cast<std::size_t>(count * size);
  if (need > result.capacity()) result.reserve(std::max(need, result.capacity() * 2));
}

class Flattener {
 public:
  Flattener(const OrderedMap<Function>& functions, const NameSet& symbols)
      : functions_(functions), symbols_(symbols) {}

  // Looks at the functions reachable from `entry`, without failing: counts
  // how often each is inlined, so a flattened body is dropped after its last
  // use (without it every body is kept until the end), and sizes its flat
  // body, so that each list is allocated once. With `lowering`, the entry's
  // list is given room for its cache ops lowered in place.
  void prepare(std::string_view entry, bool lowering);
  // From here on every flattened body is kept.
  void keep_all() { counting_ = false; }

  std::vector<Op> flatten_entry(std::string_view name);

  // Replaces each `cache` op of `ops` by its lowered form, registering the
  // slots in `io`.
  void lower_caches(std::vector<Op>& ops, const CacheKeys& cache_keys, CacheIo& io);

  // The functions met first, in body order, 1, 2, ... levels below a
  // function being flattened; kept as `target` texts of its ops.
  using Depths = std::vector<std::string_view>;

  // Appends the flattened `target` bound to one call site. When `depths` is
  // given, the levels below `target` are noted in it.
  void inline_site(std::vector<Op>& result, std::string_view target, const Args& args,
                   std::span<const std::string> outputs, std::string_view prefix,
                   Depths* depths = nullptr);

 private:
  struct Body {
    std::vector<Op> ops;
    std::vector<char> return_is_param;  // by return position
    std::uint64_t remaining = kKeep;    // uses left before the body is dropped
    // A body is flattened once but inlined at many depths: these are the
    // functions its inlining reaches, by level below it, so that each site
    // checks the nesting bound as if it flattened the body itself.
    Depths below;
  };
  struct Active {
    std::string_view name;
    const Function* fn;
  };

  const Function& lookup(std::string_view name) const {
    const Function* fn = functions_.find(name);
    if (fn == nullptr) fail_no_entry();
    return *fn;
  }
  const Body& body_of(const Function& fn, std::string_view name);
  void release(const Function& fn, std::uint64_t uses);
  void build(const Function& fn, std::vector<Op>& result, Depths* depths);
  void unroll(std::vector<Op>& result, const Loop& loop, const Op& op,
              const Args& args, SubstTable& subst, Depths* depths);
  void bind_site(const Function& fn, const Body& body, const Args& args,
                 std::span<const std::string> outputs);

  const OrderedMap<Function>& functions_;
  const NameSet& symbols_;
  std::unordered_map<const Function*, Body> bodies_;
  using Sizes = std::unordered_map<const Function*, std::uint64_t>;  // kKeep: unknown or too big
  template <class Leaf>
  std::uint64_t fold_sizes(const Function* root, Sizes& memo, const Leaf& leaf);
  std::uint64_t size_of(const Function* fn);
  std::uint64_t cache_room(const Cache& cache);
  void make_room(std::vector<Op>& result, std::uint64_t count, std::uint64_t size);
  void after_emit(std::vector<Op>& result);

  Sizes uses_;
  Sizes sizes_;
  std::uint64_t entry_room_ = 0;  // the capacity for the entry's list
  // While the entry is flattened for lowering, each cache op of its list is
  // followed by placeholder ops, so that the ops it lowers to can be built
  // in their final places (see lower_caches).
  bool placeholders_ = false;
  std::vector<Op>* top_ = nullptr;          // the entry's list, while it is built
  std::uint64_t top_placeholders_ = 0;      // in *top_
  std::vector<std::uint64_t> site_placeholders_;  // after each cache op of the entry's list
  bool counting_ = false;
  std::vector<Active> active_;  // the chain of functions being flattened
  // Scratch of bind_site, valid until its next call.
  ViewTable bindings_;
  ViewTable wildcards_;
  std::vector<std::string> record_fields_;
};

// The size of `root`'s flat body, and of every function it reaches through
// call and loop ops, into `memo`: the sum of `leaf(op)` over the ops that are
// copied, and of each callee's size times its count. Missing functions,
// named counts and cycles, which flattening reports, give kKeep.
template <class Leaf>
std::uint64_t Flattener::fold_sizes(const Function* root, Sizes& memo, const Leaf& leaf) {
  if (auto known = memo.find(root); known != memo.end()) return known->second;
  struct Frame {
    const Function* fn;
    std::size_t next;     // the op looked at
    std::uint64_t size;   // of the ops before it
  };
  std::vector<Frame> todo{{root, 0, 0}};
  std::unordered_set<const Function*> open{root};
  while (!todo.empty()) {
    Frame& frame = todo.back();
    if (frame.next == frame.fn->ops.size()) {
      memo[frame.fn] = frame.size;
      open.erase(frame.fn);
      todo.pop_back();
      continue;
    }
    const Op& op = frame.fn->ops[frame.next];
    const std::string* target = nullptr;
    std::uint64_t times = 1;
    if (const Call* call = std::get_if<Call>(&op.kind)) {
      target = &call->target;
    } else if (const Loop* loop = std::get_if<Loop>(&op.kind)) {
      if (loop->count.is_named()) {
        frame.size = kKeep;
        times = 0;
      } else {
        target = &loop->target;
        times = loop->count.value();
      }
    } else {
      frame.size = saturating_add(frame.size, leaf(op));
      times = 0;
    }
    if (times > 0) {
      const Function* callee = functions_.find(*target);
      auto known = callee == nullptr ? memo.end() : memo.find(callee);
      if (callee != nullptr && known == memo.end() && !open.contains(callee)) {
        open.insert(callee);
        todo.push_back({callee, 0, 0});  // `frame` is stale from here
        continue;
      }
      const std::uint64_t each = known == memo.end() ? kKeep : known->second;
      frame.size = saturating_add(frame.size, saturating_mul(times, each));
    }
    ++frame.next;
  }
  return memo[root];
}

std::uint64_t Flattener::size_of(const Function* fn) {
  return fold_sizes(fn, sizes_, [](const Op&) { return std::uint64_t{1}; });
}

// The places a cache op of the entry's list takes while it is lowered: its
// own, or as many as its init or extend function has ops.
std::uint64_t Flattener::cache_room(const Cache& cache) {
  std::uint64_t most = 1;
  if (const Function* init = functions_.find(cache.init)) most = std::max(most, size_of(init));
  if (cache.extend)
    if (const Function* extend = functions_.find(*cache.extend))
      most = std::max(most, size_of(extend));
  return most;
}

void Flattener::make_room(std::vector<Op>& result, std::uint64_t count, std::uint64_t size) {
  reserve_room(result, result.size() - (&result == top_ ? top_placeholders_ : 0), count, size);
}

// To be called after each op appended to `result`.
void Flattener::after_emit(std::vector<Op>& result) {
  if (&result != top_) return;
  const Cache* cache = std::get_if<Cache>(&result.back().kind);
  if (cache == nullptr) return;
  const std::uint64_t extra = cache_room(*cache) - 1;
  site_placeholders_.push_back(extra);
  top_placeholders_ += extra;
  for (std::uint64_t i = 0; i < extra; ++i) result.emplace_back();
}

void Flattener::prepare(std::string_view entry, bool lowering) {
  counting_ = true;
  const Function* root = functions_.find(entry);
  if (root == nullptr) return;

  // Uses: every inlining site of every reachable function, once each, as
  // flattening builds each body once.
  std::vector<const Function*> todo{root};
  std::unordered_set<const Function*> seen{root};
  while (!todo.empty()) {
    const Function* fn = todo.back();
    todo.pop_back();
    for (const Op& op : fn->ops) {
      const std::string* target = nullptr;
      std::uint64_t times = 1;
      if (const Call* call = std::get_if<Call>(&op.kind)) {
        target = &call->target;
      } else if (const Loop* loop = std::get_if<Loop>(&op.kind);
                 loop != nullptr && loop->count.is_concrete()) {
        target = &loop->target;
        times = loop->count.value();
      }
      if (target == nullptr || times == 0) continue;
      const Function* callee = functions_.find(*target);
      if (callee == nullptr) continue;
      std::uint64_t& uses = uses_[callee];
      uses = saturating_add(uses, times);
      if (seen.insert(callee).second) todo.push_back(callee);
    }
  }

  entry_room_ = size_of(root);
  if (!lowering) return;
  // A cache op of the entry's list lowers to at most as many ops as its
  // init or extend function has, and takes at least its own place while
  // being lowered in place.
  Sizes lowered;
  const std::uint64_t room = fold_sizes(root, lowered, [&](const Op& op) {
    const Cache* cache = std::get_if<Cache>(&op.kind);
    return cache == nullptr ? std::uint64_t{1} : cache_room(*cache);
  });
  // Warm slots lower to fewer ops than that: the room reserved beyond the
  // flat list stays bounded by the list itself.
  if (entry_room_ <= kMaxFlatOps && room <= kMaxFlatOps && room <= 2 * entry_room_ + 1024) {
    entry_room_ = room;
    placeholders_ = true;
  }
}

std::vector<Op> Flattener::flatten_entry(std::string_view name) {
  const Function& fn = lookup(name);
  active_.push_back({name, &fn});
  std::vector<Op> result;
  if (entry_room_ <= kMaxFlatOps) result.reserve(static_cast<std::size_t>(entry_room_));
  if (placeholders_) top_ = &result;
  build(fn, result, nullptr);
  top_ = nullptr;
  active_.pop_back();
  return result;
}

[[noreturn]] void fail_nesting(std::string_view name) {
  std::string msg = "call nesting exceeds ";
  append_uint(msg, kMaxCallNesting);
  msg += " levels at function '";
  msg += name;
  msg += "'";
  fail(std::move(msg));
}

// Notes in `depths` that `target`, whose own levels below are `below`, is
// inlined one level down.
void note_depths(std::vector<std::string_view>* depths, std::string_view target,
                 const std::vector<std::string_view>& below) {
  if (depths == nullptr) return;
  while (depths->size() <= below.size()) {
    const std::size_t level = depths->size();
    depths->push_back(level == 0 ? target : below[level - 1]);
  }
}

const Flattener::Body& Flattener::body_of(const Function& fn, std::string_view name) {
  // `fn` is entered with active_.size() functions open; what lies r levels
  // below it with r more.
  if (auto it = bodies_.find(&fn); it != bodies_.end()) {
    const Body& body = it->second;
    const std::size_t depth = active_.size();
    if (depth > kMaxCallNesting) fail_nesting(name);
    if (depth + body.below.size() > kMaxCallNesting)
      fail_nesting(body.below[kMaxCallNesting - depth]);
    return body;
  }
  for (std::size_t i = 0; i < active_.size(); ++i) {
    if (active_[i].fn != &fn) continue;
    std::string msg = "call cycle: ";
    for (std::size_t j = i; j < active_.size(); ++j) {
      msg += active_[j].name;
      msg += " -> ";
    }
    msg += name;
    fail(std::move(msg));
  }
  if (active_.size() > kMaxCallNesting) fail_nesting(name);
  active_.push_back({name, &fn});
  Body body;
  build(fn, body.ops, &body.below);
  active_.pop_back();

  std::unordered_set<std::string_view> param_names;
  for (const Param& p : fn.params) param_names.insert(p.name);
  body.return_is_param.resize(fn.returns.size());
  for (std::size_t i = 0; i < fn.returns.size(); ++i)
    body.return_is_param[i] = param_names.contains(fn.returns[i].name);
  if (counting_) {
    auto it = uses_.find(&fn);
    if (it != uses_.end()) body.remaining = it->second;
  }
  return bodies_.emplace(&fn, std::move(body)).first->second;
}

void Flattener::release(const Function& fn, std::uint64_t uses) {
  auto it = bodies_.find(&fn);
  if (it == bodies_.end() || it->second.remaining == kKeep) return;
  std::uint64_t& left = it->second.remaining;
  left = uses >= left ? 0 : left - uses;
  if (left == 0 && counting_) bodies_.erase(it);
}

void Flattener::build(const Function& fn, std::vector<Op>& result, Depths* depths) {
  if (auto known = sizes_.find(&fn); known != sizes_.end() && known->second <= kMaxFlatOps)
    result.reserve(result.size() + known->second);
  SubstTable subst;  // loop output -> name of its last iteration's output
  Args substituted;
  for (const Op& op : fn.ops) {
    const Call* call = std::get_if<Call>(&op.kind);
    const Loop* loop = std::get_if<Loop>(&op.kind);
    if (call == nullptr && loop == nullptr) {
      make_room(result, 1, 1);
      result.push_back(op);
      substitute_in_place(result.back().args, subst);
      after_emit(result);
      continue;
    }
    const Args* args = &op.args;
    if (!subst.empty()) {
      substituted = op.args;
      substitute_in_place(substituted, subst);
      args = &substituted;
    }
    if (call != nullptr) {
      if (op.outputs.empty()) fail_index(0, 0);
      inline_site(result, call->target, *args, op.outputs, op.outputs[0], depths);
    } else {
      unroll(result, *loop, op, *args, subst, depths);
    }
  }
}

void Flattener::bind_site(const Function& fn, const Body& body, const Args& args,
                          std::span<const std::string> outputs) {
  bindings_.clear();
  wildcards_.clear();
  record_fields_.clear();
  const std::size_t n = args.size();
  const std::size_t m = fn.params.size();
  const std::uint64_t k = positional_count(n, m);  // checked: k <= m
  for (std::size_t i = 0; i < k; ++i) {
    if (!args[i].is_str()) continue;
    const Param& p = fn.params[i];
    (p.ty.is_wildcard() ? wildcards_ : bindings_).insert(p.name, args[i].as_str());
  }
  // The last argument names a record whose fields supply the remaining
  // parameters, its own position included.
  if (n > 0 && n < m && args[n - 1].is_str()) {
    const std::string& record = args[n - 1].as_str();
    record_fields_.reserve(m - n + 1);  // no reallocation below: views stay valid
    for (std::size_t j = n - 1; j < m; ++j) {
      const std::string& field = fn.params[j].name;
      std::string& text = record_fields_.emplace_back();
      text.reserve(record.size() + 1 + field.size());
      text.append(record).append(".").append(field);
      bindings_.insert(field, text);
    }
  }
  const std::size_t r = std::min(fn.returns.size(), outputs.size());
  for (std::size_t i = 0; i < r; ++i)
    if (!body.return_is_param[i]) bindings_.insert(fn.returns[i].name, outputs[i]);
}

void Flattener::inline_site(std::vector<Op>& result, std::string_view target,
                            const Args& args, std::span<const std::string> outputs,
                            std::string_view prefix, Depths* depths) {
  const Function& fn = lookup(target);
  const Body& body = body_of(fn, target);
  note_depths(depths, target, body.below);
  check_arity(args.size(), fn.params.size());
  make_room(result, 1, body.ops.size());
  bind_site(fn, body, args, outputs);
  std::string prefix_text;
  prefix_text.reserve(prefix.size() + 1);
  prefix_text.append(prefix).push_back('.');
  const Renamer rename{symbols_, bindings_, wildcards_, prefix_text};
  for (const Op& op : body.ops) {
    emit_renamed(result, op, rename);
    after_emit(result);
  }
  release(fn, 1);
}

// Cache lowering: a cold slot becomes its init function inlined under the
// slot's name; a warm slot comes in as a parameter and, with an extend
// function, goes out extended as "<slot>_new". The cache op itself is
// dropped.
//
// First every cache op is checked and registered, in order, and the final
// size is known. Each cache op of the list is followed by the placeholders
// that flatten_entry() left after it; when its lowered ops fit in its place
// and theirs, as they do unless the sizes were unknown, they are built there
// and the places left over are squeezed out. Otherwise all ops move once
// into a new list.
void Flattener::lower_caches(std::vector<Op>& ops, const CacheKeys& cache_keys, CacheIo& io) {
  struct Site {
    std::size_t at;
    std::size_t places;            // the cache op's own and its placeholders
    const Function* fn = nullptr;  // none: the slot lowers to nothing
    const Body* body = nullptr;
    std::string out;  // the slot's name in the lowered ops, and their prefix
    bool extend = false;
    std::size_t size() const { return body == nullptr ? 0 : body->ops.size(); }
  };
  std::vector<Site> sites;
  std::uint64_t total = 0;
  bool fits = true;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const Op& op = ops[i];
    const Cache* cache = std::get_if<Cache>(&op.kind);
    if (cache == nullptr) {
      if (++total > kMaxFlatOps) fail_too_many_ops();
      continue;
    }
    if (op.output_types.empty() || !op.output_types[0]) fail("cache slot must have a declared type");
    const TensorType& ty = *op.output_types[0];
    std::size_t places = 1;
    if (sites.size() < site_placeholders_.size())
      places += static_cast<std::size_t>(site_placeholders_[sites.size()]);
    Site site{i, places, nullptr, nullptr, {}, false};
    std::string_view target;
    std::size_t args = op.args.size();
    bool emits = true;
    if (!cache_keys.contains(cache->var)) {
      add_cache_output(io, cache->var, ty);
      target = cache->init;
      site.out = cache->var;
    } else {
      add_cache_input(io, cache->var, ty);
      if (!cache->extend) {
        add_cache_output(io, cache->var, ty);
        emits = false;
      } else {
        site.out = cache->var + "_new";
        add_cache_output(io, site.out, ty);
        target = *cache->extend;
        site.extend = true;
        ++args;  // the slot itself comes first
      }
    }
    if (emits) {
      site.fn = &lookup(target);
      site.body = &body_of(*site.fn, target);
      check_arity(args, site.fn->params.size());
      total = saturating_add(total, site.body->ops.size());
      if (total > kMaxFlatOps) fail_too_many_ops();
    }
    if (site.size() > site.places) fits = false;
    i += places - 1;
    sites.push_back(std::move(site));
  }
  if (sites.empty()) return;

  Args args;
  std::string prefix_text;
  // Binds the slot's init or extend function to the cache op `cache_op`,
  // whose texts are copied: the renamer refers to none of them.
  auto bind = [&](const Site& site, const Op& cache_op) -> Renamer {
    args.clear();
    if (site.extend) args.push_back(Atom::str(std::get<Cache>(cache_op.kind).var));
    args.insert(args.end(), cache_op.args.begin(), cache_op.args.end());
    bind_site(*site.fn, *site.body, args, std::span(&site.out, 1));
    prefix_text.assign(site.out).push_back('.');
    return Renamer{symbols_, bindings_, wildcards_, prefix_text};
  };

  if (!fits) {
    std::vector<Op> out;
    out.reserve(static_cast<std::size_t>(total));
    std::size_t next = 0;
    for (const Site& site : sites) {
      for (; next < site.at; ++next) out.push_back(std::move(ops[next]));
      next += site.places;
      if (site.body == nullptr) continue;
      const Renamer rename = bind(site, ops[site.at]);
      for (const Op& op : site.body->ops) emit_renamed(out, op, rename);
    }
    for (; next < ops.size(); ++next) out.push_back(std::move(ops[next]));
    ops.swap(out);
    return;
  }

  // In place; then the places left over close up from the first one on:
  // the ops from `read` on move to `write`, skipping the places left over.
  bool closing = false;
  std::size_t write = 0, read = 0;
  for (const Site& site : sites) {
    const std::size_t size = site.size();
    if (size > 0) {
      // Bound first: the lowered ops land on the cache op's place.
      const Renamer rename = bind(site, ops[site.at]);
      for (std::size_t t = 0; t < size; ++t)
        assign_renamed(ops[site.at + t], site.body->ops[t], rename);
    }
    if (size == site.places) continue;
    if (closing) {
      for (; read < site.at + size; ++read) ops[write++] = std::move(ops[read]);
    } else {
      closing = true;
      write = site.at + size;
    }
    read = site.at + site.places;
  }
  if (!closing) return;
  for (; read < ops.size(); ++read) ops[write++] = std::move(ops[read]);
  ops.resize(write);
}

void Flattener::unroll(std::vector<Op>& result, const Loop& loop, const Op& op,
                       const Args& args, SubstTable& subst, Depths* depths) {
  if (loop.count.is_named())
    fail("Loop count '" + loop.count.name() + "' not resolved before flattening");
  if (op.outputs.empty()) fail_index(0, 0);
  const std::string& out = op.outputs[0];
  std::size_t threaded = args.size();
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i].is_str() && args[i].as_str() == out) {
      threaded = i;
      break;
    }
  }
  if (threaded == args.size()) fail("Loop must have a threaded arg matching output name");
  const std::uint64_t count = loop.count.value();

  if (count > 0) {
    // Everything iteration 0 would fail on comes first; then the bounds,
    // before anything is unrolled.
    const Function& fn = lookup(loop.target);
    const Body& body = body_of(fn, loop.target);
    note_depths(depths, loop.target, body.below);
    check_arity(args.size(), fn.params.size());
    if (count > kMaxFlatOps) {
      std::string msg = "loop count ";
      append_uint(msg, count);
      msg += " exceeds the limit of ";
      append_uint(msg, kMaxFlatOps);
      msg += " iterations";
      fail(std::move(msg));
    }
    make_room(result, count, body.ops.size());

    Args iter_args = args;
    std::string outputs[1];
    std::string cur = out;
    std::string prefix_text;
    for (std::uint64_t i = 0; i < count; ++i) {
      outputs[0] = numbered(out, '_', i + 1);
      for (std::size_t p = 0; p < args.size(); ++p) {
        if (p == threaded) {
          iter_args[p] = Atom::str(cur);
        } else if (args[p].is_str() && args[p].as_str().ends_with(".*")) {
          const std::string& text = args[p].as_str();
          iter_args[p] = Atom::str(numbered(std::string_view(text).substr(0, text.size() - 2), '.', i));
        }
      }
      bind_site(fn, body, iter_args, outputs);
      prefix_text.assign("loop");
      append_uint(prefix_text, i);
      prefix_text.push_back('.');
      const Renamer rename{symbols_, bindings_, wildcards_, prefix_text};
      for (const Op& body_op : body.ops) {
        rename_slot_in_place(emit_renamed(result, body_op, rename), i);
        after_emit(result);
      }
      cur = outputs[0];
    }
    release(fn, count);
  }
  // Later uses of the loop's output read its last iteration's output.
  subst.insert(out, numbered(out, '_', count));
}

}  // namespace

NameSet build_symbol_set(const Module& module) {
  NameSet symbols;
  std::unordered_set<std::string_view> dims;
  auto add_dims = [&](const TensorType& ty) {
    for (const Dim& d : ty.shape)
      if (d.is_named()) dims.insert(d.name());
  };
  for (const auto& [key, fn] : module.functions) {
    dims.clear();
    for (const Param& p : fn.params) add_dims(p.ty);
    for (const Param& p : fn.returns) add_dims(p.ty);
    for (const Op& op : fn.ops)
      for (const std::optional<TensorType>& ty : op.output_types)
        if (ty) add_dims(*ty);
    for (const Op& op : fn.ops) {
      for (const Atom& arg : op.args) {
        if (!arg.is_str()) continue;
        const std::string& s = arg.as_str();
        if (starts_with(s, "param.") || dims.contains(s)) symbols.insert(s);
      }
    }
  }
  return symbols;
}

std::vector<Op> flatten_function(const OrderedMap<Function>& functions, const NameSet& symbols,
                                 std::string_view name) {
  Flattener flattener(functions, symbols);
  flattener.prepare(name, false);
  return flattener.flatten_entry(name);
}

std::vector<Op> inline_call(const OrderedMap<Function>& functions, const NameSet& symbols,
                            const Op& call, std::string_view prefix) {
  const Call* kind = std::get_if<Call>(&call.kind);
  if (kind == nullptr) fail("inline_call needs a call operation");
  Flattener flattener(functions, symbols);
  std::vector<Op> result;
  flattener.inline_site(result, kind->target, call.args, call.outputs, prefix);
  return result;
}

namespace {

void fill_table(ViewTable& table, const NameMap& map) {
  for (const auto& [key, value] : map) table.insert(key, value);
}

}  // namespace

std::string rename_var(std::string_view name, const NameMap& bindings, const NameMap& wildcards,
                       std::string_view prefix_text, const NameSet& symbols) {
  ViewTable b, w;
  fill_table(b, bindings);
  fill_table(w, wildcards);
  return Renamer{symbols, b, w, prefix_text}(name);
}

Op rename_op(const Op& op, const NameMap& bindings, const NameMap& wildcards,
             std::string_view prefix_text, const NameSet& symbols) {
  ViewTable b, w;
  fill_table(b, bindings);
  fill_table(w, wildcards);
  return rename_with(op, Renamer{symbols, b, w, prefix_text});
}

Op rename_cache_slot(Op op, std::uint64_t index) {
  rename_slot_in_place(op, index);
  return op;
}

Args substitute_args(const Args& args, const NameMap& substitution) {
  Args out;
  out.reserve(args.size());
  for (const Atom& arg : args) {
    if (arg.is_str()) {
      auto it = substitution.find(std::string_view(arg.as_str()));
      if (it != substitution.end()) {
        out.push_back(Atom::str(it->second));
        continue;
      }
    }
    out.push_back(arg);
  }
  return out;
}

namespace {

void add_cache_param(std::vector<Param>& list, NameSet& names, std::string_view name,
                     const TensorType& ty) {
  if (names.emplace(name).second) list.push_back(Param{std::string(name), ty});
}

// `own` followed by each extra parameter not named like one of `own`.
std::vector<Param> with_extras(const std::vector<Param>& own, const std::vector<Param>& extra) {
  std::vector<Param> out = own;
  std::unordered_set<std::string_view> names;
  for (const Param& p : own) names.insert(p.name);
  for (const Param& p : extra)
    if (!names.contains(p.name)) out.push_back(p);
  return out;
}

}  // namespace

void add_cache_input(CacheIo& io, std::string_view name, const TensorType& ty) {
  add_cache_param(io.inputs, io.input_names, name, ty);
}

void add_cache_output(CacheIo& io, std::string_view name, const TensorType& ty) {
  add_cache_param(io.outputs, io.output_names, name, ty);
}

Module flatten_module(const Module& module, std::string_view entry, const CacheKeys& cache_keys) {
  const NameSet symbols = build_symbol_set(module);
  Flattener flattener(module.functions, symbols);
  flattener.prepare(entry, true);
  std::vector<Op> ops = flattener.flatten_entry(entry);
  flattener.keep_all();

  CacheIo io;
  flattener.lower_caches(ops, cache_keys, io);

  const Function& fn = *module.functions.find(entry);  // present: flattening found it
  Module result;
  result.header_comments = module.header_comments;
  result.functions.insert(std::string(entry),
                          Function{fn.name, fn.comments, with_extras(fn.params, io.inputs),
                                   with_extras(fn.returns, io.outputs), std::move(ops)});
  return result;
}

}  // namespace quarvel
