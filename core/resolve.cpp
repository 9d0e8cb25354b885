#include "core/resolve.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/error.h"
#include "core/scope_table.h"

namespace quarvel {

namespace {

// ---- token scanner ----------------------------------------------------------
//
// Axis tokens, preferred in this order at each position: "...", "(", ")", a
// name ([a-zA-Z_] then word characters), a run of decimal digits. Word
// characters are letters (Alphabetic), marks, decimal digits (Nd), connector
// punctuation and join controls of any script. Whatever no token starts at is
// skipped one character at a time.
//
// Surrounding white space needs no trimming: no white space character is part
// of a token or can start one, so the tokens are the same either way.

constexpr std::int32_t kMarkDigitConnector = U_GC_M_MASK | U_GC_ND_MASK | U_GC_PC_MASK;

bool is_ascii_word(unsigned char b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_';
}
bool is_ascii_name_start(unsigned char b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_';
}

bool is_word(UChar32 c) {
  if (c < 0) return false;  // ill-formed bytes
  if ((U_GET_GC_MASK(c) & kMarkDigitConnector) != 0) return true;
  return u_hasBinaryProperty(c, UCHAR_ALPHABETIC) || u_hasBinaryProperty(c, UCHAR_JOIN_CONTROL);
}
bool is_digit(UChar32 c) { return c >= 0 && u_charType(c) == U_DECIMAL_DIGIT_NUMBER; }

// Decodes the character at `pos` (at most four bytes are looked at, so the
// text may be of any length). Ill-formed bytes give a negative value and
// their maximal ill-formed length.
UChar32 decode_at(std::string_view text, std::size_t pos, std::size_t& length) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data() + pos);
  const auto window = static_cast<std::int32_t>(std::min<std::size_t>(text.size() - pos, 4));
  std::int32_t i = 0;
  UChar32 c;
  U8_NEXT(bytes, i, window, c);
  length = static_cast<std::size_t>(i);
  return c;
}

// End of the run of characters satisfying `accept` from `pos`.
template <class Ascii, class Wide>
std::size_t run_end(std::string_view text, std::size_t pos, Ascii ascii, Wide wide) {
  while (pos < text.size()) {
    const auto b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {
      if (!ascii(b)) break;
      ++pos;
      continue;
    }
    std::size_t length;
    if (!wide(decode_at(text, pos, length))) break;
    pos += length;
  }
  return pos;
}

std::size_t name_end(std::string_view text, std::size_t pos) {
  return run_end(text, pos, is_ascii_word, is_word);
}
std::size_t digits_end(std::string_view text, std::size_t pos) {
  return run_end(text, pos, [](unsigned char b) { return b >= '0' && b <= '9'; }, is_digit);
}

template <class Sink>
void scan_tokens(std::string_view text, Sink&& sink) {
  std::size_t pos = 0;
  const std::size_t n = text.size();
  while (pos < n) {
    const auto b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {
      std::size_t end = pos;
      if (b == '.') {
        if (text.compare(pos, 3, "...") == 0) end = pos + 3;
      } else if (b == '(' || b == ')') {
        end = pos + 1;
      } else if (is_ascii_name_start(b)) {
        end = name_end(text, pos + 1);
      } else if (b >= '0' && b <= '9') {
        end = digits_end(text, pos + 1);
      }
      if (end == pos) {
        ++pos;
      } else {
        sink(text.substr(pos, end - pos));
        pos = end;
      }
      continue;
    }
    // Outside ASCII only a digit run can start a token.
    std::size_t length;
    if (is_digit(decode_at(text, pos, length))) {
      const std::size_t end = digits_end(text, pos + length);
      sink(text.substr(pos, end - pos));
      pos = end;
    } else {
      pos += length;
    }
  }
}

// ---- pattern sides over token views ---------------------------------------

// A term of a side: a name (tokens[begin]) or a group (tokens[begin, end)).
struct TermRef {
  bool group;
  std::size_t begin;
  std::size_t end;
};

struct Side {
  bool has_ellipsis = false;
  std::vector<std::string_view> tokens;
  std::vector<TermRef> terms;

  std::string_view name(const TermRef& t) const { return tokens[t.begin]; }
};

void parse_side(std::string_view text, Side& side) {
  side.has_ellipsis = false;
  side.tokens.clear();
  side.terms.clear();
  scan_tokens(text, [&](std::string_view token) { side.tokens.push_back(token); });
  const std::size_t n = side.tokens.size();
  std::size_t i = 0;
  while (i < n) {
    const std::string_view token = side.tokens[i];
    if (token == "...") {
      side.has_ellipsis = true;
      ++i;
    } else if (token == "(") {
      std::size_t j = i + 1;
      while (j < n && side.tokens[j] != ")") ++j;
      if (j == n) fail_index(n, n);
      side.terms.push_back({true, i + 1, j});
      i = j + 1;
    } else {
      side.terms.push_back({false, i, i + 1});
      ++i;
    }
  }
}

// Exact-text lookup table over views of names; a later insertion replaces
// the value.
template <class V>
using ViewMap = OrderedMap<V, std::string_view>;


bool starts_with_ascii_digit(std::string_view text) {
  return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

// Position in a shape of `term_count` terms of term `k`: aligned with the end
// of the shape after an ellipsis, with its start otherwise. May lie outside.
std::int64_t term_position(std::size_t k, bool ellipsis, std::size_t shape_size,
                           std::size_t term_count) {
  const auto pos = static_cast<std::int64_t>(k);
  if (!ellipsis) return pos;
  return pos + static_cast<std::int64_t>(shape_size) - static_cast<std::int64_t>(term_count);
}

const Dim* dim_at(const Shape& shape, std::int64_t pos) {
  if (pos < 0 || pos >= static_cast<std::int64_t>(shape.size())) return nullptr;
  return &shape[static_cast<std::size_t>(pos)];
}

// Scratch state reused across the operations of one call. New axes go into
// `ctx`, the context of the module being built.
struct Inference {
  explicit Inference(Context& ctx) : ctx(ctx) {}

  Context& ctx;
  ScopeTable env;
  Side left;
  Side right;
  ViewMap<std::int64_t> sizes;
  ViewMap<bool> input_names;
  AxesBuilder result;

  // The axes inferred for one view or tile operation; empty when none is.
  Axes infer(Text pattern, const Args& args, const TensorType& declared) {
    const std::size_t arrow = pattern.find("->");
    parse_side(pattern.substr(0, arrow), left);
    parse_side(pattern.substr(arrow + 2), right);

    input_names.clear();
    for (const TermRef& t : left.terms)
      if (!t.group) input_names.insert(left.name(t), true);

    sizes.clear();
    if (!args.empty() && args[0].is_str()) {
      if (const TensorType* input = env.find(args[0].as_str())) {
        const Shape& shape = input->shape;
        for (std::size_t k = 0; k < left.terms.size(); ++k) {
          const TermRef& t = left.terms[k];
          if (t.group) continue;
          const Dim* dim =
              dim_at(shape, term_position(k, left.has_ellipsis, shape.size(), left.terms.size()));
          if (dim == nullptr || !dim->is_concrete()) continue;
          const std::string_view name = left.name(t);
          if (starts_with_ascii_digit(name)) continue;
          sizes.insert(name, dim->value());
        }
      }
    }

    result.clear();
    const Shape& shape = declared.shape;
    for (std::size_t k = 0; k < right.terms.size(); ++k) {
      const TermRef& t = right.terms[k];
      const Dim* dim =
          dim_at(shape, term_position(k, right.has_ellipsis, shape.size(), right.terms.size()));
      if (dim == nullptr || !dim->is_concrete()) continue;
      if (!t.group) {
        const std::string_view name = right.name(t);
        if (starts_with_ascii_digit(name) || input_names.find(name) != nullptr) continue;
        result.insert(name, dim->value());
        continue;
      }
      std::uint64_t product = 1;  // wraps like two's-complement multiplication
      std::size_t unknown = 0;
      std::string_view unknown_name;
      for (std::size_t m = t.begin; m < t.end; ++m) {
        const std::string_view member = right.tokens[m];
        if (const std::int64_t* size = sizes.find(member)) {
          product *= static_cast<std::uint64_t>(*size);
        } else {
          ++unknown;
          unknown_name = member;
        }
      }
      const auto p = static_cast<std::int64_t>(product);
      if (unknown == 1 && p > 0) result.insert(unknown_name, dim->value() / p);
    }
    return ctx.axes(result);
  }

  // Fills the axes of the function's view and tile operations in place. Only
  // heads change, so the environment may point at the names and types of the
  // function being filled.
  void run(Function& function) {
    env.reset(function.params.size() + function.ops.size());
    for (const Param& param : function.params) env.insert_or_assign(param.name, param.ty.get());
    for (Op& op : function.ops) {
      const std::size_t typed = std::min(op.outputs.size(), op.output_types.size());
      for (std::size_t i = 0; i < typed; ++i)
        if (op.output_types[i]) env.insert_or_assign(op.outputs[i], op.output_types[i].get());
      if (op.output_types.empty()) fail_index(0, 0);
      if (!op.output_types[0]) continue;
      OpKind kind = op.kind();
      Text pattern;
      Axes* axes = nullptr;
      if (auto* view = std::get_if<View>(&kind)) {
        pattern = view->pattern;
        axes = &view->axes;
      } else if (auto* tile = std::get_if<Tile>(&kind)) {
        pattern = tile->pattern;
        axes = &tile->axes;
      } else {
        continue;
      }
      if (!axes->empty() || pattern.find("->") == Text::npos) continue;
      *axes = infer(pattern, op.args, *op.output_types[0]);
      op.head = ctx.head(op, kind);
    }
  }
};

}  // namespace

std::vector<std::string_view> scan_axis_tokens(std::string_view text) {
  std::vector<std::string_view> tokens;
  scan_tokens(text, [&](std::string_view token) { tokens.push_back(token); });
  return tokens;
}

AxisPattern parse_axis_pattern(std::string_view text) {
  Side side;
  parse_side(text, side);
  AxisPattern pattern;
  pattern.has_ellipsis = side.has_ellipsis;
  pattern.terms.reserve(side.terms.size());
  for (const TermRef& t : side.terms) {
    if (!t.group) {
      pattern.terms.push_back(AxisTerm{std::string(side.name(t))});
      continue;
    }
    std::vector<std::string> members;
    members.reserve(t.end - t.begin);
    for (std::size_t m = t.begin; m < t.end; ++m) members.emplace_back(side.tokens[m]);
    pattern.terms.push_back(AxisTerm{std::move(members)});
  }
  return pattern;
}

Module infer_axes(Module&& module) {
  // The caller gives the module up: its functions are filled in place.
  Inference inference(module.ctx());
  for (auto& entry : module.functions) inference.run(entry.second);
  return std::move(module);
}

Module infer_axes(const Module& module) {
  // A new module over the same context: every list is shared by handle, and
  // only the axes that are filled are new.
  Module out(module.context);
  out.header_comments = module.header_comments;
  out.functions.reserve(module.functions.size());
  Inference inference(out.ctx());
  for (const auto& [key, function] : module.functions) {
    Function copy = function;
    inference.run(copy);
    out.functions.insert(key, std::move(copy));
  }
  return out;
}

}  // namespace quarvel
