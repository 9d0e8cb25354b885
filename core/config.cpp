#include "python/config.h"

#include "core/error.h"
#include "core/json_read.h"

namespace quarvel {

// ---- reading configuration JSON -------------------------------------------

namespace {

// The value of one member of the configuration object, tried as an integer in
// the signed 64-bit range, then as any other number, then as an array of
// numbers. A value of none of these forms fails once the closing brace of the
// object, when it comes next, has been read.
ConfigValue read_config_value(JsonReader& reader) {
  JsonValue value = reader.read_value();
  if (value.kind == JsonValue::Kind::Number) {
    if (value.number.is_i64()) return ConfigValue{value.number.as_i64()};
    return ConfigValue{value.number.as_double()};
  }
  if (value.kind == JsonValue::Kind::Array) {
    std::vector<double> list;
    list.reserve(value.items.size());
    bool numbers = true;
    for (const JsonValue& item : value.items) {
      numbers = numbers && item.kind == JsonValue::Kind::Number;
      if (numbers) list.push_back(item.number.as_double());
    }
    if (numbers) return ConfigValue{std::move(list)};
  }
  reader.object_closing_step();
  reader.fail_here("data did not match any variant of untagged enum ConfigValue");
}

}  // namespace

ConfigMap read_config_map_json(std::string_view text) {
  JsonReader reader(text);
  if (reader.peek() != '{') reader.fail_invalid_type("a map");
  reader.enter();
  ConfigMap config;
  std::string name;
  bool first = true;
  while (reader.next_member(first)) {
    reader.read_string_body(name);
    reader.read_colon();
    config.insert_or_assign(name, read_config_value(reader));
  }
  reader.skip_byte();
  reader.leave();
  reader.finish();
  return config;
}

// ---- substitution -----------------------------------------------------------

namespace {

// The table that configured names are looked up in.
struct Substitution {
  const ConfigMap& config;

  const ConfigValue* lookup(std::string_view name) const {
    auto it = config.find(name);
    return it == config.end() ? nullptr : &it->second;
  }
};

constexpr std::string_view kParamPrefix = "param.";

// Truncation toward zero into the signed 64-bit range, saturating at its
// ends; not-a-number gives 0.
std::int64_t saturating_truncate(double x) {
  if (x != x) return 0;
  if (x >= 9223372036854775808.0) return INT64_MAX;
  if (x < -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(x);
}

// A "param." dimension takes an Int, or a Float truncated; a List or an
// absent name leaves it as it is. Other names are never looked up.
Dim apply_config_to_dim(const Dim& dim, Substitution& s) {
  if (dim.is_named() && starts_with(dim.name(), kParamPrefix)) {
    if (const ConfigValue* value =
            s.lookup(std::string_view(dim.name()).substr(kParamPrefix.size()))) {
      if (const auto* i = std::get_if<std::int64_t>(&value->v)) return Dim::concrete(*i);
      if (const auto* x = std::get_if<double>(&value->v))
        return Dim::concrete(saturating_truncate(*x));
    }
  }
  return dim;
}

Shape apply_config_to_shape(const Shape& shape, Substitution& s) {
  Shape out;
  out.reserve(shape.size());
  for (const Dim& dim : shape) out.push_back(apply_config_to_dim(dim, s));
  return out;
}

// A wildcard's shape is copied as it is.
TensorType apply_config_to_type(const TensorType& ty, Substitution& s) {
  if (ty.is_wildcard()) return ty;
  return TensorType{ty.dtype, apply_config_to_shape(ty.shape, s)};
}

std::vector<Param> apply_config_to_params(const std::vector<Param>& params, Substitution& s) {
  std::vector<Param> out;
  out.reserve(params.size());
  for (const Param& p : params) out.push_back(Param{p.name, apply_config_to_type(p.ty, s)});
  return out;
}

OutputTypes apply_config_to_output_types(
    const OutputTypes& types, Substitution& s) {
  OutputTypes out;
  out.reserve(types.size());
  for (const auto& ty : types) {
    if (ty)
      out.emplace_back(apply_config_to_type(*ty, s));
    else
      out.emplace_back();
  }
  return out;
}

// The kind is copied, except that a loop counted by a name (with or without
// "param.") takes an Int from the table, as its unsigned two's-complement bits.
Op apply_config_to_op(const Op& op, Substitution& s) {
  Op out{op.kind, op.outputs, apply_config_to_output_types(op.output_types, s), op.args,
         op.comments};
  if (auto* loop = std::get_if<Loop>(&out.kind); loop != nullptr && loop->count.is_named()) {
    std::string_view name = loop->count.name();
    if (starts_with(name, kParamPrefix)) name.remove_prefix(kParamPrefix.size());
    if (const ConfigValue* value = s.lookup(name))
      if (const auto* i = std::get_if<std::int64_t>(&value->v))
        loop->count = LoopCount::concrete(static_cast<std::uint64_t>(*i));
  }
  return out;
}

std::vector<Op> apply_config_to_ops(const std::vector<Op>& ops, Substitution& s) {
  std::vector<Op> out;
  out.reserve(ops.size());
  for (const Op& op : ops) out.push_back(apply_config_to_op(op, s));
  return out;
}

OrderedMap<Function> apply_config_to_functions(const OrderedMap<Function>& functions,
                                               Substitution& s) {
  OrderedMap<Function> out;
  out.reserve(functions.size());
  for (const auto& [key, f] : functions) {
    out.insert(key, Function{f.name, f.comments, apply_config_to_params(f.params, s),
                             apply_config_to_params(f.returns, s), apply_config_to_ops(f.ops, s)});
  }
  return out;
}

}  // namespace

Module apply_config(const Module& module, const ConfigMap& config) {
  // With nothing to substitute the copy is the answer, and no name is looked up.
  if (config.empty()) return module;
  Substitution s{config};
  return Module{module.header_comments, apply_config_to_functions(module.functions, s)};
}

}  // namespace quarvel
