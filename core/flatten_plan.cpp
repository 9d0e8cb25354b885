#include "core/flatten_plan.h"

#include <algorithm>
#include <deque>
#include <utility>

#include "core/error.h"
#include "core/flatten.h"
#include "core/interrupt.h"
#include "core/numtext.h"

namespace quarvel::flat {

namespace {

[[noreturn]] void fail_nesting(std::string_view name) {
  std::string msg = "call nesting exceeds ";
  append_uint(msg, kMaxCallNesting);
  msg += " levels at function '";
  msg += name;
  msg += "'";
  fail(std::move(msg));
}

[[noreturn]] void fail_too_many_operands() {
  std::string msg = "flattened function exceeds ";
  append_uint(msg, kMaxFlatOperands);
  msg += " outputs and arguments";
  fail(std::move(msg));
}

// Notes in `depths` that `target`, whose own levels below are `below`, is
// inlined one level down.
void note_depths(Depths& depths, Text target, const Depths& below) {
  while (depths.size() <= below.size()) {
    const std::size_t level = depths.size();
    depths.push_back(level == 0 ? target : below[level - 1]);
  }
}

// The part of `name` before its first dot: a parameter, return or symbol can
// claim a name only if it has the same head (a wildcard parameter claims the
// names it is followed by a dot in).
std::string_view head_of(std::string_view name) { return name.substr(0, name.find('.')); }

// Whether `head` is the head of the names an unrolled iteration gives a
// callee's locals: "loop" and digits.
bool is_loop_head(std::string_view head) {
  return head.size() > 4 && head.starts_with("loop") &&
         std::all_of(head.begin() + 4, head.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The stem of a head "<stem>_<digits>", as an unrolled loop names the output
// of an iteration; empty for any other head.
std::string_view stem_of(std::string_view head) {
  const std::size_t cut = head.find_last_of('_');
  if (cut == std::string_view::npos || cut + 1 == head.size()) return {};
  for (std::size_t i = cut + 1; i < head.size(); ++i)
    if (head[i] < '0' || head[i] > '9') return {};
  return head.substr(0, cut);
}

// The decimal digits of the numbers 0 to n - 1, in all.
std::uint64_t digits_below(std::uint64_t n) {
  std::uint64_t total = 0;
  std::uint64_t low = 0;
  std::uint64_t high = 10;
  for (std::uint64_t width = 1; low < n; ++width) {
    total = add_sat(total, mul_sat(std::min(n, high) - low, width));
    if (high > kSaturated / 10) break;  // n is below 10^20
    low = high;
    high *= 10;
  }
  return total;
}

Sizes plus(const Sizes& a, const Sizes& b) {
  Sizes out = a;
  out += b;
  return out;
}

}  // namespace

void fail_too_many_ops() {
  std::string msg = "flattened function exceeds ";
  append_uint(msg, kMaxFlatOps);
  msg += " operations";
  fail(std::move(msg));
}

void fail_too_many_name_bytes() {
  std::string msg = "flattened function exceeds ";
  append_uint(msg, kMaxFlatNameBytes);
  msg += " bytes of new names";
  fail(std::move(msg));
}

void check_room(const Sizes& have, std::uint64_t count, const Sizes& each) {
  // `have` is within the bounds: no wrapping below.
  if (each.ops != 0 && count > (kMaxFlatOps - have.ops) / each.ops) fail_too_many_ops();
  if (each.operands != 0 && count > (kMaxFlatOperands - have.operands) / each.operands)
    fail_too_many_operands();
}

void check_within(const Sizes& size) {
  if (size.ops > kMaxFlatOps) fail_too_many_ops();
  if (size.operands > kMaxFlatOperands) fail_too_many_operands();
}

void check_arity(std::uint64_t n, std::uint64_t m) {
  const std::uint64_t k = n < m ? n - 1 : n;  // wraps to 2^64-1 for n = 0 < m
  if (k > m) {
    std::string msg = "range end index ";
    append_uint(msg, k);
    msg += " out of range for slice of length ";
    append_uint(msg, m);
    fail(std::move(msg));
  }
}

Planner::Planner(const OrderedMap<Function>& functions, const Symbols& symbols)
    : functions_(functions), symbols_(symbols) {
  for (std::string_view s : symbols) {
    if (const std::string_view stem = stem_of(head_of(s)); stem.data() != nullptr)
      symbol_stems_.insert(stem);
    if (s.find('.') == std::string_view::npos) continue;
    symbol_heads_.insert(head_of(s));
    if (is_loop_head(head_of(s))) symbol_loop_head_ = true;
  }
}

const Function& Planner::lookup(std::string_view name) const {
  const Function* fn = functions_.find(name);
  if (fn == nullptr) fail_no_entry();
  return *fn;
}

void Planner::tick() {
  if ((++work_ & 4095) == 0) poll_interrupt();
}

const Planner::Plan& Planner::plan_entry(const Function& fn, Text name) {
  active_.push_back({name, &fn});
  entry_ = Plan{};
  walk(fn, entry_, false);
  active_.pop_back();
  name_bytes_ = add_sat(name_bytes_, entry_.names.made);
  entry_name_bytes_ = name_bytes_;
  return entry_;
}

// A function is planned once. Met again, it is nested as deep as the site
// that meets it: the levels below it, noted when it was planned, tell whether
// that site would pass the nesting bound, and at which function it would not.
const Planner::Plan& Planner::plan_callee(const Function& fn, Text name) {
  const std::size_t depth = active_.size();
  if (auto it = plans_.find(&fn); it != plans_.end()) {
    const Plan& plan = it->second;
    if (depth > kMaxCallNesting) fail_nesting(name);
    if (depth + plan.below.size() > kMaxCallNesting)
      fail_nesting(plan.below[kMaxCallNesting - depth]);
    return plan;
  }
  for (std::size_t i = 0; i < depth; ++i) {
    if (active_[i].fn != &fn) continue;
    std::string msg = "call cycle: ";
    for (std::size_t j = i; j < depth; ++j) {
      msg += active_[j].name;
      msg += " -> ";
    }
    msg += name;
    fail(std::move(msg));
  }
  if (depth > kMaxCallNesting) fail_nesting(name);
  active_.push_back({name, &fn});
  Plan plan;
  walk(fn, plan, true);
  active_.pop_back();
  // A callee's flat body is built once, however often it is inlined.
  name_bytes_ = add_sat(name_bytes_, plan.names.made);
  return plans_.emplace(&fn, std::move(plan)).first->second;
}

// The ops of `fn` in order, each checked as flattening checks it; sizes add up
// with the room checked before each op or site. `note`: `fn` is a callee,
// whose levels below and whose names are noted.
void Planner::walk(const Function& fn, Plan& plan, bool note) {
  Sizes& size = plan.size;
  NameBytes& names = plan.names;
  // The heads of the names that the signature may claim, and their stems.
  std::unordered_set<std::string_view> heads, stems;
  if (note) {
    for (const Param& p : fn.params) heads.insert(head_of(p.name));
    for (const Param& p : fn.returns) heads.insert(head_of(p.name));
    for (std::string_view head : heads)
      if (const std::string_view stem = stem_of(head); stem.data() != nullptr) stems.insert(stem);
  }
  // Whether the signature or a symbol may claim a name with the head `head`.
  auto claimed = [&](std::string_view head) { return heads.contains(head) || symbol_head(head); };
  const bool loop_heads_claimed =
      symbol_loop_head_ || std::any_of(heads.begin(), heads.end(), is_loop_head);
  // A loop's output names its last iteration's output in later arguments.
  OrderedMap<std::string> subst;
  auto substituted = [&subst](Text name) -> std::string_view {
    if (subst.empty()) return name;
    const std::string* to = subst.find(name);
    return to == nullptr ? name : std::string_view(*to);
  };
  // The names the function's own ops hold, each one name of its flat body
  // however often it comes: texts of the module, and names loops leave
  // behind (kept in `left`). Outputs are taken as written, arguments
  // substituted. (A name only a site holds stays in the flat body only if the
  // callee's body uses it.)
  std::unordered_set<std::string_view> own;
  std::vector<std::string_view> own_order;
  std::deque<std::string> left;
  auto own_name = [&](std::string_view name, bool copy) {
    if (!note || own.contains(name)) return;
    if (copy) name = left.emplace_back(name);
    own.insert(name);
    own_order.push_back(name);
  };
  auto own_args = [&](const Op& op) {
    for (const Atom& arg : op.args) {
      if (!arg.is_str()) continue;
      const std::string_view to = substituted(arg.as_str());
      own_name(to, to.data() != arg.as_str().data());
    }
  };
  std::vector<std::uint8_t> strs;  // of a site's arguments

  // What inlining `callee` (its plan `body`) `count` times at `op` makes:
  // the callee's own names renamed by their rules, the names from below that
  // are surely locals, each with the site's prefix (the op's first output and
  // a dot, or "loop<i>." in iteration i), and in iteration i of a loop, its
  // output "<out>_<i + 1>", the starred arguments that rules read, with i in
  // place of the star, and the starred cache slots likewise. Of those, the
  // locals and the iterations' outputs are locals of this body too, unless
  // the signature or a symbol may claim their head.
  auto renamed_at = [&](const Op& op, Plan& body, std::uint64_t count, bool loop) {
    if (body.size.ops == 0) return;  // nothing to rename: the site is skipped
    const Text out = op.outputs[0];
    strs.clear();
    for (const Atom& arg : op.args) strs.push_back(arg.is_str());
    RenameRules& rules = body.own_rules;
    rules.resolve(strs, loop ? 1 : op.outputs.size());
    // The threaded argument of a loop: the first that names its output.
    std::size_t threaded = op.args.size();
    if (loop) {
      threaded = 0;
      while (!(strs[threaded] && substituted(op.args[threaded].as_str()) == out)) ++threaded;
    }
    // Whether argument `p` is a name ending in ".*", which an iteration
    // replaces by the name with its index in place of the star.
    auto starred = [&](std::size_t p) {
      return loop && p != threaded && strs[p] && substituted(op.args[p].as_str()).ends_with(".*");
    };
    // The bytes of argument `p` as a name, summed over the iterations.
    auto arg_bytes = [&](std::size_t p) {
      const std::uint64_t length = substituted(op.args[p].as_str()).size();
      if (p == threaded)  // the output of the iteration before
        return add_sat(length, add_sat(mul_sat(count - 1, length + 1), digits_below(count) - 1));
      if (starred(p)) return add_sat(mul_sat(count, length - 1), digits_below(count));
      return mul_sat(count, length);
    };
    // The site's prefix, summed over the iterations.
    const std::uint64_t prefixes =
        loop ? add_sat(mul_sat(count, 5), digits_below(count)) : out.size() + 1;
    std::uint64_t made = 0;
    bool output_held = false;  // whether an op of the body holds the site's output
    std::uint64_t locals = body.names.locals;
    std::uint64_t local_bytes =
        add_sat(mul_sat(body.names.locals, prefixes), mul_sat(count, body.names.local_bytes));
    for (std::size_t id = 0; id < body.own_sizes.size(); ++id) {
      const Rule& rule = rules.rule(id);
      const std::uint64_t length = body.own_sizes[id];
      switch (rule.kind) {
        case RuleKind::Output:
          output_held = output_held || rule.index == 0;
          break;
        case RuleKind::Symbol:
        case RuleKind::Arg:
          break;
        case RuleKind::Local:
          locals = add_sat(locals, 1);
          local_bytes = add_sat(local_bytes, add_sat(prefixes, mul_sat(count, length)));
          break;
        case RuleKind::Record:
          made = add_sat(made, add_sat(arg_bytes(rule.index), mul_sat(count, length + 1)));
          break;
        case RuleKind::Wild:
          made = add_sat(made, add_sat(arg_bytes(rule.index), mul_sat(count, length - rule.cut)));
          break;
      }
    }
    made = add_sat(made, local_bytes);
    if (loop) {
      // The starred names themselves, made once per iteration.
      for (std::uint32_t p : rules.used_args())
        if (starred(p)) made = add_sat(made, arg_bytes(p));
      made = add_sat(made, add_sat(mul_sat(count, body.names.slot_bytes),
                                   mul_sat(body.names.slots, digits_below(count))));
      const std::uint64_t outputs =
          add_sat(mul_sat(count, out.size() + 1), digits_below(count + 1) - 1);
      made = add_sat(made, outputs);
      const bool out_claimed = out.find('.') == std::string_view::npos
                                   ? stems.contains(out) || symbol_stems_.contains(out)
                                   : claimed(head_of(out));
      if (note && output_held && !out_claimed) {
        names.locals = add_sat(names.locals, count);
        names.local_bytes = add_sat(names.local_bytes, outputs);
      }
    } else {
      names.slots = add_sat(names.slots, body.names.slots);
      names.slot_bytes = add_sat(names.slot_bytes, body.names.slot_bytes);
    }
    names.made = add_sat(names.made, made);
    if (note && !(loop ? loop_heads_claimed : claimed(head_of(out)))) {
      names.locals = add_sat(names.locals, mul_sat(locals, count));
      names.local_bytes = add_sat(names.local_bytes, local_bytes);
    }
  };
  // The site of an op inlining `target` `count` times (count > 0).
  auto site = [&](const Op& op, Text target, std::uint64_t count) {
    const Function& callee = lookup(target);
    const Plan& body = plan_callee(callee, target);
    if (note) note_depths(plan.below, target, body.below);
    check_arity(op.args.size(), callee.params.size());
    if (count > kMaxFlatOps) {
      std::string msg = "loop count ";
      append_uint(msg, count);
      msg += " exceeds the limit of ";
      append_uint(msg, kMaxFlatOps);
      msg += " iterations";
      fail(std::move(msg));
    }
    check_room(size, count, body.size);
    if (body.size.caches != 0) plan.cache_steps.push_back({&op, &callee, size});
    if (body.starred && op_tag(op.kind()) == OpTag::Call) plan.starred = true;
    size += body.size.times(count);
    add_use(callee);
    renamed_at(op, plan_of(callee), count, op_tag(op.kind()) == OpTag::Loop);
  };

  for (const Op& op : fn.ops) {
    tick();
    switch (op_tag(op.kind())) {
      case OpTag::Call:
        if (op.outputs.empty()) fail_index(0, 0);
        site(op, std::get<Call>(op.kind()).target, 1);
        break;
      case OpTag::Loop: {
        const Loop& loop = std::get<Loop>(op.kind());
        if (loop.count.is_named()) {
          fail("Loop count '" + std::string(loop.count.name()) +
               "' not resolved before flattening");
        }
        if (op.outputs.empty()) fail_index(0, 0);
        const Text out = op.outputs[0];
        bool threaded = false;
        for (const Atom& arg : op.args) {
          if (arg.is_str() && substituted(arg.as_str()) == out) {
            threaded = true;
            break;
          }
        }
        if (!threaded) fail("Loop must have a threaded arg matching output name");
        const std::uint64_t count = loop.count.value();
        if (count > 0) site(op, loop.target, count);
        std::string last(out);
        last.push_back('_');
        append_uint(last, count);
        names.made = add_sat(names.made, last.size());
        subst.insert(out, std::move(last));
        break;
      }
      case OpTag::Cache: {
        plan.cache_steps.push_back({&op, nullptr, size});
        const Text var = std::get<Cache>(op.kind()).var;
        if (var.ends_with(".*")) {
          plan.starred = true;
          names.slots = add_sat(names.slots, 1);
          names.slot_bytes = add_sat(names.slot_bytes, var.size() - 1);
        }
        [[fallthrough]];
      }
      case OpTag::View:
      case OpTag::Map:
      case OpTag::Fold:
      case OpTag::Tile:
      case OpTag::Read:
      case OpTag::Write:
      case OpTag::Contract:
      case OpTag::Literal:
      case OpTag::Iota:
      case OpTag::Random: {
        const Sizes one{1, op.outputs.size() + op.args.size(),
                        op_tag(op.kind()) == OpTag::Cache ? 1u : 0u};
        check_room(size, 1, one);
        size += one;
        for (Text output : op.outputs) own_name(output, false);
        own_args(op);
        break;
      }
    }
  }
  if (!note) return;
  plan.own_sizes.reserve(own_order.size());
  for (std::string_view name : own_order) plan.own_sizes.push_back(name.size());
  plan.own_rules.prepare(own_order, fn.params, fn.returns, symbols_);
}

void Planner::each_cache(CacheVisitor& visitor) {
  visit_steps(entry_.cache_steps, Sizes{}, nullptr, visitor);
}

// `index` is the iteration of the innermost loop around these steps, if any:
// a slot ending in ".*" takes it.
void Planner::visit_steps(const std::vector<CacheStep>& steps, const Sizes& base,
                          const std::uint64_t* index, CacheVisitor& visitor) {
  for (const CacheStep& step : steps) {
    const Sizes at = plus(base, step.before);
    if (step.callee == nullptr) {
      tick();
      const Cache& cache = std::get<Cache>(step.op->kind());
      std::string_view var = cache.var;
      if (index != nullptr && var.ends_with(".*")) {
        slot_.assign(var.substr(0, var.size() - 2));
        slot_.push_back('.');
        append_uint(slot_, *index);
        var = slot_;
      }
      visitor.visit(*step.op, cache, var, at);
      continue;
    }
    const Plan& body = plans_.at(step.callee);
    if (const Loop* loop = std::get_if<Loop>(&step.op->kind())) {
      const std::uint64_t count = loop->count.value();
      if (count > 1 && !(body.starred && visitor.by_name())) {
        const std::uint64_t first = 0;
        const auto since = visitor.progress();
        visit_steps(body.cache_steps, at, &first, visitor);
        visitor.repeat(since, count - 1);
        continue;
      }
      for (std::uint64_t i = 0; i < count; ++i)
        visit_steps(body.cache_steps, plus(at, body.size.times(i)), &i, visitor);
    } else {
      visit_steps(body.cache_steps, at, index, visitor);
    }
  }
}

}  // namespace quarvel::flat
