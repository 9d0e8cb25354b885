// The checker: scopes, dtypes and shapes of every operation, and the
// constraints a module places on its configuration.
//
// `check_module` walks every function in map order. Type problems become
// messages of the report and checking goes on; only a malformed operation (no
// outputs, or no output types) ends the call. The types in the report's
// weights are those of the module, kept alive by the report's context.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/ast.h"

namespace quarvel {

CheckReport check_module(const Module& module);

// The checker's type of a value: a dtype and a shape, both handles into the
// module being checked (an inferred type may take its dtype from one type and
// its shape from another), so the module must outlive it.
struct TyRef {
  Text dtype;
  Shape shape;

  TyRef(const TensorType& t) : dtype(t.dtype), shape(t.shape) {}  // NOLINT: implicit on purpose
  TyRef(Text d, Shape s) : dtype(d), shape(s) {}
};

// Nothing when the two types agree, otherwise the reason ("dtype: f32 vs
// i32", "rank: 1 vs 2", "dim 0: Concrete(2) vs Concrete(4)"). A leading
// "..." dimension lets a shape match the trailing dimensions of the other.
std::optional<std::string> compare_types(TyRef a, TyRef b);

// Integers match equal integers; a name matches any integer; two names match
// when either is "..." or holds no ".", otherwise only when equal.
bool dims_compatible(const Dim& x, const Dim& y);

// Ty { dtype: "f32", shape: [Concrete(4)] }
std::string debug_ty(TyRef ty);

// Names borrowed from the module being checked.
using WildcardSet = std::unordered_set<std::string_view>;

// Whether the text of `name` before its first "." is in `wildcards`.
bool has_wildcard_root(std::string_view name, const WildcardSet& wildcards);

// One entry per parameter: empty for a wildcard parameter, else its type.
std::vector<TypeRef> param_types(List<Param> params);

}  // namespace quarvel
