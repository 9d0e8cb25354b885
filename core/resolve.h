// Axis patterns and axis inference for view and tile operations.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/ast.h"

namespace quarvel {

// One term of a pattern side: an axis name (also a digit run or a stray ")"),
// or the token texts of a parenthesised group.
struct AxisTerm {
  std::variant<std::string, std::vector<std::string>> v;

  bool is_group() const { return v.index() == 1; }
  const std::string& name() const { return std::get<0>(v); }
  const std::vector<std::string>& members() const { return std::get<1>(v); }
  bool operator==(const AxisTerm&) const = default;
};

// One side of an axis pattern. "..." outside a group is no term; only its
// presence is kept.
struct AxisPattern {
  bool has_ellipsis = false;
  std::vector<AxisTerm> terms;
  bool operator==(const AxisPattern&) const = default;
};

// The axis tokens of `text`, as views into it: "...", "(", ")", names (an
// ASCII letter or underscore followed by word characters of any script) and
// runs of decimal digits of any script, leftmost first; everything else
// separates tokens and is dropped.
std::vector<std::string_view> scan_axis_tokens(std::string_view text);

// One pattern side. An unclosed group fails with the index-out-of-bounds
// message, both numbers the side's token count.
AxisPattern parse_axis_pattern(std::string_view text);

// A module whose view and tile operations carry inferred axis sizes, built
// over the context of `module`: it shares every unchanged list with `module`,
// which stays as it was.
Module infer_axes(const Module& module);
// The same, filling in place a module the caller no longer needs.
Module infer_axes(Module&& module);

}  // namespace quarvel
