#include "core/parse.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>
#include <variant>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/error.h"
#include "core/file_read.h"
#include "core/numtext.h"
#include "core/parse_detail.h"
#include "core/text_hash.h"

namespace quarvel {

namespace {

// ---------------------------------------------------------------------------
// Byte classes of the tokenizer.

enum ByteClass : std::uint8_t {
  kSkip,       // whitespace and every byte that never starts a token
  kQuote,      // "
  kSlash,      // /
  kMinus,      // -
  kDot,        // .
  kDigit,      // 0-9
  kNameStart,  // A-Z a-z _
  kPunct,      // ( ) * + , : = [ ] { }
};

struct ByteTables {
  ByteClass cls[256];
  bool name_char[256];  // continues a name: letters, digits, underscore, dot
};

constexpr ByteTables make_tables() {
  ByteTables t{};
  for (int i = 0; i < 256; ++i) {
    t.cls[i] = kSkip;
    t.name_char[i] = false;
  }
  for (int c = '0'; c <= '9'; ++c) {
    t.cls[c] = kDigit;
    t.name_char[c] = true;
  }
  for (int c = 'a'; c <= 'z'; ++c) {
    t.cls[c] = kNameStart;
    t.name_char[c] = true;
  }
  for (int c = 'A'; c <= 'Z'; ++c) {
    t.cls[c] = kNameStart;
    t.name_char[c] = true;
  }
  t.cls[static_cast<unsigned char>('_')] = kNameStart;
  t.name_char[static_cast<unsigned char>('_')] = true;
  t.name_char[static_cast<unsigned char>('.')] = true;
  t.cls[static_cast<unsigned char>('"')] = kQuote;
  t.cls[static_cast<unsigned char>('/')] = kSlash;
  t.cls[static_cast<unsigned char>('-')] = kMinus;
  t.cls[static_cast<unsigned char>('.')] = kDot;
  for (char c : {'(', ')', '*', '+', ',', ':', '=', '[', ']', '{', '}'})
    t.cls[static_cast<unsigned char>(c)] = kPunct;
  return t;
}

constexpr ByteTables kTables = make_tables();

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_letter(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

// End of a number token starting at `i` (a digit); `kind` tells whether it
// took a dot or an exponent letter.
inline std::size_t scan_number(const char* s, std::size_t i, std::size_t n, TokenKind& kind) {
  kind = TokenKind::Integer;
  while (i < n && is_digit(s[i])) ++i;
  if (i < n && s[i] == '.') {
    kind = TokenKind::Real;
    ++i;
    while (i < n && is_digit(s[i])) ++i;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    kind = TokenKind::Real;
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < n && is_digit(s[i])) ++i;
  }
  return i;
}

// ---------------------------------------------------------------------------
// Number conversions.

enum class IntError { kNone, kEmpty, kInvalidDigit, kPosOverflow, kNegOverflow };

// A signed 64-bit decimal integer: one optional sign, then ASCII digits.
// Characters are taken left to right; the first one that fails decides.
IntError read_i64(std::string_view s, std::int64_t& out) {
  if (s.empty()) return IntError::kEmpty;
  std::size_t i = 0;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    if (s.size() == 1) return IntError::kInvalidDigit;
    negative = s[0] == '-';
    i = 1;
  }
  std::int64_t v = 0;
  for (; i < s.size(); ++i) {
    const unsigned d = static_cast<unsigned char>(s[i]) - '0';
    if (d > 9) return IntError::kInvalidDigit;
    if (negative) {
      if (__builtin_mul_overflow(v, 10, &v) ||
          __builtin_sub_overflow(v, static_cast<std::int64_t>(d), &v))
        return IntError::kNegOverflow;
    } else {
      if (__builtin_mul_overflow(v, 10, &v) ||
          __builtin_add_overflow(v, static_cast<std::int64_t>(d), &v))
        return IntError::kPosOverflow;
    }
  }
  out = v;
  return IntError::kNone;
}

[[noreturn]] void fail_int(IntError e) {
  switch (e) {
    case IntError::kEmpty: fail_unwrap("ParseIntError { kind: Empty }");
    case IntError::kInvalidDigit: fail_unwrap("ParseIntError { kind: InvalidDigit }");
    case IntError::kPosOverflow: fail_unwrap("ParseIntError { kind: PosOverflow }");
    case IntError::kNegOverflow: fail_unwrap("ParseIntError { kind: NegOverflow }");
    case IntError::kNone: break;
  }
  fail_unwrap("ParseIntError { kind: InvalidDigit }");
}

bool equals_ignore_case(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    if (c != lower[i]) return false;
  }
  return true;
}

// A decimal floating-point number, correctly rounded: an optional sign,
// digits with at most one dot and at least one digit, an optional exponent
// with at least one digit; or the words inf, infinity, nan in any case.
// Too large a magnitude gives an infinity, too small a zero.
bool read_f64(std::string_view s, double& out) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  double v;
  if (equals_ignore_case(s, "inf") || equals_ignore_case(s, "infinity")) {
    v = std::numeric_limits<double>::infinity();
  } else if (equals_ignore_case(s, "nan")) {
    v = std::numeric_limits<double>::quiet_NaN();
  } else {
    const std::size_t n = s.size();
    std::size_t i = 0;
    std::size_t int_digits = 0;
    std::int64_t lead = 0;  // decimal exponent of the first nonzero digit
    bool nonzero = false;
    // The significant digits as an integer while they fit in 19 digits.
    std::uint64_t mantissa = 0;
    int significant = 0;
    bool truncated = false;
    auto take_digit = [&](char c) {
      if (mantissa == 0 && c == '0') return;
      if (significant == 19) {
        truncated = true;
        return;
      }
      mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
      ++significant;
    };
    while (i < n && is_digit(s[i])) {
      if (!nonzero && s[i] != '0') {
        nonzero = true;
        lead = static_cast<std::int64_t>(int_digits);
      }
      take_digit(s[i]);
      ++int_digits;
      ++i;
    }
    if (nonzero) lead = static_cast<std::int64_t>(int_digits) - 1 - lead;
    std::size_t frac_digits = 0;
    if (i < n && s[i] == '.') {
      ++i;
      while (i < n && is_digit(s[i])) {
        if (!nonzero && s[i] != '0') {
          nonzero = true;
          lead = -static_cast<std::int64_t>(frac_digits) - 1;
        }
        take_digit(s[i]);
        ++frac_digits;
        ++i;
      }
    }
    if (int_digits + frac_digits == 0) return false;
    std::int64_t exponent = 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
      ++i;
      bool exp_negative = false;
      if (i < n && (s[i] == '+' || s[i] == '-')) {
        exp_negative = s[i] == '-';
        ++i;
      }
      const std::size_t exp_start = i;
      while (i < n && is_digit(s[i])) {
        if (exponent < (std::int64_t{1} << 40)) exponent = exponent * 10 + (s[i] - '0');
        ++i;
      }
      if (i == exp_start) return false;
      if (exp_negative) exponent = -exponent;
    }
    if (i != n) return false;
    // Digits and a power of ten that are both exact doubles give the correctly
    // rounded value in one multiplication or division.
    const std::int64_t scale =
        frac_digits > 64 ? -64 : exponent - static_cast<std::int64_t>(frac_digits);
    if (!truncated && mantissa <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
      const double m = static_cast<double>(mantissa);
      v = scale >= 0 ? m * kExactPowersOfTen[scale] : m / kExactPowersOfTen[-scale];
    } else {
      const auto r = std::from_chars(s.data(), s.data() + n, v, std::chars_format::general);
      if (r.ec == std::errc::result_out_of_range) {
        v = lead + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
      } else if (r.ec != std::errc() || r.ptr != s.data() + n) {
        return false;
      }
    }
  }
  out = negative ? -v : v;
  return true;
}

// Truncation toward zero that saturates at the ends of the range; NaN is 0.
std::int64_t saturating_i64(double x) {
  if (x != x) return 0;
  if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (x <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

// ---------------------------------------------------------------------------
// Tokenizer.

inline unsigned char byte_at(const char* s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

#if defined(__SSE2__)
inline __m128i load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
#endif

// End of a name token whose first byte is at `i - 1`: letters, digits,
// underscores and dots, and a "*" right after a final dot.
[[gnu::always_inline]] inline std::size_t scan_name(const char* s, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  // Sixteen bytes at a time: most names end within the first sixteen, found
  // without a branch per byte.
  while (i + 16 <= n) {
    const __m128i v = load16(s + i);
    const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));  // A-Z to a-z
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                         _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)),
                                        _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    const __m128i other = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('_')),
                                       _mm_cmpeq_epi8(v, _mm_set1_epi8('.')));
    const unsigned name = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), other)));
    if (name != 0xFFFF) {
      i += static_cast<std::size_t>(__builtin_ctz(~name));
      if (s[i] == '*' && s[i - 1] == '.') ++i;
      return i;
    }
    i += 16;
  }
#endif
  while (i < n && kTables.name_char[byte_at(s, i)]) ++i;
  if (i < n && s[i] == '*' && s[i - 1] == '.') ++i;
  return i;
}

// End of a string token whose opening quote is at `i - 1`: after the next
// unescaped double quote, or the end of the text.
[[gnu::noinline]] std::size_t scan_string(const char* s, std::size_t i, std::size_t n) {
  for (;;) {
#if defined(__SSE2__)
    while (i + 16 <= n) {
      const __m128i v = load16(s + i);
      const unsigned hit = static_cast<unsigned>(_mm_movemask_epi8(
          _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')))));
      if (hit != 0) {
        i += static_cast<std::size_t>(__builtin_ctz(hit));
        break;
      }
      i += 16;
    }
#endif
    while (i < n && s[i] != '"' && s[i] != '\\') ++i;
    if (i >= n) return n;
    if (s[i] == '"') return i + 1;
    i += 2;  // a backslash and the byte after it, whatever it is
    if (i >= n) return n;  // a final backslash ends the unclosed string
  }
}

// End of a comment token starting at `i`: the next line feed, not included,
// or the end of the text.
[[gnu::noinline]] std::size_t comment_end(const char* s, std::size_t i, std::size_t n) {
  const void* nl = std::memchr(s + i + 2, '\n', n - i - 2);
  return nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - s) : n;
}

// Cuts the token that starts at or after `i`, leaving `i` after it, and
// returns its kind with its first byte at `start`; End when only skipped
// bytes remain.
[[gnu::always_inline]] inline TokenKind cut_token(const char* s, std::size_t n, std::size_t& i,
                                                  std::size_t& start) {
  for (;;) {
    while (i < n && kTables.cls[byte_at(s, i)] == kSkip) ++i;
    if (i >= n) return TokenKind::End;
    start = i;
    const ByteClass k = kTables.cls[byte_at(s, i)];
    if (k == kNameStart) {
      i = scan_name(s, i + 1, n);
      return TokenKind::Name;
    }
    if (k == kPunct) {
      ++i;
      return TokenKind::Punct;
    }
    TokenKind kind;
    if (k == kDigit) {
      i = scan_number(s, i, n, kind);
      return kind;
    }
    if (k == kQuote) {
      i = scan_string(s, i + 1, n);
      return TokenKind::String;
    }
    if (k == kMinus) {
      if (i + 1 < n && s[i + 1] == '>') {
        i += 2;
        return TokenKind::Arrow;
      }
      if (i + 1 < n && is_digit(s[i + 1])) {
        i = scan_number(s, i + 1, n, kind);
        return kind;
      }
      ++i;
      return TokenKind::Punct;
    }
    if (k == kSlash) {
      if (i + 1 < n && s[i + 1] == '/') {
        i = comment_end(s, i, n);
        return TokenKind::Comment;
      }
      ++i;
      return TokenKind::Punct;
    }
    // A dot: "..." or skipped.
    if (i + 2 < n && s[i + 1] == '.' && s[i + 2] == '.') {
      i += 3;
      return TokenKind::Ellipsis;
    }
    ++i;
  }
}

// ---------------------------------------------------------------------------
// Grammar helpers.

constexpr double kInf = std::numeric_limits<double>::infinity();

[[noreturn]] void fail_float() { fail_unwrap("ParseFloatError { kind: Invalid }"); }

std::string quoted_message(std::string_view prefix, std::string_view text) {
  std::string m(prefix);
  append_quoted(m, text);
  return m;
}

// Every list of the language: commas between items are optional, a leading
// comma is accepted, and each pass drops at most one comma.
template <class ReadItem>
void list_loop(Parser& p, char close, ReadItem&& read_item) {
  for (;;) {
    if (p.peek_is(close)) return;
    if (p.peek_is(',')) p.next_token();
    read_item();
  }
}

// The value of an argument-list item: a quoted token loses its quotes and
// stays text (escapes as written), anything else is an atom. Texts still
// view the source.
Atom item_atom(const Token& t) {
  if (t.kind == TokenKind::String && t.text.back() == '"') {
    if (t.text.size() == 1) fail("begin > end (1 > 0) when slicing `\"`");
    return Atom::str(t.text.substr(1, t.text.size() - 2));
  }
  return token_atom(t);
}

// Stores `a` into `slot` (an atom in its final place), its text copied into
// the context.
void store_atom(Parser& p, Atom& slot, const Atom& a) {
  slot = a.is_str() ? Atom::str(p.keep(a.as_str())) : a;
}

// A delimited argument list, item by item: positional(Atom) and
// named(name, Atom) in source order, with texts that view the source.
template <class Positional, class Named>
void read_arg_items(Parser& p, char open, char close, Positional&& positional, Named&& named) {
  p.expect_token(open);
  list_loop(p, close, [&] {
    const Token t = p.next_token();
    if (t.kind == TokenKind::Name && is_letter(t.text[0]) && p.peek_is('=')) {
      p.next_token();
      named(t.text, item_atom(p.next_token()));
    } else {
      positional(item_atom(t));
    }
  });
  p.expect_token(close);
}

// A dimension, stored into `dim` in its final place: a number token is a
// signed integer; any other token is a name.
void set_dim(Dim& dim, const Token& t) {
  if (t.kind == TokenKind::Integer || t.kind == TokenKind::Real) {
    std::int64_t v = 0;
    const IntError e = read_i64(t.text, v);
    if (e != IntError::kNone) fail_int(e);
    dim.v.emplace<std::int64_t>(v);
  } else {
    dim.v.emplace<Text>(t.text);
  }
}

bool same_shape(std::span<const Dim> a, std::span<const Dim> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].is_concrete() ? !(b[i].is_concrete() && a[i].value() == b[i].value())
                           : !(b[i].is_named() && same_text(a[i].name(), b[i].name())))
      return false;
  }
  return true;
}

// The context's type with this dtype and shape, looked for among the recent
// types first.
TypeRef intern_type(Parser& p, Text dtype, std::span<const Dim> shape) {
  TypeRef* recent = p.scratch.recent_types;
  constexpr std::size_t kRecent = Parser::Scratch::kRecentTypes;
  std::size_t i = 0;
  for (; i < kRecent && recent[i]; ++i) {
    const TensorType& ty = *recent[i];
    if (same_text(ty.dtype, dtype) && same_shape(ty.shape, shape)) break;
  }
  const TypeRef found = i < kRecent && recent[i] ? recent[i] : p.ctx.type(dtype, shape);
  // Move it to the front; the last one drops out when it was not there.
  for (std::size_t k = std::min(i, kRecent - 1); k > 0; --k) recent[k] = recent[k - 1];
  recent[0] = found;
  return found;
}

TypeRef wildcard_type(Parser& p) {
  if (!p.scratch.wildcard) p.scratch.wildcard = p.ctx.type("*", std::span<const Dim>());
  return p.scratch.wildcard;
}

// The type after a ":": "*" alone is the wildcard, anything else a tensor type.
TypeRef read_declared_type(Parser& p) {
  if (p.peek_is('*')) {
    p.next_token();
    return wildcard_type(p);
  }
  return parse_tensor_type(p);
}

List<Param> read_params(Parser& p) {
  std::vector<Param>& params = p.scratch.params;
  params.clear();
  list_loop(p, ')', [&] {
    Param& param = params.emplace_back();
    param.name = p.keep(p.next_token().text);
    p.expect_token(':');
    param.ty = read_declared_type(p);
  });
  return p.ctx.list(params);
}

// A literal scalar stored into `value` in its final place.
void read_literal_scalar(Parser& p, LiteralValue& value) {
  const Token t = p.next_token();
  if (t.kind == TokenKind::Punct && t.text[0] == '-') {
    const Token u = p.next_token();
    if (u.text != "inf") fail(quoted_message("Expected 'inf' after '-', got ", u.text));
    value.v.emplace<double>(-kInf);
    return;
  }
  const Atom a = token_atom(t);
  a.visit(Overloaded{
      [&](std::int64_t i) { value.v.emplace<std::int64_t>(i); },
      [&](double f) { value.v.emplace<double>(f); },
      [&](Text s) { fail(quoted_message("Expected literal value, got name ", s)); },
  });
}

LiteralValue literal_list(Parser& p, std::size_t depth) {
  if (depth > kMaxLiteralDepth) fail("literal nesting exceeds 256 levels");
  p.expect_token('[');
  // The items of every open list share one stack; a list takes its own off
  // the top when it closes.
  std::vector<LiteralValue>& items = p.scratch.literal;
  const std::size_t base = items.size();
  list_loop(p, ']', [&] {
    if (p.peek_is('[')) {
      const LiteralValue inner = literal_list(p, depth + 1);
      items.push_back(inner);
    } else {
      read_literal_scalar(p, items.emplace_back());
    }
  });
  p.expect_token(']');
  const LiteralValue list = LiteralValue::list(
      p.ctx.list(std::span<const LiteralValue>(items.data() + base, items.size() - base)));
  items.resize(base);
  return list;
}

// ---------------------------------------------------------------------------
// Kinds.

// The kind a statement's word names, or nothing.
std::optional<OpTag> statement_tag(const Token& word) {
  if (word.kind != TokenKind::Name) return std::nullopt;
  return kind_tag(word.text);
}

// A text with a space or an arrow in it is a pattern; any other is a name.
bool is_pattern_text(Text s) {
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] == ' ' || (s[i] == '-' && i + 1 < s.size() && s[i + 1] == '>')) return true;
  return false;
}

// What a statement's lists give its kind: the working groups of the
// square-bracket list, and the value of a literal. Texts view the source.
struct StatementParts {
  StatementParts() {}  // the names are set as they come: only `name_count` of them are read

  union {
    Text names[3];
  };
  std::size_t name_count = 0;
  Text pattern;
  bool has_int = false;
  std::int64_t first_int = 0;
  double floats[2] = {0, 0};
  std::size_t float_count = 0;
  LiteralValue literal;

  void add(const Atom& a) {
    a.visit(Overloaded{
                   [&](std::int64_t i) {
                     if (!has_int) {
                       has_int = true;
                       first_int = i;
                     }
                   },
                   [&](double f) {
                     if (float_count < 2) floats[float_count] = f;
                     ++float_count;
                   },
                   [&](Text s) {
                     if (is_pattern_text(s)) {
                       pattern = s;  // a later pattern replaces an earlier one
                     } else {
                       if (name_count < 3) names[name_count] = s;
                       ++name_count;
                     }
                   },
               });
  }
  // The k-th name, or the empty text.
  Text name(std::size_t k) const { return k < name_count ? names[k] : Text(); }
};

// The axes of a view or tile: the name = value items of the parenthesised
// list with a number as their value (a float truncated, saturating).
Axes statement_axes(Parser& p) {
  std::vector<Axis>& axes = p.scratch.axes;
  axes.clear();
  for (const auto& [name, value] : p.scratch.named) {
    if (value.is_int())
      axes.push_back(Axis{p.keep(name), value.as_int()});
    else if (value.is_float())
      axes.push_back(Axis{p.keep(name), saturating_i64(value.as_float())});
  }
  return Axes(p.ctx.list(axes));
}

// Sets `kind` to the kind of `tag` with its fields taken from the statement.
void set_kind(Parser& p, OpKind& kind, OpTag tag, const StatementParts& s) {
  switch (tag) {
    case OpTag::View: kind = View{p.keep(s.pattern), statement_axes(p)}; return;
    case OpTag::Map: kind = Map{p.keep(s.name(0))}; return;
    case OpTag::Fold:
      if (s.name(0).empty()) fail("fold requires a reduction: fold[pattern, reduction]");
      kind = Fold{p.keep(s.pattern), p.keep(s.name(0))};
      return;
    case OpTag::Tile: kind = Tile{p.keep(s.pattern), statement_axes(p)}; return;
    case OpTag::Read: kind = Read{p.keep(s.pattern)}; return;
    case OpTag::Write:
      if (s.name(0).empty()) fail("write requires a reduction: write[pattern, reduction]");
      kind = Write{p.keep(s.pattern), p.keep(s.name(0))};
      return;
    case OpTag::Contract: kind = Contract{p.keep(s.pattern)}; return;
    case OpTag::Literal: kind = Literal{s.literal}; return;
    case OpTag::Iota: kind = Iota{}; return;
    case OpTag::Random:
      if (s.float_count < 2) fail("random requires two bounds: random[lo, hi]");
      kind = Random{s.floats[0], s.floats[1]};
      return;
    case OpTag::Call: kind = Call{p.keep(s.name(0))}; return;
    case OpTag::Loop:
      if (s.name_count < 2 && !s.has_int) fail("loop requires explicit count: loop[fn, count]");
      kind = Loop{p.keep(s.name(0)),
                  s.name_count >= 2
                      ? LoopCount::named(p.keep(s.name(1)))
                      // the integer's two's-complement pattern read as unsigned
                      : LoopCount::concrete(static_cast<std::uint64_t>(s.first_int))};
      return;
    case OpTag::Cache:
      if (s.name_count == 0)
        fail("cache requires var name: cache[var, init] or cache[var, init, extend]");
      if (s.name_count == 1)
        fail("cache requires init function: cache[var, init] or cache[var, init, extend]");
      kind = Cache{p.keep(s.name(0)), p.keep(s.name(1)),
                   s.name_count >= 3 ? std::optional<Text>(p.keep(s.name(2))) : std::nullopt};
      return;
  }
}

// The output types of a statement as a list of the context. Neighbouring
// statements often declare the same types: the list of the one before is
// then shared.
OutputTypes type_list(Parser& p, const std::vector<TypeRef>& types) {
  OutputTypes& last = p.scratch.last_types;
  const bool same = last.size() == types.size() &&
                    std::equal(types.begin(), types.end(), last.begin(),
                               [](TypeRef a, TypeRef b) { return a.get() == b.get(); });
  if (!same) last = p.ctx.list(types);
  return last;
}

// What an op starts from. Copying it takes a few wide moves; building an
// empty op in place compiles to a block clear that is slow to start.
constexpr Op kEmptyOp{};

// One statement, read into `op` (an empty op).
void read_op(Parser& p, Op& op) {
  Context& ctx = p.ctx;
  Comments comments;
  if (!p.pending_comments.empty()) comments = p.take_comments();

  std::vector<Text>& names = p.scratch.texts;
  std::vector<TypeRef>& types = p.scratch.types;
  names.clear();
  types.clear();
  if (p.peek_is('(')) {
    p.next_token();
    list_loop(p, ')', [&] { names.push_back(p.keep(p.next_token().text)); });
    p.expect_token(')');
    p.expect_token(':');
    p.expect_token('(');
    list_loop(p, ')', [&] { types.push_back(parse_tensor_type(p)); });
    p.expect_token(')');
  } else {
    for (;;) {
      names.push_back(p.keep(p.next_token().text));
      TypeRef& ty = types.emplace_back();
      if (p.peek_is(':')) {
        p.next_token();
        ty = read_declared_type(p);
      }
      if (!p.peek_is(',')) break;
      p.next_token();
    }
  }
  op.outputs = p.scratch.output_lists.intern(ctx, names);
  op.output_types = type_list(p, types);

  p.expect_token('=');
  const Token word = p.next_token();
  const std::optional<OpTag> tag = statement_tag(word);
  StatementParts parts;
  std::vector<Atom>& args = p.scratch.atoms;
  args.clear();
  p.scratch.named.clear();
  if (tag == OpTag::Literal) {
    // One value in parentheses; no square-bracket list, no arguments.
    p.expect_token('(');
    parts.literal = p.peek_is('[') ? parse_literal_list(p) : parse_literal_scalar(p);
    p.expect_token(')');
  } else {
    if (p.peek_is('['))
      read_arg_items(
          p, '[', ']', [&](const Atom& a) { parts.add(a); },
          [](Text, const Atom&) {});  // axes never come from here
    if (p.peek_is('('))
      read_arg_items(
          p, '(', ')', [&](const Atom& a) { store_atom(p, args.emplace_back(), a); },
          [&](Text name, const Atom& a) { p.scratch.named.insert(name, a); });
    // The word is judged only after both lists were read.
    if (!tag) fail(quoted_message("Unknown op: ", word.text));
  }
  op.args = p.scratch.argument_lists.intern(ctx, args);
  OpKind kind;
  set_kind(p, kind, *tag, parts);
  op.head = ctx.head(kind, comments);
}

}  // namespace

// ---------------------------------------------------------------------------
// Cursor.

inline void Parser::set_next(TokenKind kind, std::size_t start) {
  next_start_ = start;
  next_end_ = offset_;
  next_kind_ = kind;
  punct_ = kind == TokenKind::Punct ? byte_at(source_.data(), start) : 0;
  ready_ = true;
}

void Parser::advance_past_comments() {
  std::size_t i = offset_;
  std::size_t start = 0;
  const TokenKind kind = cut_token(source_.data(), source_.size(), i, start);
  offset_ = i;
  if (kind == TokenKind::Comment || kind == TokenKind::End) {
    pass_comments(kind, start);
    return;
  }
  set_next(kind, start);
}

// The rarer part of `advance_past_comments`: from the token just cut at
// `start` (ending at `offset_`), sets comment tokens aside until another token
// or the end of the text is reached.
void Parser::pass_comments(TokenKind kind, std::size_t start) {
  for (;;) {
    if (kind == TokenKind::End) {
      next_start_ = next_end_ = offset_;
      next_kind_ = TokenKind::End;
      punct_ = 0;
      ready_ = true;
      return;
    }
    if (kind != TokenKind::Comment) {
      set_next(kind, start);
      return;
    }
    pending_comments.push_back(source_.substr(start, offset_ - start));
    ++pos;
    std::size_t i = offset_;
    kind = cut_token(source_.data(), source_.size(), i, start);
    offset_ = i;
  }
}

// ---------------------------------------------------------------------------
// Kept types and comments.

void Parser::remember_type(const Mark& start, TypeRef type) {
  if (pending_comments.size() != start.comments) return;  // a comment inside
  last_type_ = LastType{source_.data() + start.offset, offset_ - start.offset, pos - start.pos,
                        type};
}

TypeRef Parser::repeated_type() {
  skip_comments();
  const LastType& last = last_type_;
  if (!last.type || next_kind_ == TokenKind::End || source_.size() - next_start_ < last.size ||
      !same_text(Text(source_.data() + next_start_, last.size), Text(last.text, last.size)))
    return TypeRef();
  // As if every token of the type had been passed, its closing bracket last.
  offset_ = next_start_ + last.size;
  pos += last.tokens;
  ready_ = false;
  return last.type;
}

Comments Parser::take_comments() {
  const std::size_t n = pending_comments.size();
  if (n == 0) return {};
  std::vector<Text>& kept = scratch.comments;
  kept.clear();
  for (Text comment : pending_comments) kept.push_back(keep(comment));
  pending_comments.clear();
  return scratch.comment_lists.intern(ctx, kept);
}

// Only reached when every token was passed, so the index equals the length.
void Parser::fail_at_end() const { fail_index(pos, pos); }

void Parser::fail_expected(std::string_view expected, std::string_view got) {
  std::string m = "Expected ";
  append_quoted(m, expected);
  m += ", got ";
  append_quoted(m, got);
  fail(std::move(m));
}

std::vector<Token> tokenize(std::string_view source) {
  std::vector<Token> tokens;
  tokens.reserve(source.size() / 4 + 4);
  std::size_t i = 0;
  std::size_t start = 0;
  for (;;) {
    const TokenKind kind = cut_token(source.data(), source.size(), i, start);
    if (kind == TokenKind::End) break;
    tokens.push_back(Token{source.substr(start, i - start), kind});
  }
  return tokens;
}

// ---------------------------------------------------------------------------
// Values.

Atom parse_atom(std::string_view token) {
  if (token == "inf") return Atom::real(kInf);
  if (!token.empty() && !is_letter(token[0]) && token.find_first_of(".eE") != std::string_view::npos) {
    double f = 0;
    if (!read_f64(token, f)) fail_float();
    return Atom::real(f);
  }
  std::int64_t i = 0;
  if (read_i64(token, i) == IntError::kNone) return Atom::integer(i);
  return Atom::str(token);
}

// The kinds that decide the atom without a look at the text take a short
// way; the others follow the rule of `parse_atom`.
Atom token_atom(const Token& t) {
  switch (t.kind) {
    case TokenKind::Name:
      // A name that begins with a letter is text, or the float "inf". One that
      // begins with an underscore fails as a float when it holds ".", "e" or "E".
      if (is_letter(t.text[0])) return t.text == "inf" ? Atom::real(kInf) : Atom::str(t.text);
      break;
    case TokenKind::Integer: {
      std::int64_t i = 0;
      if (read_i64(t.text, i) == IntError::kNone) return Atom::integer(i);
      return Atom::str(t.text);  // out of range
    }
    case TokenKind::Real: {
      double f = 0;
      if (!read_f64(t.text, f)) fail_float();
      return Atom::real(f);
    }
    case TokenKind::Punct:
    case TokenKind::Arrow: return Atom::str(t.text);
    case TokenKind::String:
    case TokenKind::Ellipsis:
    case TokenKind::Comment:
    case TokenKind::End: break;
  }
  return parse_atom(t.text);
}

TypeRef parse_tensor_type(Parser& p) {
  const Parser::Mark start = p.mark();
  if (const TypeRef again = p.repeated_type()) return again;
  const Text dtype = p.next_token().text;
  p.expect_token('[');
  ShapeBuilder& shape = p.scratch.shape;
  shape.clear();
  list_loop(p, ']', [&] { set_dim(shape.emplace_back(), p.next_token()); });
  p.expect_token(']');
  const TypeRef type = intern_type(p, dtype, std::span<const Dim>(shape.data(), shape.size()));
  p.remember_type(start, type);
  return type;
}

ArgList parse_arg_list(Parser& p, std::string_view open, std::string_view close) {
  if (open.size() != 1 || close.size() != 1) fail("argument lists are delimited by one character");
  ArgList out;
  std::vector<Atom> positional;
  read_arg_items(
      p, open[0], close[0], [&](const Atom& a) { store_atom(p, positional.emplace_back(), a); },
      [&](Text name, const Atom& a) {
        Atom value;
        store_atom(p, value, a);
        out.named.insert(p.keep(name), value);
      });
  out.positional = p.ctx.list(positional);
  return out;
}

LiteralValue parse_literal_list(Parser& p) {
  p.scratch.literal.clear();
  return literal_list(p, 1);
}

LiteralValue parse_literal_scalar(Parser& p) {
  LiteralValue value;
  read_literal_scalar(p, value);
  return value;
}

// ---------------------------------------------------------------------------
// Grammar.

Op parse_op(Parser& p) {
  Op op;
  read_op(p, op);
  return op;
}

Function parse_function(Parser& p) {
  Function f;
  f.name = p.ctx.text(p.next_token().text);  // names of functions seldom recur
  p.expect_token('(');
  f.params = read_params(p);
  p.expect_token(')');
  p.expect_token("->");
  p.expect_token('(');
  f.returns = read_params(p);
  p.expect_token(')');
  p.expect_token('{');
  p.skip_comments();
  f.comments = p.take_comments();
  // Bodies next to each other tend to be alike in length: the body is read
  // in place, into room for as many ops as the last one had. Room beyond a
  // small margin is given back, so that a long body before short ones costs
  // no memory.
  std::vector<Op>& ops = f.ops;
  ops.reserve(p.scratch.last_body_size);
  while (!p.peek_is('}')) read_op(p, ops.emplace_back(kEmptyOp));
  p.expect_token('}');
  p.scratch.last_body_size = ops.size();
  if (ops.capacity() - ops.size() > ops.size() / 8 + 4) ops.shrink_to_fit();
  return f;
}

bool parse_each(std::string_view source, Context& ctx, FunctionSink& sink) {
  Parser p(source, ctx);
  p.skip_comments();
  sink.header(p.take_comments());
  while (!p.at_end()) {
    Function f = parse_function(p);
    if (!sink.function(f)) return false;
  }
  return true;
}

Module parse_source(std::string_view source) {
  // A later function of a name replaces the earlier one where that stood.
  class Into final : public FunctionSink {
   public:
    explicit Into(Module& m) : m_(m) {}
    void header(Comments comments) override { m_.header_comments = comments; }
    bool function(Function& fn) override {
      const Text key = fn.name;
      m_.functions.insert(key, std::move(fn));
      return true;
    }

   private:
    Module& m_;
  };
  Module m;
  Into into(m);
  parse_each(source, m.ctx(), into);
  return m;
}

Module parse_file(const std::string& path) {
  const FileText file = read_file_text(path);
  switch (file.problem) {
    case FileText::Problem::None: break;
    case FileText::Problem::NulInPath:
      fail_unwrap(
          R"(Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" })");
    case FileText::Problem::Os: fail_unwrap(os_error_debug(file.os_error));
    case FileText::Problem::NotUtf8:
      fail_unwrap(R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })");
  }
  return parse_source(file.text.view());
}

}  // namespace quarvel
