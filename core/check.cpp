#include "core/check.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/error.h"
#include "core/numtext.h"
#include "core/scope_table.h"

namespace quarvel {

namespace {

constexpr std::string_view kParamPrefix = "param.";

// ---- messages ---------------------------------------------------------------
//
// Every message and reason text is a template whose "{}" placeholders take the
// arguments in order. The number of placeholders is checked against the
// number of arguments when the template is compiled.

constexpr std::size_t placeholder_count(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t at = text.find("{}"); at != std::string_view::npos; at = text.find("{}", at + 2))
    ++n;
  return n;
}

template <std::size_t N>
struct Template {
  std::string_view text;

  template <std::size_t M>
  consteval Template(const char (&s)[M]) : text(s, M - 1) {  // NOLINT: implicit on purpose
    if (placeholder_count(text) != N) throw "the placeholders do not match the arguments";
  }
};

// The label of an operation, "{function key}/{first output}".
struct Label {
  std::string_view function;
  std::string_view output;
};
// Debug forms, written only when a message is made.
struct DebugDim {
  const Dim& dim;
};
struct DebugShape {
  Shape shape;
};
struct DebugTy {
  TyRef ty;
};
struct DebugTensorType {
  const TensorType& ty;
};

void append_piece(std::string& out, std::string_view text) { out += text; }
void append_piece(std::string& out, std::size_t n) {
  append_uint(out, static_cast<std::uint64_t>(n));
}
void append_piece(std::string& out, std::int64_t n) { append_int(out, n); }
void append_piece(std::string& out, const Label& label) {
  out += label.function;
  out += '/';
  out += label.output;
}
void append_piece(std::string& out, const DebugDim& d) { out += debug_dim(d.dim); }
void append_piece(std::string& out, const DebugShape& d) { out += debug_shape(d.shape); }
void append_piece(std::string& out, const DebugTy& d) {
  out += debug_type_record("Ty", d.ty.dtype, d.ty.shape);
}
void append_piece(std::string& out, const DebugTensorType& d) { out += debug_tensor_type(d.ty); }

// `pattern` with its placeholders filled by `args`, appended to `out`.
template <class... A>
void format_into(std::string& out, std::type_identity_t<Template<sizeof...(A)>> pattern,
                 const A&... args) {
  const std::string_view text = pattern.text;
  out.reserve(out.size() + text.size() + 32 * sizeof...(A));
  std::size_t pos = 0;
  auto fill = [&](const auto& arg) {
    const std::size_t at = text.find("{}", pos);
    out.append(text, pos, at - pos);
    append_piece(out, arg);
    pos = at + 2;
  };
  (fill(args), ...);
  out.append(text, pos);
}

template <class... A>
std::string format_text(std::type_identity_t<Template<sizeof...(A)>> pattern, const A&... args) {
  std::string out;
  format_into<A...>(out, pattern, args...);
  return out;
}

// ---- types ------------------------------------------------------------------

bool is_marked(const Shape& shape) {
  return !shape.empty() && shape[0].is_named() && shape[0].name() == "...";
}


// Whether the type is made of the very texts and lists of `b`: then the two
// agree without a look at their contents (the common case of an inferred type
// built from the declared one, or from an input of the same interned type).
bool same_handles(const TyRef& a, const TensorType& b) {
  return a.dtype.data() == b.dtype.data() && a.dtype.size() == b.dtype.size() &&
         a.shape.data() == b.shape.data() && a.shape.size() == b.shape.size();
}

// Exact equality of shapes (no leniency for names).
bool same_shape(const Shape& a, const Shape& b) {
  return a.size() == b.size() && (a.data() == b.data() || a == b);
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

// ---- the scope of one function ----------------------------------------------


using ViewSet = WildcardSet;

// State of one `check_module` call.
class Checker {
 public:
  Checker(const Module& module, CheckReport& report) : module_(module), report_(report) {}

  void run() {
    for (const auto& [key, function] : module_.functions) check_function(key, function);
  }

 private:
  template <class... A>
  void add_error(std::type_identity_t<Template<sizeof...(A)>> pattern, const A&... args) {
    format_into<A...>(report_.errors.emplace_back(), pattern, args...);
  }

  void record_param(std::string_view name) {
    if (seen_params_.insert(name).second) report_.constraints.params.emplace(name);
  }

  void record_param_dims(const TensorType& ty) {
    if (&ty == last_recorded_) return;  // types are interned: the same pointer, the same dims
    last_recorded_ = &ty;
    for (const Dim& d : ty.shape)
      if (d.is_named() && starts_with(d.name(), kParamPrefix)) record_param(d.name());
  }

  void check_function(Text key, const Function& fn) {
    key_ = key;
    fn_ = &fn;
    wildcards_.clear();
    env_.reset(fn.params.size() + fn.ops.size());
    if (dim_names_built_) {
      // A fresh set: clearing would keep the buckets of a large function and
      // make every later small one pay for them.
      dim_names_ = ViewSet();
      dim_names_built_ = false;
    }
    weights_ = nullptr;

    for (const Param& p : fn.params) {
      if (p.ty->is_wildcard()) {
        wildcards_.insert(p.name);
        continue;
      }
      env_.insert_or_assign(p.name, p.ty.get());
      record_param_dims(*p.ty);
    }
    for (const Param& r : fn.returns) record_param_dims(*r.ty);

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
      if (!p.ty->is_wildcard()) add(*p.ty);
    for (const Param& r : fn_->returns) add(*r.ty);
    for (const Op& op : fn_->ops)
      for (const TypeRef ty : op.output_types)
        if (ty) add(*ty);
    return dim_names_;
  }

  void compute_input_types(const Op& op, const Label& label) {
    inputs_.clear();
    for (const Atom& arg : op.args) {
      if (!arg.is_str()) {
        inputs_.push_back(nullptr);
        continue;
      }
      const Text name = arg.as_str();
      const TensorType* ty = env_.find(name);
      inputs_.push_back(ty);
      if (ty) continue;
      if (starts_with(name, kParamPrefix)) {
        record_param(name);
      } else if (has_wildcard_root(name, wildcards_) || dim_names().contains(name)) {
        // accepted without a type
      } else {
        add_error("{}: input '{}' not in scope", label, name);
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
    if (from && to && *from != *to)
      add_error("{}: view reshapes {} elements to {}", label, *from, *to);
    return TyRef(a->dtype, declared.shape);
  }

  std::optional<TyRef> rule_read(const TensorType& declared, const Label& label) {
    if (const TensorType* index = input(1); index && !is_integer_dtype(index->dtype))
      add_error("{}: read index dtype {}, expected integer", label, index->dtype);
    return first_arg_dtype_with(declared);
  }

  std::optional<TyRef> rule_map(const Map& map, const TensorType& declared, const Label& label) {
    const TensorType* first = nullptr;
    std::size_t k = 0;  // counts typed arguments
    for (const TensorType* t : inputs_) {
      if (!t) continue;
      if (!first) {
        first = t;
      } else if (!same_shape(t->shape, first->shape)) {
        add_error(
            "{}: map[{}] requires all inputs to share the same shape; input 0 has shape {} but "
            "input {} has shape {}. Use an explicit `tile` to broadcast first.",
            label, map.function, DebugShape{first->shape}, k, DebugShape{t->shape});
      }
      ++k;
    }
    if (!first) return std::nullopt;
    const Text f = map.function;
    Text dtype = first->dtype;
    if (f == "f32" || f == "bf16") {
      dtype = f;
    } else if (f == "where") {
      dtype = declared.dtype;
      for (std::size_t i = 1; i < inputs_.size(); ++i)
        if (inputs_[i]) {
          dtype = inputs_[i]->dtype;
          break;
        }
    } else if (is_comparison(f)) {
      dtype = declared.dtype;
    }
    return TyRef(dtype, first->shape);
  }

  std::optional<TyRef> rule_contract(const TensorType& declared) const {
    for (const TensorType* t : inputs_)
      if (t) return TyRef(t->dtype, declared.shape);
    return std::nullopt;
  }

  // The inferred type of the first output, by kind.
  std::optional<TyRef> infer(const Op& op, const TensorType& declared, const Label& label) {
    using Inferred = std::optional<TyRef>;
    return std::visit(
        Overloaded{
            [&](const View&) -> Inferred { return rule_view(declared, label); },
            [&](const Map& map) -> Inferred { return rule_map(map, declared, label); },
            [&](const Fold&) -> Inferred { return first_arg_dtype_with(declared); },
            [&](const Tile&) -> Inferred { return first_arg_dtype_with(declared); },
            [&](const Read&) -> Inferred { return rule_read(declared, label); },
            [&](const Write&) -> Inferred { return first_arg_dtype_with(declared); },
            [&](const Contract&) -> Inferred { return rule_contract(declared); },
            [&](const Literal&) -> Inferred { return TyRef(declared); },
            [&](const Iota&) -> Inferred { return TyRef(declared); },
            [&](const Random&) -> Inferred { return TyRef(declared); },
            [&](const Call& call) -> Inferred {
              return check_call(call.target, op, declared, label);
            },
            [&](const Loop& loop) -> Inferred {
              if (loop.count.is_named() && starts_with(loop.count.name(), kParamPrefix))
                record_param(loop.count.name());
              return check_call(loop.target, op, declared, label);
            },
            [&](const Cache& cache) -> Inferred {
              return check_call(cache.init, op, declared, label);
            },
        },
        op.kind());
  }

  // Arguments of a call, loop or cache against the parameters of `target`,
  // and the types its weight arguments are passed with.
  std::optional<TyRef> check_call(Text target, const Op& op, const TensorType& declared,
                                  const Label& label) {
    const Function* callee = module_.functions.find(target);
    if (!callee) return std::nullopt;
    const List<Param> params = callee->params;
    // Parameter types: nothing for a wildcard parameter.
    param_types_.clear();
    for (const Param& p : params)
      param_types_.push_back(p.ty->is_wildcard() ? nullptr : p.ty.get());
    const std::size_t n = std::min(params.size(), inputs_.size());

    bool batched = false;
    for (std::size_t i = 0; i < n && !batched; ++i) {
      const TensorType* p = param_types_[i];
      batched = inputs_[i] && p && inputs_[i]->shape.size() > p->shape.size();
    }

    for (std::size_t i = 0; i < n; ++i) {
      const TensorType* a = inputs_[i];
      const TensorType* p = param_types_[i];
      if (!a || !p) continue;
      std::optional<std::string> reason = batched ? batched_reason(*a, *p) : compare_types(*a, *p);
      if (reason) add_error("{}: arg {} '{}' \u2014 {}", label, i, params[i].name, *reason);
    }

    for (std::size_t p = 0; p < params.size() && p < op.args.size(); ++p) {
      const TypeRef ty = params[p].ty;
      const Atom& arg = op.args[p];
      if (ty->is_wildcard() || !arg.is_str() || !has_wildcard_root(arg.as_str(), wildcards_))
        continue;
      if (!weights_) weights_ = &report_.constraints.weights[std::string(key_)];
      weight_name_.assign(arg.as_str());
      const auto it = weights_->find(weight_name_);
      if (it == weights_->end()) {
        weights_->emplace(weight_name_, ty);
        continue;
      }
      if (it->second == ty) continue;
      add_error("{}: weight '{}' used with conflicting types: {} vs {}", label, arg.as_str(),
                DebugTensorType{*it->second}, DebugTensorType{*ty});
    }
    return TyRef(declared);
  }

  // The argument may carry leading batch dimensions: the parameter's shape is
  // matched against its trailing dimensions, integers only.
  static std::optional<std::string> batched_reason(const TensorType& a, const TensorType& p) {
    if (!same_text(a.dtype, p.dtype)) return format_text("dtype: {} vs {}", a.dtype, p.dtype);
    if (a.shape.size() < p.shape.size())
      return format_text("rank: {} < {}", a.shape.size(), p.shape.size());
    const std::size_t offset = a.shape.size() - p.shape.size();
    for (std::size_t j = 0; j < p.shape.size(); ++j) {
      const Dim& x = a.shape[offset + j];
      const Dim& y = p.shape[j];
      if (x.is_concrete() && y.is_concrete() && x.value() != y.value())
        return format_text("dim {}: {} vs {}", j, x.value(), y.value());
    }
    return std::nullopt;
  }

  void check_op(const Op& op) {
    if (op.outputs.empty() || op.output_types.empty()) fail_index(0, 0);
    const TypeRef declared = op.output_types[0];
    const Label label{key_, op.outputs[0]};

    compute_input_types(op, label);

    if (declared) {
      const std::optional<TyRef> inferred = infer(op, *declared, label);
      if (inferred && !same_handles(*inferred, *declared)) {
        if (std::optional<std::string> reason = compare_types(*inferred, *declared))
          add_error("{}: declared {}, expected {} \u2014 {}", label, DebugTy{*declared},
                    DebugTy{*inferred}, *reason);
      }
    }

    const std::size_t count = std::min(op.outputs.size(), op.output_types.size());
    for (std::size_t i = 0; i < count; ++i) {
      const TypeRef ty = op.output_types[i];
      if (!ty) continue;
      env_.insert_or_assign(op.outputs[i], ty.get());
      record_param_dims(*ty);
    }
  }

  void check_returns() {
    for (const Param& r : fn_->returns) {
      if (r.ty->is_wildcard()) continue;
      const TensorType* found = env_.find(r.name);
      if (!found) {
        add_error("{}: return '{}' not found in env", key_, r.name);
      } else if (std::optional<std::string> reason = compare_types(*found, *r.ty)) {
        add_error("{}: return '{}' {}", key_, r.name, *reason);
      }
    }
  }

  const Module& module_;
  CheckReport& report_;
  ViewSet seen_params_;                       // names already in report_.constraints.params
  const TensorType* last_recorded_ = nullptr;  // the type `record_param_dims` saw last

  // Scope of the function being checked.
  Text key_;
  const Function* fn_ = nullptr;
  ViewSet wildcards_;
  ScopeTable env_;
  ViewSet dim_names_;
  bool dim_names_built_ = false;
  std::map<std::string, TypeRef>* weights_ = nullptr;  // the function's entry, once made
  std::vector<const TensorType*> inputs_;               // input types of the current op
  std::vector<const TensorType*> param_types_;          // of the current op's callee
  std::string weight_name_;                             // the weight being looked up
};

}  // namespace

CheckReport check_module(const Module& module) {
  CheckReport report;
  report.context = module.context;  // the weight types live there
  Checker(module, report).run();
  return report;
}

bool dims_compatible(const Dim& x, const Dim& y) {
  if (x.is_concrete() && y.is_concrete()) return x.value() == y.value();
  if (x.is_concrete() || y.is_concrete()) return true;
  const Text a = x.name();
  const Text b = y.name();
  if (a == "..." || b == "...") return true;
  if (a.find('.') == Text::npos || b.find('.') == Text::npos) return true;
  return a == b;
}

std::optional<std::string> compare_types(TyRef a, TyRef b) {
  if (!same_text(a.dtype, b.dtype)) return format_text("dtype: {} vs {}", a.dtype, b.dtype);
  const Shape& sa = a.shape;
  const Shape& sb = b.shape;
  // A shape agrees with itself.
  if (sa.data() == sb.data() && sa.size() == sb.size()) return std::nullopt;
  const bool ma = is_marked(sa);
  const bool mb = is_marked(sb);
  if (!ma && !mb) {
    if (sa.size() != sb.size()) return format_text("rank: {} vs {}", sa.size(), sb.size());
    for (std::size_t i = 0; i < sa.size(); ++i)
      if (!dims_compatible(sa[i], sb[i]))
        return format_text("dim {}: {} vs {}", i, DebugDim{sa[i]}, DebugDim{sb[i]});
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
  for (std::size_t i = 0; i < m; ++i)
    if (!dims_compatible(s[i], l[i]))
      return format_text("dim {}: {} vs {}", i, DebugDim{s[i]}, DebugDim{l[i]});
  return std::nullopt;
}

std::string debug_ty(TyRef ty) { return format_text("{}", DebugTy{ty}); }

bool has_wildcard_root(std::string_view name, const WildcardSet& wildcards) {
  if (wildcards.empty()) return false;
  return wildcards.contains(name.substr(0, name.find('.')));
}

std::vector<TypeRef> param_types(List<Param> params) {
  std::vector<TypeRef> out;
  out.reserve(params.size());
  for (const Param& p : params) out.push_back(p.ty->is_wildcard() ? TypeRef() : p.ty);
  return out;
}

}  // namespace quarvel
