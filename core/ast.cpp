#include "core/ast.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "core/numtext.h"

namespace quarvel {

std::optional<std::size_t> kind_tag(std::string_view word) {
  for (std::size_t i = 0; i < kKindCount; ++i)
    if (kKindWords[i] == word) return i;
  return std::nullopt;
}

namespace {

// Printable: every character except separators other than the plain space,
// control, format, surrogate, private-use and unassigned characters.
bool is_printable(UChar32 c) {
  if (c == ' ') return true;
  const std::int32_t mask = U_GET_GC_MASK(c);
  constexpr std::int32_t hidden = U_GC_ZS_MASK | U_GC_ZL_MASK | U_GC_ZP_MASK | U_GC_CC_MASK |
                                  U_GC_CF_MASK | U_GC_CS_MASK | U_GC_CO_MASK | U_GC_CN_MASK;
  return (mask & hidden) == 0;
}

void append_unicode_escape(std::string& out, std::uint32_t c) {
  static constexpr char hex[] = "0123456789abcdef";
  out += "\\u{";
  char digits[8];
  int n = 0;
  do {
    digits[n++] = hex[c & 0xF];
    c >>= 4;
  } while (c != 0);
  while (n > 0) out += digits[--n];
  out += '}';
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t i = 0;
  while (i < length) {
    const std::uint8_t b = bytes[i];
    if (b >= 0x20 && b < 0x7F) {  // printable ASCII
      if (b == '"' || b == '\\') out += '\\';
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    const std::int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    switch (c) {
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (c < 0) {  // not UTF-8: cannot come from a Python string
      append_unicode_escape(out, 0xFFFD);
    } else if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND) || !is_printable(c)) {
      append_unicode_escape(out, static_cast<std::uint32_t>(c));
    } else {
      out.append(text.data() + start, static_cast<std::size_t>(i - start));
    }
  }
  out += '"';
}

std::string quoted_text(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

namespace {

void append_debug_dim(std::string& out, const Dim& dim) {
  if (dim.is_concrete()) {
    out += "Concrete(";
    append_int(out, dim.value());
  } else {
    out += "Named(";
    append_quoted(out, dim.name());
  }
  out += ')';
}

void append_debug_shape(std::string& out, const Shape& shape) {
  out += '[';
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) out += ", ";
    append_debug_dim(out, shape[i]);
  }
  out += ']';
}

}  // namespace

std::string debug_dim(const Dim& dim) {
  std::string out;
  append_debug_dim(out, dim);
  return out;
}

std::string debug_shape(const Shape& shape) {
  std::string out;
  append_debug_shape(out, shape);
  return out;
}

std::string debug_type_record(std::string_view record, const std::string& dtype,
                              const Shape& shape) {
  std::string out(record);
  out += " { dtype: ";
  append_quoted(out, dtype);
  out += ", shape: ";
  append_debug_shape(out, shape);
  out += " }";
  return out;
}

std::string debug_tensor_type(const TensorType& ty) {
  return debug_type_record("TensorType", ty.dtype, ty.shape);
}

}  // namespace quarvel
