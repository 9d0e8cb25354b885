#include "core/parse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/error.h"

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

// End of a number token starting at `i` (a digit).
inline std::size_t scan_number(const char* s, std::size_t i, std::size_t n) {
  while (i < n && is_digit(s[i])) ++i;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && is_digit(s[i])) ++i;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
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
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const std::int64_t scale =
        frac_digits > 64 ? -64 : exponent - static_cast<std::int64_t>(frac_digits);
    if (!truncated && mantissa <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
      const double m = static_cast<double>(mantissa);
      v = scale >= 0 ? m * kPowers[scale] : m / kPowers[-scale];
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

constexpr std::size_t kNoToken = static_cast<std::size_t>(-1);

// Cuts the token that starts at or after `i`, leaving `i` after it, and
// returns where it starts; kNoToken when only skipped bytes remain.
[[gnu::always_inline]] inline std::size_t cut_token(const char* s, std::size_t n, std::size_t& i) {
  for (;;) {
    while (i < n && kTables.cls[byte_at(s, i)] == kSkip) ++i;
    if (i >= n) return kNoToken;
    const std::size_t start = i;
    const ByteClass k = kTables.cls[byte_at(s, i)];
    if (k == kNameStart) {
      i = scan_name(s, i + 1, n);
    } else if (k == kPunct) {
      ++i;
    } else if (k == kDigit) {
      i = scan_number(s, i, n);
    } else if (k == kQuote) {
      i = scan_string(s, i + 1, n);
    } else if (k == kMinus) {
      if (i + 1 < n && s[i + 1] == '>')
        i += 2;
      else if (i + 1 < n && is_digit(s[i + 1]))
        i = scan_number(s, i + 1, n);
      else
        ++i;
    } else if (k == kSlash) {
      if (i + 1 < n && s[i + 1] == '/') {
        i = comment_end(s, i, n);
      } else {
        ++i;
      }
    } else {  // a dot: "..." or skipped
      if (i + 2 < n && s[i + 1] == '.' && s[i + 2] == '.') {
        i += 3;
      } else {
        ++i;
        continue;
      }
    }
    return start;
  }
}

// ---------------------------------------------------------------------------
// Atoms without copies: the text of a `Str` stays a view into the source
// until the grammar knows where it goes.

struct AtomRef {
  enum Tag : std::uint8_t { kInt, kFloat, kStr } tag = kStr;
  std::int64_t i = 0;
  double f = 0;
  std::string_view s;
};

AtomRef atom_ref(std::string_view token) {
  AtomRef a;
  // A token that begins with a letter is never an integer, and a float only
  // when it is "inf".
  if (!token.empty() && is_letter(token[0]) && token != "inf") {
    a.s = token;
    return a;
  }
  if (token == "inf") {
    a.tag = AtomRef::kFloat;
    a.f = std::numeric_limits<double>::infinity();
    return a;
  }
  if (!token.empty() && !is_letter(token[0]) &&
      token.find_first_of(".eE") != std::string_view::npos) {
    if (!read_f64(token, a.f)) fail_unwrap("ParseFloatError { kind: Invalid }");
    a.tag = AtomRef::kFloat;
    return a;
  }
  if (read_i64(token, a.i) == IntError::kNone) {
    a.tag = AtomRef::kInt;
    return a;
  }
  a.tag = AtomRef::kStr;
  a.s = token;
  return a;
}

// Stores `a` into `atom` (holding the integer 0, as an Atom does when built).
void set_atom(Atom& atom, const AtomRef& a) {
  switch (a.tag) {
    case AtomRef::kInt: atom.v.emplace<0>(a.i); return;
    case AtomRef::kFloat: atom.v.emplace<1>(a.f); return;
    case AtomRef::kStr: atom.v.emplace<2>(a.s); return;
  }
}

Atom to_atom(const AtomRef& a) {
  switch (a.tag) {
    case AtomRef::kInt: return Atom::integer(a.i);
    case AtomRef::kFloat: return Atom::real(a.f);
    case AtomRef::kStr: break;
  }
  return Atom::str(std::string(a.s));
}

// The value of an argument-list item: a quoted token loses its quotes and
// stays text (escapes as written), anything else is an atom.
AtomRef item_ref(std::string_view t) {
  if (t.front() == '"' && t.back() == '"') {
    if (t.size() == 1) fail("begin > end (1 > 0) when slicing `\"`");
    AtomRef a;
    a.tag = AtomRef::kStr;
    a.s = t.substr(1, t.size() - 2);
    return a;
  }
  return atom_ref(t);
}

// ---------------------------------------------------------------------------
// Grammar helpers.

// Every list of the language: commas between items are optional, a leading
// comma is accepted, and each pass drops at most one comma.
template <class ReadItem>
void list_loop(Parser& p, char close, ReadItem&& read_item) {
  for (;;) {
    const int c = p.peek_char();
    if (c == close) return;
    if (c == ',') p.next_token();
    read_item();
  }
}

// A delimited argument list, item by item: positional(AtomRef) and
// named(name, AtomRef) in source order.
template <class Positional, class Named>
void read_arg_items(Parser& p, char open, char close, Positional&& positional, Named&& named) {
  p.expect_token(open);
  list_loop(p, close, [&] {
    const std::string_view t = p.next_token();
    if (p.peek_is('=') && is_letter(t[0])) {
      p.next_token();
      named(t, item_ref(p.next_token()));
    } else {
      positional(item_ref(t));
    }
  });
  p.expect_token(close);
}

std::string quoted_message(std::string_view prefix, std::string_view text) {
  std::string m(prefix);
  append_quoted(m, text);
  return m;
}

// A dimension: a token that begins with a digit, or with a minus sign and a
// digit, is a signed integer; any other token is a name.
void read_dim(std::string_view t, Dim& dim) {
  if (is_digit(t[0]) || (t[0] == '-' && t.size() > 1 && is_digit(t[1]))) {
    std::int64_t v = 0;
    const IntError e = read_i64(t, v);
    if (e != IntError::kNone) fail_int(e);
    dim.v.emplace<0>(v);
  } else {
    dim.v.emplace<1>(t);
  }
}

// An empty type. Built this way, without zeroing the room of its shape,
// and moved into place, it is cheaper than a value-initialised one.
inline TensorType empty_type() {
  TensorType ty;
  return ty;
}

// A tensor type read into `ty` (an empty type).
void read_tensor_type(Parser& p, TensorType& ty) {
  p.skip_comments();
  ty.dtype = p.next_token();
  p.expect_token('[');
  list_loop(p, ']', [&] { read_dim(p.next_token(), ty.shape.emplace_back()); });
  p.expect_token(']');
}

void read_param(Parser& p, Param& param) {
  param.name = p.next_token();
  p.expect_token(':');
  if (p.peek_is('*')) {
    p.next_token();
    param.ty.dtype = "*";
  } else {
    read_tensor_type(p, param.ty);
  }
}

LiteralValue literal_list(Parser& p, std::size_t depth) {
  if (depth > kMaxLiteralDepth) fail("literal nesting exceeds 256 levels");
  p.expect_token('[');
  // Short lists are gathered in place and stored at their final size.
  SmallVector<LiteralValue, 4> items;
  list_loop(p, ']', [&] {
    if (p.peek_is('['))
      items.push_back(literal_list(p, depth + 1));
    else
      items.push_back(parse_literal_scalar(p));
  });
  p.expect_token(']');
  return LiteralValue::list(std::vector<LiteralValue>(std::make_move_iterator(items.begin()),
                                                      std::make_move_iterator(items.end())));
}

// The working groups of a statement's square-bracket list.
struct Groups {
  std::string_view names[3];
  std::size_t name_count = 0;
  std::string_view pattern;
  bool has_int = false;
  std::int64_t first_int = 0;
  double floats[2] = {0, 0};
  std::size_t float_count = 0;

  void add(const AtomRef& a) {
    switch (a.tag) {
      case AtomRef::kInt:
        if (!has_int) {
          has_int = true;
          first_int = a.i;
        }
        break;
      case AtomRef::kFloat:
        if (float_count < 2) floats[float_count] = a.f;
        ++float_count;
        break;
      case AtomRef::kStr:
        if (a.s.find(' ') != std::string_view::npos || a.s.find("->") != std::string_view::npos) {
          pattern = a.s;  // a later pattern replaces an earlier one
        } else {
          if (name_count < 3) names[name_count] = a.s;
          ++name_count;
        }
        break;
    }
  }
  // The k-th name, or the empty text.
  std::string_view name(std::size_t k) const { return k < name_count ? names[k] : std::string_view(); }
};

// Sets `kind` (holding an empty View, as an Op does when built) to the kind
// of `tag`, with the fields taken from the square-bracket list.
void set_kind(OpKind& kind, std::size_t tag, const Groups& g, Axes&& axes) {
  switch (tag) {
    case 0: {
      View& k = kind.index() == 0 ? std::get<0>(kind) : kind.emplace<0>();
      k.pattern = g.pattern;
      k.axes = std::move(axes);
      return;
    }
    case 1: kind.emplace<Map>().function = g.name(0); return;
    case 2: {
      if (g.name(0).empty()) fail("fold requires a reduction: fold[pattern, reduction]");
      Fold& k = kind.emplace<Fold>();
      k.pattern = g.pattern;
      k.reduction = g.name(0);
      return;
    }
    case 3: {
      Tile& k = kind.emplace<Tile>();
      k.pattern = g.pattern;
      k.axes = std::move(axes);
      return;
    }
    case 4: kind.emplace<Read>().pattern = g.pattern; return;
    case 5: {
      if (g.name(0).empty()) fail("write requires a reduction: write[pattern, reduction]");
      Write& k = kind.emplace<Write>();
      k.pattern = g.pattern;
      k.reduction = g.name(0);
      return;
    }
    case 6: kind.emplace<Contract>().pattern = g.pattern; return;
    case 8: kind.emplace<Iota>(); return;
    case 9: {
      if (g.float_count < 2) fail("random requires two bounds: random[lo, hi]");
      Random& k = kind.emplace<Random>();
      k.lower = g.floats[0];
      k.upper = g.floats[1];
      return;
    }
    case 10: kind.emplace<Call>().target = g.name(0); return;
    case 11: {
      if (g.name_count < 2 && !g.has_int) fail("loop requires explicit count: loop[fn, count]");
      Loop& k = kind.emplace<Loop>();
      k.target = g.name(0);
      if (g.name_count >= 2)
        k.count.v.emplace<1>(g.name(1));
      else  // the integer's two's-complement pattern read as unsigned
        k.count.v.emplace<0>(static_cast<std::uint64_t>(g.first_int));
      return;
    }
    case 12: {
      if (g.name_count == 0)
        fail("cache requires var name: cache[var, init] or cache[var, init, extend]");
      if (g.name_count == 1)
        fail("cache requires init function: cache[var, init] or cache[var, init, extend]");
      Cache& k = kind.emplace<Cache>();
      k.var = g.name(0);
      k.init = g.name(1);
      if (g.name_count >= 3) k.extend.emplace(g.name(2));
      return;
    }
    default: break;
  }
  fail("unexpected kind tag");  // "literal" is read before the lists
}

// The tag of a kind word other than "literal", or nothing.
std::optional<std::size_t> statement_kind(std::string_view w) {
  std::size_t tag;
  switch (w.size()) {
    case 3:
      if (w == "map") return 1;
      return std::nullopt;
    case 4:
      switch (w[0]) {
        case 'v': tag = 0; break;
        case 'f': tag = 2; break;
        case 't': tag = 3; break;
        case 'r': tag = 4; break;
        case 'i': tag = 8; break;
        case 'c': tag = 10; break;
        case 'l': tag = 11; break;
        default: return std::nullopt;
      }
      break;
    case 5:
      switch (w[0]) {
        case 'w': tag = 5; break;
        case 'c': tag = 12; break;
        default: return std::nullopt;
      }
      break;
    case 6: tag = 9; break;
    case 8: tag = 6; break;
    default: return std::nullopt;
  }
  if (w != kKindWords[tag]) return std::nullopt;
  return tag;
}

// ---------------------------------------------------------------------------
// Files.

const char* error_kind_name(int code) {
  switch (code) {
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ENOENT: return "NotFound";
    case EINTR: return "Interrupted";
    case E2BIG: return "ArgumentListTooLong";
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EBUSY: return "ResourceBusy";
    case EEXIST: return "AlreadyExists";
    case EXDEV: return "CrossesDevices";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case EINVAL: return "InvalidInput";
    case ETXTBSY: return "ExecutableFileBusy";
    case EFBIG: return "FileTooLarge";
    case ENOSPC: return "StorageFull";
    case ESPIPE: return "NotSeekable";
    case EROFS: return "ReadOnlyFilesystem";
    case EMLINK: return "TooManyLinks";
    case EPIPE: return "BrokenPipe";
    case EDEADLK: return "Deadlock";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENOSYS: return "Unsupported";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case ELOOP: return "FilesystemLoop";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNRESET: return "ConnectionReset";
    case ENOTCONN: return "NotConnected";
    case ETIMEDOUT: return "TimedOut";
    case ECONNREFUSED: return "ConnectionRefused";
    case EHOSTUNREACH: return "HostUnreachable";
    case ESTALE: return "StaleNetworkFileHandle";
    case EDQUOT: return "FilesystemQuotaExceeded";
    default: return "Uncategorized";
  }
}

// strerror_r comes in two flavours; take the text from either.
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* result, const char*) { return result; }

[[noreturn]] void fail_os(int code) {
  char buffer[256];
  buffer[0] = '\0';
  const char* text = error_text(strerror_r(code, buffer, sizeof buffer), buffer);
  std::string m = "Os { code: ";
  m += std::to_string(code);
  m += ", kind: ";
  m += error_kind_name(code);
  m += ", message: ";
  append_quoted(m, text);
  m += " }";
  fail_unwrap(m);
}

struct FileCloser {
  int fd;
  ~FileCloser() { ::close(fd); }
};

}  // namespace

FileText read_file_text(const std::string& path) {
  FileText file;
  // The system call would stop at the first NUL and open another file.
  if (path.find('\0') != std::string::npos) {
    file.problem = FileText::Problem::NulInPath;
    return file;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    file.problem = FileText::Problem::Os;
    file.os_error = errno;
    return file;
  }
  FileCloser closer{fd};

  std::size_t capacity = 0;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) capacity = static_cast<std::size_t>(st.st_size);
  // One byte beyond the reported size, so that the end is seen in the same
  // buffer when the size was right.
  std::string& text = file.text;
  text.resize(capacity + 1);
  std::size_t length = 0;
  for (;;) {
    if (length == text.size()) text.resize(text.size() < 4096 ? 8192 : text.size() * 2);
    const ssize_t got = ::read(fd, text.data() + length, text.size() - length);
    if (got < 0) {
      if (errno == EINTR) continue;
      file.problem = FileText::Problem::Os;
      file.os_error = errno;
      text.clear();
      return file;
    }
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  text.resize(length);
  if (!valid_utf8(text)) {
    file.problem = FileText::Problem::NotUtf8;
    text.clear();
  }
  return file;
}

namespace {

std::string read_source_file(const std::string& path) {
  FileText file = read_file_text(path);
  switch (file.problem) {
    case FileText::Problem::None: break;
    case FileText::Problem::NulInPath:
      fail_unwrap(
          R"(Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" })");
    case FileText::Problem::Os: fail_os(file.os_error);
    case FileText::Problem::NotUtf8:
      fail_unwrap(R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })");
  }
  return std::move(file.text);
}

}  // namespace

// ---------------------------------------------------------------------------
// Cursor.

void Parser::advance_past_comments() {
  const char* s = source_.data();
  std::size_t i = offset_;
  const std::size_t start = cut_token(s, source_.size(), i);
  offset_ = i;
  const std::size_t length = i - start;
  if (start == kNoToken || (s[start] == '/' && length >= 2 && s[start + 1] == '/')) {
    pass_comments(start);
    return;
  }
  next_ = std::string_view(s + start, length);
  next_char_ = length == 1 ? byte_at(s, start) : 0;
  has_next_ = true;
  ready_ = true;
}

// The rarer part of `advance_past_comments`: from the token just cut at
// `start` (ending at `offset_`), sets comment tokens aside until another token
// or the end of the text is reached.
void Parser::pass_comments(std::size_t start) {
  const char* s = source_.data();
  for (;;) {
    if (start == kNoToken) {
      next_char_ = 0;
      has_next_ = false;
      ready_ = true;
      return;
    }
    const std::size_t length = offset_ - start;
    if (!(s[start] == '/' && length >= 2 && s[start + 1] == '/')) {
      next_ = std::string_view(s + start, length);
      next_char_ = length == 1 ? byte_at(s, start) : 0;
      has_next_ = true;
      ready_ = true;
      return;
    }
    pending_comments.emplace_back(s + start, length);
    ++pos;
    std::size_t i = offset_;
    start = cut_token(s, source_.size(), i);
    offset_ = i;
  }
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

std::vector<std::string_view> tokenize(std::string_view source) {
  std::vector<std::string_view> tokens;
  tokens.reserve(source.size() / 4 + 4);
  std::size_t i = 0;
  for (;;) {
    const std::size_t start = cut_token(source.data(), source.size(), i);
    if (start == kNoToken) break;
    tokens.push_back(source.substr(start, i - start));
  }
  return tokens;
}

// ---------------------------------------------------------------------------
// Values.

TensorType parse_tensor_type(Parser& p) {
  TensorType ty;
  read_tensor_type(p, ty);
  return ty;
}

ArgList parse_arg_list(Parser& p, std::string_view open, std::string_view close) {
  ArgList out;
  if (open.size() != 1 || close.size() != 1) fail("argument lists are delimited by one character");
  read_arg_items(
      p, open[0], close[0], [&](const AtomRef& a) { out.positional.push_back(to_atom(a)); },
      [&](std::string_view name, const AtomRef& a) { out.named.insert(std::string(name), to_atom(a)); });
  return out;
}

Atom parse_atom(std::string_view token) { return to_atom(atom_ref(token)); }

LiteralValue parse_literal_list(Parser& p) { return literal_list(p, 1); }

LiteralValue parse_literal_scalar(Parser& p) {
  const std::string_view t = p.next_token();
  if (t == "inf") return LiteralValue::real(std::numeric_limits<double>::infinity());
  if (t == "-") {
    const std::string_view u = p.next_token();
    if (u != "inf") fail(quoted_message("Expected 'inf' after '-', got ", u));
    return LiteralValue::real(-std::numeric_limits<double>::infinity());
  }
  const AtomRef a = atom_ref(t);
  if (a.tag == AtomRef::kInt) return LiteralValue::integer(a.i);
  if (a.tag == AtomRef::kFloat) return LiteralValue::real(a.f);
  fail(quoted_message("Expected literal value, got name ", a.s));
}

// ---------------------------------------------------------------------------
// Grammar.

namespace {

// One statement, read into `op` (a default-constructed Op).
void read_op(Parser& p, Op& op) {
  if (!p.pending_comments.empty()) op.comments = p.take_comments();
  if (p.peek_is('(')) {
    p.next_token();
    list_loop(p, ')', [&] { op.outputs.emplace_back(p.next_token()); });
    p.expect_token(')');
    p.expect_token(':');
    p.expect_token('(');
    list_loop(p, ')', [&] { read_tensor_type(p, *op.output_types.emplace_back(empty_type())); });
    p.expect_token(')');
  } else {
    for (;;) {
      op.outputs.emplace_back(p.next_token());
      std::optional<TensorType>& ty = op.output_types.emplace_back();
      if (p.peek_is(':')) {
        p.next_token();
        ty.emplace(empty_type());
        if (p.peek_is('*')) {
          p.next_token();
          ty->dtype = "*";
        } else {
          read_tensor_type(p, *ty);
        }
      }
      if (!p.peek_is(',')) break;
      p.next_token();
    }
  }
  p.expect_token('=');
  const std::string_view word = p.next_token();
  if (word == "literal") {
    p.expect_token('(');
    LiteralValue value = p.peek_is('[') ? parse_literal_list(p) : parse_literal_scalar(p);
    p.expect_token(')');
    op.kind.emplace<Literal>(Literal{std::move(value)});
    return;
  }

  // The word is judged only after both lists were read.
  const std::optional<std::size_t> tag = statement_kind(word);
  const bool keeps_axes = tag && (*tag == 0 || *tag == 3);
  Groups groups;
  if (p.peek_is('['))
    read_arg_items(
        p, '[', ']', [&](const AtomRef& a) { groups.add(a); },
        [](std::string_view, const AtomRef&) {});  // axes never come from here
  OrderedMap<AtomRef> named;
  if (p.peek_is('('))
    read_arg_items(
        p, '(', ')', [&](const AtomRef& a) { set_atom(op.args.emplace_back(), a); },
        [&](std::string_view name, const AtomRef& a) {
          if (keeps_axes) named.insert(std::string(name), a);
        });
  if (!tag) fail(quoted_message("Unknown op: ", word));

  Axes axes;
  for (const auto& [name, value] : named) {
    if (value.tag == AtomRef::kInt)
      axes.insert(name, value.i);
    else if (value.tag == AtomRef::kFloat)
      axes.insert(name, saturating_i64(value.f));
  }
  set_kind(op.kind, *tag, groups, std::move(axes));
}

}  // namespace

Op parse_op(Parser& p) {
  Op op;
  read_op(p, op);
  return op;
}

Function parse_function(Parser& p) {
  p.skip_comments();
  Function f;
  f.name = p.next_token();
  p.expect_token('(');
  list_loop(p, ')', [&] { read_param(p, f.params.emplace_back()); });
  p.expect_token(')');
  p.expect_token("->");
  p.expect_token('(');
  list_loop(p, ')', [&] { read_param(p, f.returns.emplace_back()); });
  p.expect_token(')');
  p.expect_token('{');
  p.skip_comments();
  f.comments = p.take_comments();
  // Bodies of one module tend to be alike in length: reserve what the last
  // one needed (within reason), and give back the room when the guess was
  // far too large.
  f.ops.reserve(std::min<std::size_t>(p.ops_hint, 4096));
  while (!p.peek_is('}')) read_op(p, f.ops.emplace_back());
  p.expect_token('}');
  if (f.ops.capacity() > 2 * f.ops.size() + 8) f.ops.shrink_to_fit();
  p.ops_hint = f.ops.size();
  return f;
}

Module parse_source(std::string_view source) {
  Parser p(source);
  Module m;
  p.skip_comments();
  m.header_comments = p.take_comments();
  while (!p.at_end()) {
    std::vector<std::string> lead = p.take_comments();
    Function f = parse_function(p);
    if (!lead.empty()) {
      lead.insert(lead.end(), std::make_move_iterator(f.comments.begin()),
                  std::make_move_iterator(f.comments.end()));
      f.comments = std::move(lead);
    }
    std::string key = f.name;
    m.functions.insert(std::move(key), std::move(f));
  }
  return m;
}

Module parse_file(const std::string& path) {
  const std::string text = read_source_file(path);
  return parse_source(text);
}

// ---------------------------------------------------------------------------
// UTF-8.

bool valid_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    const unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;       // no overlong forms
      else if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;       // no overlong forms
      else if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

}  // namespace quarvel
