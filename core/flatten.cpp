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

// Map from a text view to V. A later insertion under a present key replaces
// the value. Searched in place while small, through a hash index beyond.
// Returned pointers stay valid until the next insertion.
template <class V>
class SmallTable {
 public:
  bool empty() const { return items_.empty(); }
  void clear() {
    items_.clear();
    index_.clear();
  }

  void set(std::string_view key, V value) {
    if (V* present = find_mut(key)) {
      *present = std::move(value);
      return;
    }
    items_.emplace_back(key, std::move(value));
    if (!index_.empty()) {
      index_.emplace(key, items_.size() - 1);
    } else if (items_.size() > kLinearLimit) {
      for (std::size_t i = 0; i < items_.size(); ++i) index_.emplace(items_[i].first, i);
    }
  }

  const V* find(std::string_view key) const {
    if (index_.empty()) {
      for (const auto& item : items_)
        if (item.first == key) return &item.second;
      return nullptr;
    }
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &items_[it->second].second;
  }

 private:
  V* find_mut(std::string_view key) { return const_cast<V*>(std::as_const(*this).find(key)); }

  static constexpr std::size_t kLinearLimit = 16;
  std::vector<std::pair<std::string_view, V>> items_;
  std::unordered_map<std::string_view, std::size_t> index_;
};

using ViewTable = SmallTable<std::string_view>;
using SubstTable = SmallTable<std::string>;

// The renaming of one inlining site.
struct Renamer {
  const NameSet& symbols;
  const ViewTable& bindings;
  const ViewTable& wildcards;
  std::string_view prefix_text;

  std::string operator()(std::string_view name) const {
    if (!symbols.empty() && symbols.find(name) != symbols.end()) return std::string(name);
    if (const std::string_view* bound = bindings.find(name)) return std::string(*bound);
    if (!wildcards.empty()) {
      // Candidates from the longest: the whole name, then each part before
      // a dot, from the right. So the longest matching parameter wins.
      std::size_t cut = name.size();
      while (true) {
        if (const std::string_view* arg = wildcards.find(name.substr(0, cut))) {
          std::string out;
          out.reserve(arg->size() + name.size() - cut);
          out.append(*arg);
          out.append(name.substr(cut));
          return out;
        }
        if (cut == 0) break;
        cut = name.rfind('.', cut - 1);
        if (cut == std::string_view::npos) break;
      }
    }
    std::string out;
    out.reserve(prefix_text.size() + name.size());
    out.append(prefix_text);
    out.append(name);
    return out;
  }
};

Op rename_with(const Op& op, const Renamer& rename) {
  Op out{op.kind, {}, op.output_types, {}, op.comments};
  out.outputs.reserve(op.outputs.size());
  for (const std::string& name : op.outputs) out.outputs.push_back(rename(name));
  out.args.reserve(op.args.size());
  for (const Atom& arg : op.args) {
    if (arg.is_str())
      out.args.push_back(Atom::str(rename(arg.as_str())));
    else
      out.args.push_back(arg);
  }
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
// list would exceed the limit.
void reserve_room(std::vector<Op>& result, std::uint64_t count, std::uint64_t size) {
  std::uint64_t have = result.size();
  if (size != 0 && count > (kMaxFlatOps - have) / size) fail_too_many_ops();
  std::size_t need = static_cast<std::size_t>(have + count * size);
  if (need > result.capacity()) result.reserve(std::max(need, result.capacity() * 2));
}

class Flattener {
 public:
  Flattener(const OrderedMap<Function>& functions, const NameSet& symbols)
      : functions_(functions), symbols_(symbols) {}

  // Looks at every function reachable from `entry` once, without failing:
  // counts how often each is inlined, so a flattened body is dropped after
  // its last use (without it every body is kept until the end), and sizes
  // its flat body, so that each list is allocated once.
  void prepare(std::string_view entry);
  // From here on every flattened body is kept.
  void keep_all() { counting_ = false; }

  std::vector<Op> flatten_entry(std::string_view name);

  // Replaces each `cache` op of `ops` by its lowered form, registering the
  // slots in `io`.
  void lower_caches(std::vector<Op>& ops, const CacheKeys& cache_keys, CacheIo& io);

  // Appends the flattened `target` bound to one call site.
  void inline_site(std::vector<Op>& result, std::string_view target, const Args& args,
                   std::span<const std::string> outputs, std::string_view prefix);

 private:
  struct Body {
    std::vector<Op> ops;
    std::vector<char> return_is_param;  // by return position
    std::uint64_t remaining = kKeep;    // uses left before the body is dropped
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
  void build(const Function& fn, std::vector<Op>& result);
  void unroll(std::vector<Op>& result, const Loop& loop, const Op& op,
              const Args& args, SubstTable& subst);
  void bind_site(const Function& fn, const Body& body, const Args& args,
                 std::span<const std::string> outputs);

  const OrderedMap<Function>& functions_;
  const NameSet& symbols_;
  std::unordered_map<const Function*, Body> bodies_;
  std::unordered_map<const Function*, std::uint64_t> uses_;
  std::unordered_map<const Function*, std::uint64_t> sizes_;  // kKeep: unknown or too big
  bool counting_ = false;
  std::vector<Active> active_;  // the chain of functions being flattened
  // Scratch of bind_site, valid until its next call.
  ViewTable bindings_;
  ViewTable wildcards_;
  std::vector<std::string> record_fields_;
};

void Flattener::prepare(std::string_view entry) {
  counting_ = true;
  const Function* root = functions_.find(entry);
  if (root == nullptr) return;
  struct Frame {
    const Function* fn;
    std::size_t next;   // the op looked at
    std::uint64_t size; // of the ops before it
  };
  std::vector<Frame> todo{{root, 0, 0}};
  std::unordered_set<const Function*> open{root};
  while (!todo.empty()) {
    Frame& frame = todo.back();
    if (frame.next == frame.fn->ops.size()) {
      sizes_[frame.fn] = frame.size;
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
      } else {
        target = &loop->target;
        times = loop->count.value();
      }
    } else {
      frame.size = saturating_add(frame.size, 1);
    }
    const Function* callee = target != nullptr && times > 0 ? functions_.find(*target) : nullptr;
    if (target != nullptr && times > 0 && callee == nullptr) frame.size = kKeep;
    if (callee != nullptr) {
      auto known = sizes_.find(callee);
      if (known == sizes_.end() && !open.contains(callee)) {
        open.insert(callee);
        todo.push_back({callee, 0, 0});  // `frame` is stale from here
        continue;
      }
      // Sized, or a cycle, which flattening will report.
      std::uint64_t each = known == sizes_.end() ? kKeep : known->second;
      frame.size = saturating_add(frame.size, saturating_mul(times, each));
      std::uint64_t& uses = uses_[callee];
      uses = saturating_add(uses, times);
    }
    ++frame.next;
  }
}

std::vector<Op> Flattener::flatten_entry(std::string_view name) {
  const Function& fn = lookup(name);
  active_.push_back({name, &fn});
  std::vector<Op> result;
  build(fn, result);
  active_.pop_back();
  return result;
}

const Flattener::Body& Flattener::body_of(const Function& fn, std::string_view name) {
  if (auto it = bodies_.find(&fn); it != bodies_.end()) return it->second;
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
  if (active_.size() > kMaxCallNesting) {
    std::string msg = "call nesting exceeds ";
    append_uint(msg, kMaxCallNesting);
    msg += " levels at function '";
    msg += name;
    msg += "'";
    fail(std::move(msg));
  }
  active_.push_back({name, &fn});
  Body body;
  build(fn, body.ops);
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

void Flattener::build(const Function& fn, std::vector<Op>& result) {
  if (auto known = sizes_.find(&fn); known != sizes_.end() && known->second <= kMaxFlatOps)
    result.reserve(result.size() + known->second);
  SubstTable subst;  // loop output -> name of its last iteration's output
  Args substituted;
  for (const Op& op : fn.ops) {
    const Call* call = std::get_if<Call>(&op.kind);
    const Loop* loop = std::get_if<Loop>(&op.kind);
    if (call == nullptr && loop == nullptr) {
      reserve_room(result, 1, 1);
      result.push_back(op);
      substitute_in_place(result.back().args, subst);
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
      inline_site(result, call->target, *args, op.outputs, op.outputs[0]);
    } else {
      unroll(result, *loop, op, *args, subst);
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
    (p.ty.is_wildcard() ? wildcards_ : bindings_).set(p.name, args[i].as_str());
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
      bindings_.set(field, text);
    }
  }
  const std::size_t r = std::min(fn.returns.size(), outputs.size());
  for (std::size_t i = 0; i < r; ++i)
    if (!body.return_is_param[i]) bindings_.set(fn.returns[i].name, outputs[i]);
}

void Flattener::inline_site(std::vector<Op>& result, std::string_view target,
                            const Args& args, std::span<const std::string> outputs,
                            std::string_view prefix) {
  const Function& fn = lookup(target);
  const Body& body = body_of(fn, target);
  check_arity(args.size(), fn.params.size());
  reserve_room(result, 1, body.ops.size());
  bind_site(fn, body, args, outputs);
  std::string prefix_text;
  prefix_text.reserve(prefix.size() + 1);
  prefix_text.append(prefix).push_back('.');
  const Renamer rename{symbols_, bindings_, wildcards_, prefix_text};
  for (const Op& op : body.ops) result.push_back(rename_with(op, rename));
  release(fn, 1);
}

// Cache lowering: a cold slot becomes its init function inlined under the
// slot's name; a warm slot comes in as a parameter and, with an extend
// function, goes out extended as "<slot>_new". The cache op itself is
// dropped.
//
// First every cache op is checked and registered, in order; then the list
// is rewritten in place: from the back, each op moves to its final position
// (every cache op taking at least one place), then the places of the cache
// ops that lower to nothing are squeezed out from the front.
void Flattener::lower_caches(std::vector<Op>& ops, const CacheKeys& cache_keys, CacheIo& io) {
  struct Site {
    std::size_t at;
    const Function* fn = nullptr;  // none: the slot lowers to nothing
    const Body* body = nullptr;
    std::string out;  // the slot's name in the lowered ops, and their prefix
    bool extend = false;
  };
  std::vector<Site> sites;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const Op& op = ops[i];
    const Cache* cache = std::get_if<Cache>(&op.kind);
    if (cache == nullptr) {
      ++total;
      continue;
    }
    if (op.output_types.empty() || !op.output_types[0]) fail("cache slot must have a declared type");
    const TensorType& ty = *op.output_types[0];
    Site site{i, nullptr, nullptr, {}, false};
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
    sites.push_back(std::move(site));
  }
  if (sites.empty()) return;

  const std::size_t original = ops.size();
  std::size_t grown = original;
  for (const Site& site : sites)
    if (site.body != nullptr && site.body->ops.size() > 1) grown += site.body->ops.size() - 1;
  ops.resize(grown);
  std::vector<std::size_t> holes;  // descending
  std::size_t src = original, dst = grown;
  Args args;
  std::string prefix_text;
  for (std::size_t k = sites.size(); k-- > 0;) {
    const Site& site = sites[k];
    while (src > site.at + 1) {
      --src;
      --dst;
      if (dst != src) ops[dst] = std::move(ops[src]);
    }
    Op cache_op = std::move(ops[--src]);
    const std::size_t size = site.body == nullptr ? 0 : site.body->ops.size();
    if (size == 0) {
      holes.push_back(--dst);
      continue;
    }
    dst -= size;
    args.clear();
    if (site.extend) args.push_back(Atom::str(std::get<Cache>(cache_op.kind).var));
    args.insert(args.end(), cache_op.args.begin(), cache_op.args.end());
    bind_site(*site.fn, *site.body, args, std::span(&site.out, 1));
    prefix_text.assign(site.out).push_back('.');
    const Renamer rename{symbols_, bindings_, wildcards_, prefix_text};
    for (std::size_t t = 0; t < size; ++t) ops[dst + t] = rename_with(site.body->ops[t], rename);
  }
  if (holes.empty()) return;
  std::reverse(holes.begin(), holes.end());
  std::size_t write = holes[0];
  std::size_t next_hole = 0;
  for (std::size_t read = holes[0]; read < ops.size(); ++read) {
    if (next_hole < holes.size() && holes[next_hole] == read) {
      ++next_hole;
      continue;
    }
    ops[write++] = std::move(ops[read]);
  }
  ops.resize(write);
}

void Flattener::unroll(std::vector<Op>& result, const Loop& loop, const Op& op,
                       const Args& args, SubstTable& subst) {
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
    check_arity(args.size(), fn.params.size());
    if (count > kMaxFlatOps) {
      std::string msg = "loop count ";
      append_uint(msg, count);
      msg += " exceeds the limit of ";
      append_uint(msg, kMaxFlatOps);
      msg += " iterations";
      fail(std::move(msg));
    }
    reserve_room(result, count, body.ops.size());

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
        result.push_back(rename_with(body_op, rename));
        rename_slot_in_place(result.back(), i);
      }
      cur = outputs[0];
    }
    release(fn, count);
  }
  // Later uses of the loop's output read its last iteration's output.
  subst.set(out, numbered(out, '_', count));
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
  flattener.prepare(name);
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
  for (const auto& [key, value] : map) table.set(key, value);
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
  flattener.prepare(entry);
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
