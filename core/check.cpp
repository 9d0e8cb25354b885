#include "core/check.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "core/error.h"
#include "core/numtext.h"

namespace quarvel {

namespace {

constexpr std::string_view kParamPrefix = "param.";
constexpr std::string_view kEmDash = "\xE2\x80\x94";

bool is_marked(const Shape& shape) {
  return !shape.empty() && shape[0].is_named() && shape[0].name() == "...";
}

void append_size(std::string& out, std::size_t n) { append_uint(out, static_cast<std::uint64_t>(n)); }

void append_dim_reason(std::string& out, std::size_t i, const Dim& x, const Dim& y) {
  out += "dim ";
  append_size(out, i);
  out += ": ";
  out += debug_dim(x);
  out += " vs ";
  out += debug_dim(y);
}

std::string dtype_reason(const std::string& a, const std::string& b) {
  std::string out = "dtype: ";
  out += a;
  out += " vs ";
  out += b;
  return out;
}

// The product of the integers of a shape, wrapping on overflow; nothing when
// the shape holds a name.
std::optional<std::int64_t> element_count(const Shape& shape) {
  std::uint64_t product = 1;
  for (const Dim& d : shape) {
    if (!d.is_concrete()) return std::nullopt;
    product *= static_cast<std::uint64_t>(d.value());
  }
  return static_cast<std::int64_t>(product);
}

bool is_integer_dtype(std::string_view dtype) {
  return dtype == "i32" || dtype == "i64" || dtype == "int" || dtype == "int32" ||
         dtype == "int64";
}

bool is_comparison(std::string_view f) {
  return f == "ge" || f == "gt" || f == "le" || f == "lt" || f == "eq" || f == "ne";
}

// The label of an operation, "{function key}/{first output}", written only
// when a message needs it.
struct Label {
  std::string_view function;
  std::string_view output;

  void append_to(std::string& out) const {
    out += function;
    out += '/';
    out += output;
  }
};

using ViewSet = WildcardSet;
using TypeList = std::vector<const TensorType*>;
// Typed names in scope, keyed by views into the module.
using Env = std::unordered_map<std::string_view, const TensorType*>;

// State of one `check_module` call.
class Checker {
 public:
  Checker(const Module& module, CheckReport& report) : module_(module), report_(report) {}

  void run() {
    for (const auto& [key, function] : module_.functions) check_function(key, function);
  }

 private:
  void record_param(std::string_view name) {
    if (seen_params_.insert(name).second) report_.constraints.params.emplace(name);
  }

  void record_param_dims(const TensorType& ty) {
    for (const Dim& d : ty.shape)
      if (d.is_named() && starts_with(d.name(), kParamPrefix)) record_param(d.name());
  }

  void begin_message(std::string& out, const Label& label) {
    out.reserve(96);
    label.append_to(out);
    out += ": ";
  }

  void check_function(const std::string& key, const Function& fn) {
    key_ = key;
    fn_ = &fn;
    // Fresh tables: clearing would keep the buckets of a large function and
    // make every later small one pay for them.
    wildcards_ = ViewSet();
    env_ = Env();
    env_.reserve(fn.params.size() + fn.ops.size());
    dim_names_ = ViewSet();
    dim_names_built_ = false;
    weights_ = nullptr;

    for (const Param& p : fn.params) {
      if (p.ty.is_wildcard()) {
        wildcards_.insert(p.name);
        continue;
      }
      env_.insert_or_assign(std::string_view(p.name), &p.ty);
      record_param_dims(p.ty);
    }
    for (const Param& r : fn.returns) record_param_dims(r.ty);

    for (const Op& op : fn.ops) check_op(op);
    check_returns();
  }

  // The dimension names of the function's declared types; built on the first
  // lookup, from types that do not change during the walk.
  const ViewSet& dim_names() {
    if (dim_names_built_) return dim_names_;
    dim_names_built_ = true;
    auto add = [this](const TensorType& ty) {
      for (const Dim& d : ty.shape)
        if (d.is_named() && !starts_with(d.name(), kParamPrefix)) dim_names_.insert(d.name());
    };
    for (const Param& p : fn_->params)
      if (!p.ty.is_wildcard()) add(p.ty);
    for (const Param& r : fn_->returns) add(r.ty);
    for (const Op& op : fn_->ops)
      for (const auto& ty : op.output_types)
        if (ty) add(*ty);
    return dim_names_;
  }

  void compute_input_types(const Op& op, const Label& label) {
    inputs_.clear();
    inputs_.reserve(op.args.size());
    for (const Atom& arg : op.args) {
      if (!arg.is_str()) {
        inputs_.push_back(nullptr);
        continue;
      }
      const std::string& name = arg.as_str();
      if (auto it = env_.find(name); it != env_.end()) {
        inputs_.push_back(it->second);
        continue;
      }
      inputs_.push_back(nullptr);
      if (starts_with(name, kParamPrefix)) {
        record_param(name);
      } else if (has_wildcard_root(name, wildcards_) || dim_names().contains(name)) {
        // accepted without a type
      } else {
        std::string msg;
        begin_message(msg, label);
        msg += "input '";
        msg += name;
        msg += "' not in scope";
        report_.errors.push_back(std::move(msg));
      }
    }
  }

  const TensorType* input(std::size_t i) const { return i < inputs_.size() ? inputs_[i] : nullptr; }

  std::optional<TyRef> first_arg_dtype_with(const TensorType& declared) const {
    if (const TensorType* a = input(0)) return TyRef(a->dtype, declared.shape);
    return std::nullopt;
  }

  std::optional<TyRef> rule_view(const TensorType& declared, const Label& label) {
    const TensorType* a = input(0);
    if (!a) return std::nullopt;
    auto from = element_count(a->shape);
    auto to = element_count(declared.shape);
    if (from && to && *from != *to) {
      std::string msg;
      begin_message(msg, label);
      msg += "view reshapes ";
      append_int(msg, *from);
      msg += " elements to ";
      append_int(msg, *to);
      report_.errors.push_back(std::move(msg));
    }
    return TyRef(a->dtype, declared.shape);
  }

  std::optional<TyRef> rule_read(const TensorType& declared, const Label& label) {
    if (const TensorType* index = input(1); index && !is_integer_dtype(index->dtype)) {
      std::string msg;
      begin_message(msg, label);
      msg += "read index dtype ";
      msg += index->dtype;
      msg += ", expected integer";
      report_.errors.push_back(std::move(msg));
    }
    return first_arg_dtype_with(declared);
  }

  std::optional<TyRef> rule_map(const Map& map, const TensorType& declared, const Label& label) {
    const TensorType* first = nullptr;
    std::size_t k = 0;  // counts typed arguments
    for (const TensorType* t : inputs_) {
      if (!t) continue;
      if (!first) {
        first = t;
      } else if (t->shape != first->shape) {
        std::string msg;
        begin_message(msg, label);
        msg += "map[";
        msg += map.function;
        msg += "] requires all inputs to share the same shape; input 0 has shape ";
        msg += debug_shape(first->shape);
        msg += " but input ";
        append_size(msg, k);
        msg += " has shape ";
        msg += debug_shape(t->shape);
        msg += ". Use an explicit `tile` to broadcast first.";
        report_.errors.push_back(std::move(msg));
      }
      ++k;
    }
    if (!first) return std::nullopt;
    const std::string& f = map.function;
    const std::string* dtype = &first->dtype;
    if (f == "f32" || f == "bf16") {
      dtype = &f;
    } else if (f == "where") {
      dtype = &declared.dtype;
      for (std::size_t i = 1; i < inputs_.size(); ++i)
        if (inputs_[i]) {
          dtype = &inputs_[i]->dtype;
          break;
        }
    } else if (is_comparison(f)) {
      dtype = &declared.dtype;
    }
    return TyRef(*dtype, first->shape);
  }

  std::optional<TyRef> rule_contract(const TensorType& declared) const {
    for (const TensorType* t : inputs_)
      if (t) return TyRef(t->dtype, declared.shape);
    return std::nullopt;
  }

  std::optional<TyRef> infer(const Op& op, const TensorType& declared, const Label& label) {
    switch (op.kind.index()) {
      case 0: return rule_view(declared, label);
      case 1: return rule_map(std::get<Map>(op.kind), declared, label);
      case 2:  // fold
      case 3:  // tile
      case 5:  // write
        return first_arg_dtype_with(declared);
      case 4: return rule_read(declared, label);
      case 6: return rule_contract(declared);
      case 7:  // literal
      case 8:  // iota
      case 9:  // random
        return TyRef(declared);
      case 10: return check_call(std::get<Call>(op.kind).target, op, declared, label);
      case 11: {
        const Loop& loop = std::get<Loop>(op.kind);
        if (loop.count.is_named() && starts_with(loop.count.name(), kParamPrefix))
          record_param(loop.count.name());
        return check_call(loop.target, op, declared, label);
      }
      default: return check_call(std::get<Cache>(op.kind).init, op, declared, label);
    }
  }

  // Arguments of a call, loop or cache against the parameters of `target`,
  // and the types its weight arguments are passed with.
  std::optional<TyRef> check_call(const std::string& target, const Op& op,
                                  const TensorType& declared, const Label& label) {
    const Function* callee = module_.functions.find(target);
    if (!callee) return std::nullopt;
    const std::vector<Param>& params = callee->params;
    param_types_ = param_types(params);
    const std::size_t n = std::min(params.size(), inputs_.size());
    auto param_type = [&](std::size_t i) { return param_types_[i]; };

    bool batched = false;
    for (std::size_t i = 0; i < n && !batched; ++i) {
      const TensorType* p = param_type(i);
      batched = inputs_[i] && p && inputs_[i]->shape.size() > p->shape.size();
    }

    for (std::size_t i = 0; i < n; ++i) {
      const TensorType* a = inputs_[i];
      const TensorType* p = param_type(i);
      if (!a || !p) continue;
      std::optional<std::string> reason = batched ? batched_reason(*a, *p) : compare_types(*a, *p);
      if (!reason) continue;
      std::string msg;
      begin_message(msg, label);
      msg += "arg ";
      append_size(msg, i);
      msg += " '";
      msg += params[i].name;
      msg += "' ";
      msg += kEmDash;
      msg += ' ';
      msg += *reason;
      report_.errors.push_back(std::move(msg));
    }

    for (std::size_t p = 0; p < params.size() && p < op.args.size(); ++p) {
      const TensorType& ty = params[p].ty;
      const Atom& arg = op.args[p];
      if (ty.is_wildcard() || !arg.is_str() || !has_wildcard_root(arg.as_str(), wildcards_)) continue;
      if (!weights_) weights_ = &report_.constraints.weights[std::string(key_)];
      auto [it, inserted] = weights_->try_emplace(arg.as_str(), ty);
      if (inserted || it->second == ty) continue;
      std::string msg;
      begin_message(msg, label);
      msg += "weight '";
      msg += arg.as_str();
      msg += "' used with conflicting types: ";
      msg += debug_tensor_type(it->second);
      msg += " vs ";
      msg += debug_tensor_type(ty);
      report_.errors.push_back(std::move(msg));
    }
    return TyRef(declared);
  }

  // The argument may carry leading batch dimensions: the parameter's shape is
  // matched against its trailing dimensions, integers only.
  static std::optional<std::string> batched_reason(const TensorType& a, const TensorType& p) {
    if (a.dtype != p.dtype) return dtype_reason(a.dtype, p.dtype);
    if (a.shape.size() < p.shape.size()) {
      std::string out = "rank: ";
      append_size(out, a.shape.size());
      out += " < ";
      append_size(out, p.shape.size());
      return out;
    }
    const std::size_t offset = a.shape.size() - p.shape.size();
    for (std::size_t j = 0; j < p.shape.size(); ++j) {
      const Dim& x = a.shape[offset + j];
      const Dim& y = p.shape[j];
      if (x.is_concrete() && y.is_concrete() && x.value() != y.value()) {
        std::string out = "dim ";
        append_size(out, j);
        out += ": ";
        append_int(out, x.value());
        out += " vs ";
        append_int(out, y.value());
        return out;
      }
    }
    return std::nullopt;
  }

  void check_op(const Op& op) {
    if (op.outputs.empty() || op.output_types.empty()) fail_index(0, 0);
    const TensorType* declared = op.output_types[0] ? &*op.output_types[0] : nullptr;
    const Label label{key_, op.outputs[0]};

    compute_input_types(op, label);

    if (declared) {
      std::optional<TyRef> inferred = infer(op, *declared, label);
      if (inferred) {
        if (std::optional<std::string> reason = compare_types(*inferred, *declared)) {
          std::string msg;
          begin_message(msg, label);
          msg += "declared ";
          msg += debug_ty(*declared);
          msg += ", expected ";
          msg += debug_ty(*inferred);
          msg += ' ';
          msg += kEmDash;
          msg += ' ';
          msg += *reason;
          report_.errors.push_back(std::move(msg));
        }
      }
    }

    const std::size_t count = std::min(op.outputs.size(), op.output_types.size());
    for (std::size_t i = 0; i < count; ++i) {
      const auto& ty = op.output_types[i];
      if (!ty) continue;
      env_.insert_or_assign(std::string_view(op.outputs[i]), &*ty);
      record_param_dims(*ty);
    }
  }

  void check_returns() {
    for (const Param& r : fn_->returns) {
      if (r.ty.is_wildcard()) continue;
      auto it = env_.find(r.name);
      std::optional<std::string> reason;
      if (it != env_.end()) {
        reason = compare_types(*it->second, r.ty);
        if (!reason) continue;
      }
      std::string msg;
      msg.reserve(64);
      msg += key_;
      msg += ": return '";
      msg += r.name;
      msg += "' ";
      msg += reason ? *reason : std::string("not found in env");
      report_.errors.push_back(std::move(msg));
    }
  }

  const Module& module_;
  CheckReport& report_;
  ViewSet seen_params_;  // names already in report_.constraints.params

  // Scope of the function being checked.
  std::string_view key_;
  const Function* fn_ = nullptr;
  ViewSet wildcards_;
  Env env_;
  ViewSet dim_names_;
  bool dim_names_built_ = false;
  std::map<std::string, TensorType>* weights_ = nullptr;  // the function's entry, once made
  TypeList inputs_;                                       // input types of the current op
  TypeList param_types_;                                  // of the current op's callee
};

}  // namespace

CheckReport check_module(const Module& module) {
  CheckReport report;
  Checker(module, report).run();
  return report;
}

bool dims_compatible(const Dim& x, const Dim& y) {
  if (x.is_concrete() && y.is_concrete()) return x.value() == y.value();
  if (x.is_concrete() || y.is_concrete()) return true;
  const std::string& a = x.name();
  const std::string& b = y.name();
  if (a == "..." || b == "...") return true;
  if (a.find('.') == std::string::npos || b.find('.') == std::string::npos) return true;
  return a == b;
}

std::optional<std::string> compare_types(TyRef a, TyRef b) {
  if (*a.dtype != *b.dtype) return dtype_reason(*a.dtype, *b.dtype);
  const Shape& sa = *a.shape;
  const Shape& sb = *b.shape;
  const bool ma = is_marked(sa);
  const bool mb = is_marked(sb);
  if (!ma && !mb) {
    if (sa.size() != sb.size()) {
      std::string out = "rank: ";
      append_size(out, sa.size());
      out += " vs ";
      append_size(out, sb.size());
      return out;
    }
    for (std::size_t i = 0; i < sa.size(); ++i) {
      if (!dims_compatible(sa[i], sb[i])) {
        std::string out;
        append_dim_reason(out, i, sa[i], sb[i]);
        return out;
      }
    }
    return std::nullopt;
  }
  // Compare the shorter shape with the trailing dimensions of the longer one.
  const Dim* pa = sa.data() + (ma ? 1 : 0);
  const Dim* pb = sb.data() + (mb ? 1 : 0);
  const std::size_t la = sa.size() - (ma ? 1 : 0);
  const std::size_t lb = sb.size() - (mb ? 1 : 0);
  const bool a_short = la <= lb;
  const Dim* s = a_short ? pa : pb;
  const std::size_t m = a_short ? la : lb;
  const Dim* l = a_short ? pb + (lb - m) : pa + (la - m);
  for (std::size_t i = 0; i < m; ++i) {
    if (!dims_compatible(s[i], l[i])) {
      std::string out;
      append_dim_reason(out, i, s[i], l[i]);
      return out;
    }
  }
  return std::nullopt;
}

std::string debug_ty(TyRef ty) { return debug_type_record("Ty", *ty.dtype, *ty.shape); }

bool has_wildcard_root(std::string_view name, const WildcardSet& wildcards) {
  if (wildcards.empty()) return false;
  return wildcards.contains(name.substr(0, name.find('.')));
}

std::vector<const TensorType*> param_types(const std::vector<Param>& params) {
  std::vector<const TensorType*> out;
  out.reserve(params.size());
  for (const Param& p : params) out.push_back(p.ty.is_wildcard() ? nullptr : &p.ty);
  return out;
}

}  // namespace quarvel
