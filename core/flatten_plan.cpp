#include "core/flatten_plan.h"

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
  return plans_.emplace(&fn, std::move(plan)).first->second;
}

// The ops of `fn` in order, each checked as flattening checks it; sizes add up
// with the room checked before each op or site.
void Planner::walk(const Function& fn, Plan& plan, bool note) {
  Sizes& size = plan.size;
  // A loop's output names its last iteration's output in later arguments.
  OrderedMap<std::string> subst;
  auto substituted = [&subst](Text name) -> std::string_view {
    if (subst.empty()) return name;
    const std::string* to = subst.find(name);
    return to == nullptr ? name : std::string_view(*to);
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
    if (body.starred && op_tag(op.kind) == OpTag::Call) plan.starred = true;
    size += body.size.times(count);
    add_use(callee);
  };

  for (const Op& op : fn.ops) {
    tick();
    switch (op_tag(op.kind)) {
      case OpTag::Call:
        if (op.outputs.empty()) fail_index(0, 0);
        site(op, std::get<Call>(op.kind).target, 1);
        break;
      case OpTag::Loop: {
        const Loop& loop = std::get<Loop>(op.kind);
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
        subst.insert(out, std::move(last));
        break;
      }
      case OpTag::Cache:
        plan.cache_steps.push_back({&op, nullptr, size});
        if (std::get<Cache>(op.kind).var.ends_with(".*")) plan.starred = true;
        [[fallthrough]];
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
                        op_tag(op.kind) == OpTag::Cache ? 1u : 0u};
        check_room(size, 1, one);
        size += one;
        break;
      }
    }
  }
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
      const Cache& cache = std::get<Cache>(step.op->kind);
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
    if (const Loop* loop = std::get_if<Loop>(&step.op->kind)) {
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
