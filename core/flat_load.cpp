#include "core/flat_load.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/config.h"
#include "core/flatten.h"
#include "core/json_write.h"
#include "core/parse.h"
#include "core/resolve.h"

namespace quarvel {

namespace {

// ---- weight renaming --------------------------------------------------------

// A part of a weight reference made of ASCII digits only, or empty.
bool is_index_part(std::string_view part) {
  for (char c : part)
    if (c < '0' || c > '9') return false;
  return true;
}

// Resolves weight references through one map. Its buffers are reused from
// one reference to the next, so that a pass over a module allocates only
// while they grow.
class WeightResolver {
 public:
  explicit WeightResolver(const WeightMap& map) : map_(map) {}

  // The new text of `reference`, valid until the next call, or nothing.
  std::optional<std::string_view> resolve(std::string_view reference) {
    if (const auto exact = map_.find(reference); exact != map_.end())
      return std::string_view(exact->second);

    // Index parts aside; the other parts, joined, are the key.
    key_.clear();
    indices_.clear();
    std::size_t start = 0;
    for (;;) {
      const std::size_t dot = reference.find('.', start);
      const std::string_view part =
          reference.substr(start, dot == std::string_view::npos ? dot : dot - start);
      if (is_index_part(part)) {
        indices_.push_back(part);
      } else {
        if (!key_.empty()) key_ += '.';
        key_ += part;
      }
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
    // Without index parts the key is the reference, already looked up.
    if (indices_.empty()) return std::nullopt;
    const auto found = map_.find(key_);
    if (found == map_.end()) return std::nullopt;

    // Each index replaces the first "{}" still in the text. An empty index
    // removes its hole, which can join a '{' before it with a '}' after it
    // into a new hole; `out_` never holds a hole, so the only one that can
    // come before the next in `tmpl` is such a joined one.
    const std::string_view tmpl = found->second;
    out_.clear();
    std::size_t i = 0;
    for (std::string_view index : indices_) {
      if (!out_.empty() && out_.back() == '{' && i < tmpl.size() && tmpl[i] == '}') {
        out_.pop_back();
        ++i;
      } else {
        const std::size_t hole = tmpl.find("{}", i);
        if (hole == std::string_view::npos) break;
        out_.append(tmpl.substr(i, hole - i));
        i = hole + 2;
      }
      out_.append(index);
    }
    out_.append(tmpl.substr(i));
    return std::string_view(out_);
  }

  // `args` with its weight references renamed; the new list and texts are
  // added to `ctx`. When nothing changes, `args` itself.
  Args rename(Args args, Context& ctx) {
    bool changed = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
      const Atom& arg = args[i];
      if (!arg.is_str() || !starts_with(arg.as_str(), "weights.")) continue;
      const std::optional<std::string_view> text = resolve(arg.as_str());
      if (!text) continue;
      if (!changed) {
        atoms_.assign(args.begin(), args.end());
        changed = true;
      }
      atoms_[i] = Atom::str(ctx.text(*text));
    }
    return changed ? ctx.list(atoms_) : args;
  }

 private:
  const WeightMap& map_;
  std::string key_;
  std::vector<std::string_view> indices_;
  std::string out_;
  std::vector<Atom> atoms_;
};

}  // namespace

std::optional<std::string> resolve_weight_name(std::string_view reference, const WeightMap& map) {
  WeightResolver resolver(map);
  if (const std::optional<std::string_view> text = resolver.resolve(reference))
    return std::string(*text);
  return std::nullopt;
}

Module rename_weight_args(Module&& module, const WeightMap& map) {
  Module out = std::move(module);
  if (map.empty()) return out;
  WeightResolver resolver(map);
  Context& ctx = out.ctx();
  for (auto& entry : out.functions)
    for (Op& op : entry.second.ops) op.args = resolver.rename(op.args, ctx);
  return out;
}

Module rename_weight_args(const Module& module, const WeightMap& map) {
  return rename_weight_args(Module(module), map);
}

// ---- the pipeline -----------------------------------------------------------

void load_flat_json(const std::string& qrv_path, const std::string& config_path,
                    const std::string& entry, const std::vector<std::string>& cache_keys,
                    TextBuffer& out) {
  // Each intermediate module is dropped as soon as the next one is built,
  // which frees what it does not share with the next.
  Module flat = [&] {
    Module inferred = [&] {
      Module configured = [&] {
        const Module parsed = parse_file(qrv_path);
        const ConfigMap config = load_config(config_path);
        return apply_config(parsed, config);
      }();
      return infer_axes(std::move(configured));
    }();
    const CacheKeys keys(cache_keys.begin(), cache_keys.end());
    return flatten_module(inferred, entry, keys);
  }();
  const WeightMap weights = load_weights(config_path);
  write_module_json(rename_weight_args(std::move(flat), weights), out);
}

std::string load_flat_json(const std::string& qrv_path, const std::string& config_path,
                           const std::string& entry, const std::vector<std::string>& cache_keys) {
  TextBuffer out(0);
  load_flat_json(qrv_path, config_path, entry, cache_keys, out);
  return std::move(out).take();
}

}  // namespace quarvel
