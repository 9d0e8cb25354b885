#include "core/flatten_rename.h"

#include <algorithm>
#include <utility>

namespace quarvel::flat {

// What a callee's signature says about names, looked up once per name.
class CalleeNames {
  using Candidate = RenameRules::Candidate;

 public:
  CalleeNames(List<Param> params, List<Param> returns)
      : prev_param_(params.size(), WildcardTrie::kNoParam),
        prev_wild_(params.size(), WildcardTrie::kNoParam),
        prev_return_(returns.size(), WildcardTrie::kNoParam) {
    for (std::uint32_t i = 0; i < params.size(); ++i) {
      auto [it, added] = last_param_.try_emplace(params[i].name, i);
      if (!added) prev_param_[i] = std::exchange(it->second, i);
      if (params[i].ty->is_wildcard()) trie_.insert(params[i].name, i, prev_wild_);
    }
    // Only a return named like no parameter is bound to the site's output.
    for (std::uint32_t i = 0; i < returns.size(); ++i) {
      if (last_param_.contains(returns[i].name)) continue;
      auto [it, added] = last_return_.try_emplace(returns[i].name, i);
      if (!added) prev_return_[i] = std::exchange(it->second, i);
    }
  }

  // Appends the candidates of `name` in the order of the binding rules: the
  // parameters of that name (later first), or else the returns of that name
  // (later first); then the wildcard parameters whose name is `name` or a
  // part of it before a dot (longest first, later first).
  void candidates(std::string_view name, std::vector<Candidate>& out) {
    if (auto p = last_param_.find(name); p != last_param_.end()) {
      for (std::uint32_t j = p->second; j != WildcardTrie::kNoParam; j = prev_param_[j])
        out.push_back({Candidate::Param, j});
    } else if (auto r = last_return_.find(name); r != last_return_.end()) {
      for (std::uint32_t i = r->second; i != WildcardTrie::kNoParam; i = prev_return_[i])
        out.push_back({Candidate::Return, i});
    }
    if (trie_.empty()) return;
    matches_.clear();
    trie_.matches(name, [&](std::size_t length, std::uint32_t last) {
      matches_.emplace_back(length, last);
    });
    for (std::size_t k = matches_.size(); k-- > 0;)
      for (std::uint32_t i = matches_[k].second; i != WildcardTrie::kNoParam; i = prev_wild_[i])
        out.push_back({Candidate::Wild, i, matches_[k].first});
  }

 private:
  std::unordered_map<std::string_view, std::uint32_t> last_param_, last_return_;
  std::vector<std::uint32_t> prev_param_, prev_wild_, prev_return_;
  WildcardTrie trie_;
  std::vector<std::pair<std::size_t, std::uint32_t>> matches_;
};

void RenameRules::prepare(std::span<const Text> names, List<Param> params, List<Param> returns,
                          const Symbols& symbols) {
  CalleeNames signature(params, returns);
  infos_.assign(names.size(), Info{});
  candidates_.clear();
  for (std::size_t id = 0; id < names.size(); ++id) {
    Info& info = infos_[id];
    if (const Text* canonical = symbols.find(names[id])) {
      info.symbol = true;
      info.canonical = *canonical;
      continue;
    }
    info.first = static_cast<std::uint32_t>(candidates_.size());
    signature.candidates(names[id], candidates_);
    info.count = static_cast<std::uint32_t>(candidates_.size() - info.first);
  }
  wildcard_.resize(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) wildcard_[i] = params[i].ty->is_wildcard();
  returns_ = returns.size();
  resolved_ = false;
}

void RenameRules::resolve(std::span<const std::uint8_t> strs, std::size_t outputs) {
  const std::size_t n = strs.size();
  const std::size_t m = wildcard_.size();
  const std::size_t r = std::min(returns_, outputs);
  if (resolved_ && n_ == n && r_ == r &&
      std::equal(strs.begin(), strs.end(), strs_.begin()))
    return;
  resolved_ = true;
  n_ = n;
  r_ = r;
  strs_.assign(strs.begin(), strs.end());
  ++generation_;

  const std::size_t k = n < m ? n - 1 : n;  // n > 0 here when n < m: the arity was checked
  const bool record = n > 0 && n < m && strs[n - 1];
  auto bound = [&](std::uint32_t i) { return i < k && strs[i]; };

  rules_.resize(infos_.size());
  used_args_.clear();
  locals_ = false;
  std::vector<std::uint8_t> used(n, 0);
  for (std::size_t id = 0; id < infos_.size(); ++id) {
    const Info& info = infos_[id];
    Rule rule;
    if (info.symbol) rule.kind = RuleKind::Symbol;
    const std::uint32_t end = info.first + info.count;
    for (std::uint32_t c = info.first; c < end && rule.kind == RuleKind::Local; ++c) {
      const Candidate& cand = candidates_[c];
      switch (cand.kind) {
        case Candidate::Return:
          if (cand.index < r) rule = {RuleKind::Output, cand.index};
          break;
        case Candidate::Param:
          if (record && cand.index >= n - 1)
            rule = {RuleKind::Record, static_cast<std::uint32_t>(n - 1)};
          else if (!wildcard_[cand.index] && bound(cand.index))
            rule = {RuleKind::Arg, cand.index};
          break;
        case Candidate::Wild:
          if (bound(cand.index)) rule = {RuleKind::Wild, cand.index, cand.cut};
          break;
      }
    }
    switch (rule.kind) {
      case RuleKind::Arg:
      case RuleKind::Record:
      case RuleKind::Wild:
        if (!used[rule.index]) {
          used[rule.index] = 1;
          used_args_.push_back(rule.index);
        }
        break;
      case RuleKind::Local:
        locals_ = true;
        break;
      case RuleKind::Output:
      case RuleKind::Symbol:
        break;
    }
    rules_[id] = rule;
  }
}

}  // namespace quarvel::flat
