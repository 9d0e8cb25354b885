// Renaming at a site: what each name of a callee's flat body becomes.
//
// A name is a symbol (kept as it is), bound to an argument or an output of
// the site, renamed through a wildcard parameter or a record, or else a
// local of the site: the site's prefix, then the name. What the callee's
// signature says about each name is worked out once per callee; the rule of
// each name once per shape of site (how many arguments, which of them are
// names, how many outputs). Inlining renames by these rules, and planning
// counts with them the bytes of names inlining will make.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/ast.h"

namespace quarvel::flat {

/// The names inlining never rewrites. A lookup gives the text to use, which
/// lives as long as the texts added.
class Symbols {
 public:
  void add(Text text) { set_.insert(text); }
  const Text* find(std::string_view name) const {
    auto it = set_.find(name);
    return it == set_.end() ? nullptr : &*it;
  }
  std::size_t size() const { return set_.size(); }
  auto begin() const { return set_.begin(); }
  auto end() const { return set_.end(); }

 private:
  std::unordered_set<std::string_view> set_;
};

/// The wildcard parameters of a callee by name, matched against every prefix
/// of a name in one pass over the name.
class WildcardTrie {
 public:
  static constexpr std::uint32_t kNoParam = std::numeric_limits<std::uint32_t>::max();

  /// Adds parameter number `param`; `prev` chains parameters of one name,
  /// later first.
  void insert(std::string_view name, std::uint32_t param, std::vector<std::uint32_t>& prev) {
    std::uint32_t node = 0;
    for (char c : name) {
      const auto next = static_cast<std::uint32_t>(last_.size());
      auto [it, added] = children_.try_emplace(key(node, c), next);
      if (added) last_.push_back(kNoParam);
      node = it->second;
    }
    prev[param] = last_[node];
    last_[node] = param;
  }
  bool empty() const { return last_.size() == 1 && last_[0] == kNoParam; }

  /// Calls found(length, last parameter) for each parameter name that is
  /// `name` or a part of it before a dot, shortest first.
  template <class Found>
  void matches(std::string_view name, Found&& found) const {
    std::uint32_t node = 0;
    for (std::size_t i = 0;; ++i) {
      if (last_[node] != kNoParam && (i == name.size() || name[i] == '.')) found(i, last_[node]);
      if (i == name.size()) return;
      auto it = children_.find(key(node, name[i]));
      if (it == children_.end()) return;
      node = it->second;
    }
  }

 private:
  static std::uint64_t key(std::uint32_t node, char c) {
    return (std::uint64_t{node} << 8) | static_cast<unsigned char>(c);
  }
  std::vector<std::uint32_t> last_{kNoParam};  // by node: the last parameter named by its path
  std::unordered_map<std::uint64_t, std::uint32_t> children_;
};

/// How a name of a callee's flat body is renamed at sites of one shape.
enum class RuleKind : std::uint8_t {
  Symbol,  // the symbol's own text
  Local,   // the prefix text, then the name
  Arg,     // the argument bound to a parameter of that name
  Record,  // the last argument, a dot, the name (parameters past the arguments)
  Output,  // the site's output bound to a return of that name
  Wild,    // the argument bound to a wildcard parameter, then the rest of the name
};
/// A name's rule: its kind, the parameter, return or argument it reads, and
/// for Wild the length of the parameter's name.
struct Rule {
  RuleKind kind = RuleKind::Local;
  std::uint32_t index = 0;
  std::size_t cut = 0;
};

/// The rules of the names of one callee's flat body.
class RenameRules {
 public:
  /// Works out what the signature (`params`, `returns`) and `symbols` say
  /// about each of `names`, by number. Views of `symbols` are kept.
  void prepare(std::span<const Text> names, List<Param> params, List<Param> returns,
               const Symbols& symbols);

  /// Picks the rule of each name for a site whose arguments are names where
  /// `strs` is 1, with `outputs` outputs: arguments bind parameters by
  /// position up to k (n - 1 when n < m, else n); with 0 < n < m a last
  /// argument that is a name names a record whose fields supply the
  /// parameters from n - 1 on; outputs bind the returns named like no
  /// parameter. Bindings win over wildcards, a later binding of one name
  /// over an earlier one, a longer wildcard over a shorter one. Does nothing
  /// when the last site had the same shape. The arity must have been checked.
  void resolve(std::span<const std::uint8_t> strs, std::size_t outputs);

  /// For the shape resolved last:
  const Rule& rule(std::size_t id) const { return rules_[id]; }
  /// whether some name is a local, which reads the site's prefix;
  bool locals() const { return locals_; }
  /// the arguments some rule reads, each once;
  const std::vector<std::uint32_t>& used_args() const { return used_args_; }
  /// how many shapes were resolved so far.
  std::uint64_t generation() const { return generation_; }

  /// The text a symbol is kept as.
  Text canonical(std::size_t id) const { return infos_[id].canonical; }

 private:
  // One way a site may rename a name, tried in order until one applies.
  struct Candidate {
    enum Kind : std::uint8_t { Param, Return, Wild } kind;
    std::uint32_t index;  // of the parameter or return
    std::size_t cut = 0;  // Wild: the length of the parameter's name
  };
  struct Info {
    bool symbol = false;
    Text canonical;                      // a symbol's text
    std::uint32_t first = 0, count = 0;  // its candidates
  };
  friend class CalleeNames;

  std::vector<Info> infos_;
  std::vector<Candidate> candidates_;
  std::vector<std::uint8_t> wildcard_;  // by parameter
  std::size_t returns_ = 0;

  bool resolved_ = false;
  std::size_t n_ = 0, r_ = 0;       // arguments; outputs that bind returns
  std::vector<std::uint8_t> strs_;  // by argument: a name (1) or a number (0)
  std::vector<Rule> rules_;         // by name
  bool locals_ = false;
  std::vector<std::uint32_t> used_args_;
  std::uint64_t generation_ = 0;
};

}  // namespace quarvel::flat
