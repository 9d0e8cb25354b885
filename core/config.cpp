#include "core/config.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/error.h"
#include "core/json_read.h"

namespace quarvel {

// ---- reading configuration JSON -------------------------------------------

namespace {

// The value of one member of the configuration object, read whole, then
// tried as an integer in the signed 64-bit range, then as any other number,
// then as an array of numbers. A value of none of these forms fails once the
// closing brace of the object, when it comes next, has been read.
ConfigValue read_config_value(JsonReader& reader, std::vector<double>& list) {
  const auto is_number_start = [](int c) { return c == '-' || (c >= '0' && c <= '9'); };
  const int c = reader.peek();
  if (is_number_start(c)) {
    const JsonNumber number = reader.read_number();
    if (number.is_i64()) return ConfigValue{number.as_i64()};
    return ConfigValue{number.as_double()};
  }
  if (c == '[') {
    list.clear();
    bool numbers = true;
    reader.read_array({}, [&] {
      if (numbers && is_number_start(reader.peek())) {
        list.push_back(reader.read_number().as_double());
      } else {
        numbers = false;
        reader.check_value();
      }
    });
    if (numbers) return ConfigValue{list};
  } else {
    reader.check_value();
  }
  reader.object_closing_step();
  reader.fail_here("data did not match any variant of untagged enum ConfigValue");
}

}  // namespace

ConfigMap read_config_map_json(std::string_view text) {
  JsonReader reader(text);
  ConfigMap config;
  std::string name;
  std::vector<double> list;
  reader.read_map("a map", [&](std::string_view key) {
    name.assign(key);  // the key's text goes with the next string read
    ConfigValue value = read_config_value(reader, list);
    config.insert_or_assign(name, std::move(value));
  });
  reader.finish();
  return config;
}

// ---- substitution -----------------------------------------------------------

namespace {

constexpr std::string_view kParamPrefix = "param.";

// Truncation toward zero into the signed 64-bit range, saturating at its
// ends; not-a-number gives 0.
std::int64_t saturating_truncate(double x) {
  if (x != x) return 0;
  if (x >= 9223372036854775808.0) return INT64_MAX;
  if (x < -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(x);
}

// Builds the substituted module over the input's context: what no
// configured name touches is shared by handle, a changed type is interned,
// and a changed list is copied into the context once.
class Substitution {
 public:
  Substitution(const ConfigMap& config, Context& ctx) : config_(config), ctx_(ctx) {}

  Function function(const Function& f) {
    Function out{f.name, f.comments, params(f.params), params(f.returns), {}};
    out.ops.reserve(f.ops.size());
    for (const Op& op : f.ops) out.ops.push_back(this->op(op));
    return out;
  }

 private:
  const ConfigValue* lookup(std::string_view name) const {
    auto it = config_.find(name);
    return it == config_.end() ? nullptr : &it->second;
  }

  // A "param." dimension takes an Int, or a Float truncated; a List or an
  // absent name leaves it as it is. Other names are never looked up.
  Dim dim(const Dim& d) const {
    if (d.is_named() && starts_with(d.name(), kParamPrefix)) {
      if (const ConfigValue* value = lookup(d.name().substr(kParamPrefix.size()))) {
        if (const auto* i = std::get_if<std::int64_t>(&value->v)) return Dim::concrete(*i);
        if (const auto* x = std::get_if<double>(&value->v))
          return Dim::concrete(saturating_truncate(*x));
      }
    }
    return d;
  }

  // A wildcard's shape is kept as it is. Each distinct type of the context
  // is substituted once.
  TypeRef type(TypeRef ty) {
    if (!ty || ty->is_wildcard()) return ty;
    auto [it, fresh] = types_.try_emplace(ty.get(), ty);
    if (!fresh) return it->second;
    shape_.clear();
    bool changed = false;
    for (const Dim& d : ty->shape) {
      shape_.push_back(dim(d));
      changed = changed || !(shape_.back() == d);
    }
    if (changed) it->second = ctx_.type(ty->dtype, shape_);
    return it->second;
  }

  template <class T, class Substitute>
  List<T> list(List<T> items, Substitute&& substitute) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      T first_changed = substitute(items[i]);
      if (first_changed == items[i]) continue;
      // Copy the list from its first changed entry on.
      T* data = ctx_.allocate<T>(items.size());
      std::copy(items.begin(), items.begin() + i, data);
      data[i] = first_changed;
      for (std::size_t k = i + 1; k < items.size(); ++k) data[k] = substitute(items[k]);
      return List<T>(data, items.size());
    }
    return items;
  }

  List<Param> params(List<Param> items) {
    return list(items, [&](const Param& p) { return Param{p.name, type(p.ty)}; });
  }

  // The kind is copied, except that a loop counted by a name (with or
  // without "param.") takes an Int from the table, as its unsigned
  // two's-complement bits.
  Op op(const Op& in) {
    Op out = in;
    out.output_types = list(in.output_types, [&](TypeRef ty) { return type(ty); });
    if (const auto* loop = std::get_if<Loop>(&in.kind()); loop != nullptr && loop->count.is_named()) {
      std::string_view name = loop->count.name();
      if (starts_with(name, kParamPrefix)) name.remove_prefix(kParamPrefix.size());
      if (const ConfigValue* value = lookup(name)) {
        if (const auto* i = std::get_if<std::int64_t>(&value->v)) {
          out.head = ctx_.head(
              in, Loop{loop->target, LoopCount::concrete(static_cast<std::uint64_t>(*i))});
        }
      }
    }
    return out;
  }

  const ConfigMap& config_;
  Context& ctx_;
  std::unordered_map<const TensorType*, TypeRef> types_;
  ShapeBuilder shape_;
};

}  // namespace

Module apply_config(const Module& module, const ConfigMap& config) {
  // With nothing to substitute the copy is the answer, and no name is looked up.
  if (config.empty()) return module;
  Module out(module.context);
  Substitution s(config, out.ctx());
  out.header_comments = module.header_comments;
  out.functions.reserve(module.functions.size());
  for (const auto& [key, f] : module.functions) out.functions.insert(key, s.function(f));
  return out;
}

}  // namespace quarvel
