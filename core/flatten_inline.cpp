#include "core/flatten_inline.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/error.h"
#include "core/flatten_cache.h"
#include "core/flatten_rename.h"
#include "core/interrupt.h"

namespace quarvel::flat {

namespace {

// ---- texts --------------------------------------------------------------------

// The bytes of new names one flattening may still make; the pools of one
// flattening draw on one budget.
struct NameBudget {
  std::uint64_t left;
};

// New texts of a context, cut from blocks of their own: lists allocated in
// between need no padding after a text of odd length. Every text is taken
// from `budget` first, so that a short input cannot make names without end.
class TextPool {
 public:
  TextPool(Context& ctx, NameBudget& budget) : ctx_(ctx), budget_(budget) {}

  Context& context() { return ctx_; }
  char* allocate(std::size_t n) {
    if (n > budget_.left) fail_too_many_name_bytes();
    budget_.left -= n;
    if (n > static_cast<std::size_t>(end_ - next_)) {
      if (n > kBlock / 8) return ctx_.allocate<char>(n);
      next_ = ctx_.allocate<char>(kBlock);
      end_ = next_ + kBlock;
    }
    char* const text = next_;
    next_ += n;
    return text;
  }

 private:
  static constexpr std::size_t kBlock = 16384;
  Context& ctx_;
  NameBudget& budget_;
  char* next_ = nullptr;
  char* end_ = nullptr;
};

// Appends `s` at `p`. Names are mostly short: up to 16 bytes are copied as two
// words that may overlap, without a call.
void put(char*& p, std::string_view s) {
  const char* const from = s.data();
  const std::size_t n = s.size();
  if (n >= 8 && n <= 16) {
    std::memcpy(p, from, 8);
    std::memcpy(p + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(p, from, 4);
    std::memcpy(p + n - 4, from + n - 4, 4);
  } else if (n != 0) {
    std::memcpy(p, from, n);
  }
  p += n;
}

// The parts one after another, as one new text.
Text join(TextPool& texts, std::initializer_list<std::string_view> parts) {
  std::size_t n = 0;
  for (std::string_view part : parts) n += part.size();
  if (n == 0) return {};
  char* const text = texts.allocate(n);
  char* p = text;
  for (std::string_view part : parts) put(p, part);
  return Text(text, n);
}

// "{base}{sep}{digits}"
Text numbered(TextPool& texts, std::string_view base, char sep, std::string_view digits) {
  return join(texts, {base, std::string_view(&sep, 1), digits});
}

// "{base}{sep}{n}"
Text numbered(TextPool& texts, std::string_view base, char sep, std::uint64_t n) {
  char digits[20];
  const char* const end = std::to_chars(digits, digits + 20, n).ptr;
  return numbered(texts, base, sep,
                  std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// A count from zero up, one at a time, kept in decimal: a step changes the
// last digits instead of converting the whole number again.
class DecimalCount {
 public:
  std::string_view text() const { return std::string_view(digits_ + first_, kDigits - first_); }
  void next() {
    for (std::size_t i = kDigits; i-- > first_;) {
      if (digits_[i] != '9') {
        ++digits_[i];
        return;
      }
      digits_[i] = '0';
    }
    assert(first_ > 0);  // counts stay far below 10^20
    digits_[--first_] = '1';
  }

 private:
  static constexpr std::size_t kDigits = 20;
  char digits_[kDigits] = {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                           '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'};
  std::size_t first_ = kDigits - 1;  // "0"
};

// ---- compact flat bodies ----------------------------------------------------------

// One op of a flat body: the op it copies, and its names.
struct BodyOp {
  const Op* src;
  Text var;             // a cache op's slot as a loop renamed it; empty: the src's own
  std::uint32_t names;  // the first of its names in Body::refs
  std::uint32_t count;  // its outputs, then its Str arguments
};

struct Body {
  std::vector<BodyOp> ops;
  std::vector<std::uint32_t> refs;  // by op: its outputs, then its Str arguments
  std::vector<Text> names;          // by number
  RenameRules rules;                // by number, once the body is complete

  std::uint64_t remaining = kSaturated;  // uses left before the body is dropped
};

// Drops the names of `body` that none of its ops holds: arguments and
// outputs of sites whose callee's body did not use them. Every site renames
// each name of the table, so a site then costs what the body's ops hold.
void drop_unused_names(Body& body) {
  constexpr std::uint32_t kUnused = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> renumbered(body.names.size(), kUnused);
  for (std::uint32_t ref : body.refs) renumbered[ref] = 0;
  std::uint32_t kept = 0;
  for (std::size_t id = 0; id < body.names.size(); ++id) {
    if (renumbered[id] == kUnused) continue;
    renumbered[id] = kept;
    body.names[kept++] = body.names[id];
  }
  if (kept == body.names.size()) return;
  body.names.resize(kept);
  for (std::uint32_t& ref : body.refs) ref = renumbered[ref];
}

// The names and arguments of one site, in the caller's names (`Ref`).
template <class Ref>
struct Site {
  std::vector<std::uint8_t> strs;  // by argument: a name (1) or a number (0)
  std::vector<Ref> args;           // by argument: its name (numbers: unused)
  std::vector<Ref> outputs;
  std::string prefix;              // the prefix text: the prefix and a dot
  std::vector<Ref> renamed;        // by name of the callee's body
};

// Renames every name of `body` at `site`, whose arguments are `args`, into
// `site.renamed`. `names` makes and reads the caller's names.
template <class Names>
void rename(Names& names, const Body& body, Site<typename Names::Ref>& site,
            const typename Names::Ref* args) {
  TextPool& texts = names.texts();
  site.renamed.resize(body.names.size());
  for (std::size_t id = 0; id < body.names.size(); ++id) {
    const Rule& rule = body.rules.rule(id);
    const Text name = body.names[id];
    auto& to = site.renamed[id];
    switch (rule.kind) {
      case RuleKind::Symbol:
        to = names.fresh(body.rules.canonical(id));
        break;
      case RuleKind::Local:
        to = names.fresh(join(texts, {site.prefix, name}));
        break;
      case RuleKind::Arg:
        to = args[rule.index];
        break;
      case RuleKind::Record:
        to = names.fresh(join(texts, {names.text(args[rule.index]), ".", name}));
        break;
      case RuleKind::Output:
        to = site.outputs[rule.index];
        break;
      case RuleKind::Wild:
        to = names.fresh(join(texts, {names.text(args[rule.index]), name.substr(rule.cut)}));
        break;
    }
  }
}

// Loop outputs, by the name of the loop's output, mapped to the name of their
// last iteration's output.
using Subst = OrderedMap<Text>;

Text substituted(const Subst& subst, Text name) {
  if (subst.empty()) return name;
  const Text* to = subst.find(name);
  return to == nullptr ? name : *to;
}

// The slot a loop's iteration gives a cache op whose slot is `var`; `index`
// holds the iteration's number in decimal, or is none outside a loop.
Text slot_name(TextPool& texts, Text var, const std::string_view* index) {
  if (index == nullptr || !var.ends_with(".*")) return var;
  return numbered(texts, var.substr(0, var.size() - 2), '.', *index);
}

// ---- the inliner -----------------------------------------------------------------

class Inliner {
 public:
  explicit Inliner(const InlineInputs& in)
      : in_(in), budget_{in.max_name_bytes}, out_(in.out, budget_),
        scratch_(scratch_context_, budget_) {}

  // The new texts of the result, and those of the callees' flat bodies.
  TextPool& out() { return out_; }
  // The bytes of new names made so far.
  std::uint64_t made() const { return in_.max_name_bytes - budget_.left; }
  TextPool& scratch() { return scratch_; }
  const Function& lookup(std::string_view name) const {
    const Function* fn = in_.functions.find(name);
    if (fn == nullptr) fail_no_entry();
    return *fn;
  }
  void tick() {
    if ((++work_ & 4095) == 0) poll_interrupt();
  }

  // The ops of `fn` into `sink`: calls inlined, loops unrolled.
  template <class Sink>
  void walk(const Function& fn, Sink& sink);

  // The flat body of `callee` bound at `site`, into `sink`; the site's use of
  // the body ends there.
  template <class Sink>
  void inline_site(Sink& sink, const Function& callee, Site<typename Sink::Ref>& site);

 private:
  template <class Sink>
  void call_site(Sink& sink, const Op& op, const Subst& subst);
  template <class Sink>
  void unroll(Sink& sink, const Op& op, Subst& subst);
  template <class Sink>
  void bind_args(Sink& sink, Site<typename Sink::Ref>& site, const Args& args, const Subst& subst);
  template <class Sink>
  void emit_body(Sink& sink, const Body& body, const typename Sink::Ref* renamed,
                 const std::string_view* slot);

  Body& body_of(const Function& fn);
  void release(const Function& fn);

  const InlineInputs& in_;
  Context scratch_context_;
  NameBudget budget_;
  TextPool out_;
  TextPool scratch_;
  std::unordered_map<const Function*, Body> bodies_;
  std::uint64_t work_ = 0;
};

// A callee's flat body being built: names are numbers into its table.
class BodySink {
 public:
  using Ref = std::uint32_t;

  BodySink(Inliner& inliner, Body& body) : inliner_(inliner), body_(body) {}

  TextPool& texts() { return inliner_.scratch(); }
  Site<Ref>& site() { return site_; }
  Text text(Ref ref) const { return body_.names[ref]; }
  Ref fresh(Text text) {
    body_.names.push_back(text);
    return static_cast<Ref>(body_.names.size() - 1);
  }
  // The function's own names: one number per text.
  Ref own(Text text) {
    auto [it, added] = index_.try_emplace(text, 0);
    if (added) it->second = fresh(text);
    return it->second;
  }

  void own_op(const Op& op, const Subst& subst) {
    const std::size_t first = body_.refs.size();
    for (Text output : op.outputs) body_.refs.push_back(own(output));
    for (const Atom& arg : op.args)
      if (arg.is_str()) body_.refs.push_back(own(substituted(subst, arg.as_str())));
    body_.ops.push_back(BodyOp{&op, {}, static_cast<std::uint32_t>(first),
                               static_cast<std::uint32_t>(body_.refs.size() - first)});
  }

  void inlined(const Body& from, const BodyOp& op, const Ref* renamed,
               const std::string_view* slot) {
    BodyOp& copy = body_.ops.emplace_back(
        BodyOp{op.src, op.var, static_cast<std::uint32_t>(body_.refs.size()), op.count});
    if (slot != nullptr) {
      if (const Cache* cache = std::get_if<Cache>(&op.src->kind())) {
        // The slot may reach the result: its text goes there.
        const Text var = op.var.empty() ? cache->var : op.var;
        const Text renamed_var = slot_name(inliner_.out(), var, slot);
        if (renamed_var.data() != var.data()) copy.var = renamed_var;
      }
    }
    const std::uint32_t* refs = from.refs.data() + op.names;
    for (std::uint32_t j = 0; j < op.count; ++j) body_.refs.push_back(renamed[refs[j]]);
  }

 private:
  Inliner& inliner_;
  Body& body_;
  std::unordered_map<std::string_view, Ref> index_;
  Site<Ref> site_;
};

// The entry's flat body: names are texts, ops go to the sink, and
// each cache op, when lowering, is replaced by what it lowers to.
class EntrySink {
 public:
  using Ref = Text;

  EntrySink(Inliner& inliner, FlatOpSink& ops, CacheLowering* lowering)
      : inliner_(inliner), texts_(inliner.out()), ctx_(texts_.context()), ops_(ops),
        lowering_(lowering) {}

  TextPool& texts() { return texts_; }
  Site<Ref>& site() { return site_; }
  Text text(Ref ref) const { return ref; }
  Ref fresh(Text text) const { return text; }
  Ref own(Text text) const { return text; }

  void own_op(const Op& op, const Subst& subst) {
    if (lowering_ != nullptr) {
      if (const Cache* cache = std::get_if<Cache>(&op.kind())) {
        lower(op, *cache, cache->var, [&](Site<Ref>& site) {
          for (const Atom& arg : op.args) {
            site.strs.push_back(arg.is_str());
            site.args.push_back(arg.is_str() ? substituted(subst, arg.as_str()) : Text());
          }
        });
        return;
      }
    }
    Args args = op.args;
    if (!subst.empty()) {
      const auto hit = [&subst](const Atom& a) { return a.is_str() && subst.contains(a.as_str()); };
      if (std::any_of(args.begin(), args.end(), hit)) {
        Atom* copy = ops_.args(args.size());
        for (std::size_t i = 0; i < args.size(); ++i)
          copy[i] = hit(args[i]) ? Atom::str(*subst.find(args[i].as_str())) : args[i];
        args = Args(copy, op.args.size());
      }
    }
    ops_.add(Op{op.head, op.outputs, op.output_types, args});
  }

  void inlined(const Body& from, const BodyOp& op, const Ref* renamed,
               const std::string_view* slot) {
    const Op& src = *op.src;
    const std::uint32_t* refs = from.refs.data() + op.names;
    const std::size_t outputs = src.outputs.size();
    const Cache* cache = std::get_if<Cache>(&src.kind());
    Text var;
    if (cache != nullptr) {
      var = slot_name(texts_, op.var.empty() ? cache->var : op.var, slot);
      if (lowering_ != nullptr) {
        lower(src, *cache, var, [&](Site<Ref>& site) {
          const std::uint32_t* arg = refs + outputs;
          for (const Atom& a : src.args) {
            site.strs.push_back(a.is_str());
            site.args.push_back(a.is_str() ? renamed[*arg++] : Text());
          }
        });
        return;
      }
    }
    Outputs outs;
    if (outputs != 0) {
      Text* texts = ops_.outputs(outputs);
      for (std::size_t j = 0; j < outputs; ++j) texts[j] = renamed[refs[j]];
      outs = Outputs(texts, outputs);
    }
    Args args = src.args;
    if (op.count != outputs) {
      // Some arguments are names: a list of its own.
      Atom* atoms = ops_.args(args.size());
      const std::uint32_t* arg = refs + outputs;
      for (std::size_t i = 0; i < args.size(); ++i)
        atoms[i] = args[i].is_str() ? Atom::str(renamed[*arg++]) : args[i];
      args = Args(atoms, src.args.size());
    }
    Op emitted{src.head, outs, src.output_types, args};
    if (cache != nullptr && var.data() != cache->var.data()) {
      Cache renamed = *cache;
      renamed.var = var;
      emitted.head = ctx_.head(src, renamed);
    }
    ops_.add(emitted);
  }

 private:
  // Replaces the cache op `src`, its slot `var`, by what it lowers to;
  // `add_args` appends the cache op's arguments to a site.
  template <class AddArgs>
  void lower(const Op& src, const Cache& cache, Text var, AddArgs&& add_args) {
    const CacheLowering::Site lowered = lowering_->lower(ctx_, src, cache, var);
    if (lowered.fn == nullptr) return;
    Site<Ref>& site = lowered_site_;
    site.strs.clear();
    site.args.clear();
    if (lowered.extend) {
      site.strs.push_back(1);
      site.args.push_back(var);
    }
    add_args(site);
    site.outputs.assign(1, lowered.out);
    site.prefix.assign(lowered.out).push_back('.');
    // What a slot lowers to is not lowered again.
    CacheLowering* const lowering = std::exchange(lowering_, nullptr);
    inliner_.inline_site(*this, *lowered.fn, site);
    lowering_ = lowering;
  }

  Inliner& inliner_;
  TextPool& texts_;
  Context& ctx_;
  FlatOpSink& ops_;
  CacheLowering* lowering_;
  Site<Ref> site_;          // of the call or loop being inlined
  Site<Ref> lowered_site_;  // of the slot being lowered, within it
};

template <class Sink>
void Inliner::walk(const Function& fn, Sink& sink) {
  Subst subst;
  for (const Op& op : fn.ops) {
    switch (op_tag(op.kind())) {
      case OpTag::Call:
        call_site(sink, op, subst);
        break;
      case OpTag::Loop:
        unroll(sink, op, subst);
        break;
      case OpTag::View:
      case OpTag::Map:
      case OpTag::Fold:
      case OpTag::Tile:
      case OpTag::Read:
      case OpTag::Write:
      case OpTag::Contract:
      case OpTag::Literal:
      case OpTag::Iota:
      case OpTag::Random:
      case OpTag::Cache:
        tick();
        sink.own_op(op, subst);
        break;
    }
  }
}

template <class Sink>
void Inliner::bind_args(Sink& sink, Site<typename Sink::Ref>& site, const Args& args,
                        const Subst& subst) {
  site.strs.clear();
  site.args.clear();
  for (const Atom& arg : args) {
    site.strs.push_back(arg.is_str());
    site.args.push_back(arg.is_str() ? sink.own(substituted(subst, arg.as_str()))
                                     : typename Sink::Ref{});
  }
}

template <class Sink>
void Inliner::call_site(Sink& sink, const Op& op, const Subst& subst) {
  Site<typename Sink::Ref>& site = sink.site();
  bind_args(sink, site, op.args, subst);
  site.outputs.clear();
  for (Text output : op.outputs) site.outputs.push_back(sink.own(output));
  site.prefix.assign(op.outputs[0]).push_back('.');
  inline_site(sink, lookup(std::get<Call>(op.kind()).target), site);
}

template <class Sink>
void Inliner::inline_site(Sink& sink, const Function& callee, Site<typename Sink::Ref>& site) {
  Body& body = body_of(callee);
  if (!body.ops.empty()) {
    body.rules.resolve(site.strs, site.outputs.size());
    rename(sink, body, site, site.args.data());
    emit_body(sink, body, site.renamed.data(), nullptr);
  }
  release(callee);
}

// Iteration i binds the callee to the loop's arguments with the threaded one
// replaced by the previous iteration's output and each other name ending in
// ".*" by that name with i in place of the star; its output is
// "{out}_{i + 1}", its prefix "loop{i}". Only the arguments the callee's flat
// body uses are made, and a body without ops is not unrolled at all.
template <class Sink>
void Inliner::unroll(Sink& sink, const Op& op, Subst& subst) {
  using Ref = typename Sink::Ref;
  const Loop& loop = std::get<Loop>(op.kind());
  const Text out = op.outputs[0];
  const std::uint64_t count = loop.count.value();
  if (count > 0) {
    const Function& callee = lookup(loop.target);
    Body& body = body_of(callee);
    if (!body.ops.empty()) {
      Site<Ref>& site = sink.site();
      bind_args(sink, site, op.args, subst);
      std::size_t threaded = 0;
      while (!(site.strs[threaded] && sink.text(site.args[threaded]) == out)) ++threaded;
      site.outputs.assign(1, Ref{});
      std::vector<Ref> args = site.args;  // of the iteration
      // The arguments that change from one iteration to the next, of those
      // the body uses.
      std::vector<std::uint32_t> starred;
      bool threads = false;
      std::uint64_t generation = 0;
      auto bind = [&] {
        body.rules.resolve(site.strs, 1);
        generation = body.rules.generation();
        starred.clear();
        threads = false;
        for (std::uint32_t p : body.rules.used_args()) {
          if (p == threaded)
            threads = true;
          else if (site.strs[p] && sink.text(site.args[p]).ends_with(".*"))
            starred.push_back(p);
        }
      };
      bind();
      Ref current = site.args[threaded];
      DecimalCount index;  // i
      DecimalCount after;  // i + 1
      after.next();
      for (std::uint64_t i = 0; i < count; ++i, index.next(), after.next()) {
        // Lowering a slot within the last iteration may have resolved the
        // body for another shape.
        if (body.rules.generation() != generation) bind();
        const std::string_view digits = index.text();
        site.outputs[0] = sink.fresh(numbered(sink.texts(), out, '_', after.text()));
        if (threads) args[threaded] = current;
        for (std::uint32_t p : starred) {
          const Text text = sink.text(site.args[p]);
          args[p] =
              sink.fresh(numbered(sink.texts(), text.substr(0, text.size() - 2), '.', digits));
        }
        // Only the callee's own locals read the prefix.
        if (body.rules.locals()) site.prefix.assign("loop").append(digits).push_back('.');
        rename(sink, body, site, args.data());
        emit_body(sink, body, site.renamed.data(), &digits);
        current = site.outputs[0];
      }
    }
    release(callee);
  }
  // Later uses of the loop's output read its last iteration's output.
  subst.insert(out, numbered(sink.texts(), out, '_', count));
}

template <class Sink>
void Inliner::emit_body(Sink& sink, const Body& body, const typename Sink::Ref* renamed,
                        const std::string_view* slot) {
  for (const BodyOp& op : body.ops) {
    tick();
    sink.inlined(body, op, renamed, slot);
  }
}

Body& Inliner::body_of(const Function& fn) {
  if (auto it = bodies_.find(&fn); it != bodies_.end()) return it->second;
  Body body;
  {
    BodySink sink(*this, body);
    walk(fn, sink);
  }
  drop_unused_names(body);
  body.rules.prepare(body.names, fn.params, fn.returns, in_.symbols);
  if (auto uses = in_.uses.find(&fn); uses != in_.uses.end()) body.remaining = uses->second;
  return bodies_.emplace(&fn, std::move(body)).first->second;
}

void Inliner::release(const Function& fn) {
  auto it = bodies_.find(&fn);
  if (it == bodies_.end() || it->second.remaining == kSaturated) return;
  if (--it->second.remaining == 0) bodies_.erase(it);
}

// Names that are texts, for renaming on its own.
struct TextNames {
  using Ref = Text;
  explicit TextNames(Context& ctx) : pool(ctx, budget) {}
  NameBudget budget{kMaxFlatNameBytes};
  TextPool pool;
  TextPool& texts() { return pool; }
  Text text(Ref ref) const { return ref; }
  Ref fresh(Text text) const { return text; }
};

}  // namespace

Symbols module_symbols(const Module& module) {
  Symbols symbols;
  std::unordered_set<const TensorType*> types;
  std::unordered_set<std::string_view> dims;
  auto add_dims = [&](TypeRef ty) {
    if (!ty || !types.insert(ty.get()).second) return;
    for (const Dim& d : ty->shape)
      if (d.is_named()) dims.insert(d.name());
  };
  for (const auto& [key, fn] : module.functions) {
    types.clear();
    dims.clear();
    for (const Param& p : fn.params) add_dims(p.ty);
    for (const Param& p : fn.returns) add_dims(p.ty);
    for (const Op& op : fn.ops)
      for (TypeRef ty : op.output_types) add_dims(ty);
    for (const Op& op : fn.ops) {
      for (const Atom& arg : op.args) {
        if (!arg.is_str()) continue;
        const Text s = arg.as_str();
        if (starts_with(s, "param.") || (!dims.empty() && dims.contains(s))) symbols.add(s);
      }
    }
  }
  return symbols;
}

std::uint64_t emit_flat(const InlineInputs& in, const Function& fn, FlatOpSink& ops,
                        CacheLowering* lowering) {
  Inliner inliner(in);
  EntrySink sink(inliner, ops, lowering);
  inliner.walk(fn, sink);
  return inliner.made();
}

void emit_call(const InlineInputs& in, const Op& call, std::string_view prefix, FlatOpSink& ops) {
  Inliner inliner(in);
  EntrySink sink(inliner, ops, nullptr);
  Site<Text>& site = sink.site();
  for (const Atom& arg : call.args) {
    site.strs.push_back(arg.is_str());
    site.args.push_back(arg.is_str() ? arg.as_str() : Text());
  }
  site.outputs.assign(call.outputs.begin(), call.outputs.end());
  site.prefix.assign(prefix).push_back('.');
  inliner.inline_site(sink, inliner.lookup(std::get<Call>(call.kind()).target), site);
}

void rename_at_site(Context& ctx, const Symbols& symbols, List<Param> params,
                    std::span<const Text> args, std::string_view prefix_text,
                    std::span<const Text> names, std::vector<Text>& out) {
  Body body;
  body.names.assign(names.begin(), names.end());
  body.rules.prepare(body.names, params, {}, symbols);
  const std::vector<std::uint8_t> strs(args.size(), 1);
  body.rules.resolve(strs, 0);
  TextNames texts(ctx);
  Site<Text> site;
  site.prefix.assign(prefix_text);
  rename(texts, body, site, args.data());
  out = std::move(site.renamed);
}

}  // namespace quarvel::flat
