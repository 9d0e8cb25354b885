#include "core/parse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>

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
    while (i < n && is_digit(s[i])) {
      if (!nonzero && s[i] != '0') {
        nonzero = true;
        lead = static_cast<std::int64_t>(int_digits);
      }
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
    const auto r = std::from_chars(s.data(), s.data() + n, v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
      v = lead + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (r.ec != std::errc() || r.ptr != s.data() + n) {
      return false;
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

// Cuts the token that starts at or after `i`, leaving `i` after it; false
// when only skipped bytes remain.
[[gnu::always_inline]] inline bool cut_token(const char* s, std::size_t n, std::size_t& i,
                                            std::string_view& token) {
  while (i < n) {
    while (s[i] == ' ' || s[i] == '\n') {  // the commonest bytes
      if (++i == n) return false;
    }
    const std::size_t start = i;
    switch (kTables.cls[static_cast<unsigned char>(s[i])]) {
      case kSkip:
        ++i;
        continue;
      case kQuote:
        ++i;
        while (i < n) {
          const char c = s[i];
          if (c == '"') {
            ++i;
            break;
          }
          i += c == '\\' ? 2 : 1;
        }
        if (i > n) i = n;  // a final backslash ends the unclosed string
        break;
      case kSlash:
        if (i + 1 < n && s[i + 1] == '/') {
          const void* nl = std::memchr(s + i + 2, '\n', n - i - 2);
          i = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - s) : n;
        } else {
          ++i;
        }
        break;
      case kMinus:
        if (i + 1 < n && s[i + 1] == '>')
          i += 2;
        else if (i + 1 < n && is_digit(s[i + 1]))
          i = scan_number(s, i + 1, n);
        else
          ++i;
        break;
      case kDot:
        if (i + 2 < n && s[i + 1] == '.' && s[i + 2] == '.') {
          i += 3;
          break;
        }
        ++i;
        continue;
      case kDigit:
        i = scan_number(s, i, n);
        break;
      case kNameStart:
        ++i;
        while (i < n && kTables.name_char[static_cast<unsigned char>(s[i])]) ++i;
        if (i < n && s[i] == '*' && s[i - 1] == '.') ++i;
        break;
      case kPunct:
        ++i;
        break;
    }
    token = std::string_view(s + start, i - start);
    return true;
  }
  return false;
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

// A few items in place, the rest on the heap.
template <class T, std::size_t N>
class SmallVec {
 public:
  void push_back(const T& v) {
    if (size_ < N)
      inline_[size_] = v;
    else
      more_.push_back(v);
    ++size_;
  }
  std::size_t size() const { return size_; }
  const T& operator[](std::size_t k) const { return k < N ? inline_[k] : more_[k - N]; }

 private:
  T inline_[N];
  std::vector<T> more_;
  std::size_t size_ = 0;
};

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

struct DimRef {
  bool concrete;
  std::int64_t value;
  std::string_view name;
};

DimRef read_dim(std::string_view t) {
  if (is_digit(t[0]) || (t[0] == '-' && t.size() > 1 && is_digit(t[1]))) {
    std::int64_t v = 0;
    const IntError e = read_i64(t, v);
    if (e != IntError::kNone) fail_int(e);
    return {true, v, {}};
  }
  return {false, 0, t};
}

TensorType wildcard() {
  TensorType ty;
  ty.dtype = "*";
  return ty;
}

Param read_param(Parser& p) {
  Param param;
  param.name = p.next_token();
  p.expect_token(':');
  if (p.peek_is('*')) {
    p.next_token();
    param.ty = wildcard();
  } else {
    param.ty = parse_tensor_type(p);
  }
  return param;
}

LiteralValue literal_list(Parser& p, std::size_t depth) {
  if (depth > kMaxLiteralDepth) fail("literal nesting exceeds 256 levels");
  p.expect_token('[');
  std::vector<LiteralValue> items;
  list_loop(p, ']', [&] {
    if (p.peek_is('['))
      items.push_back(literal_list(p, depth + 1));
    else
      items.push_back(parse_literal_scalar(p));
  });
  p.expect_token(']');
  return LiteralValue::list(std::move(items));
}

// The working groups of a statement's square-bracket list.
struct Groups {
  std::string_view names[3];
  std::size_t name_count = 0;
  std::string_view pattern;
  std::optional<std::int64_t> first_int;
  double floats[2] = {0, 0};
  std::size_t float_count = 0;

  void add(const AtomRef& a) {
    switch (a.tag) {
      case AtomRef::kInt:
        if (!first_int) first_int = a.i;
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
  std::string name(std::size_t k) const {
    return k < name_count ? std::string(names[k]) : std::string();
  }
};

// Builds the kind of a statement from its tag and its square-bracket list.
OpKind build_kind(std::size_t tag, const Groups& g, Axes&& axes) {
  auto pattern = [&] { return std::string(g.pattern); };
  switch (tag) {
    case 0: return View{pattern(), std::move(axes)};
    case 1: return Map{g.name(0)};
    case 2:
      if (g.name_count == 0 || g.names[0].empty())
        fail("fold requires a reduction: fold[pattern, reduction]");
      return Fold{pattern(), g.name(0)};
    case 3: return Tile{pattern(), std::move(axes)};
    case 4: return Read{pattern()};
    case 5:
      if (g.name_count == 0 || g.names[0].empty())
        fail("write requires a reduction: write[pattern, reduction]");
      return Write{pattern(), g.name(0)};
    case 6: return Contract{pattern()};
    case 8: return Iota{};
    case 9:
      if (g.float_count < 2) fail("random requires two bounds: random[lo, hi]");
      return Random{g.floats[0], g.floats[1]};
    case 10: return Call{g.name(0)};
    case 11:
      if (g.name_count >= 2) return Loop{g.name(0), LoopCount::named(g.name(1))};
      if (!g.first_int) fail("loop requires explicit count: loop[fn, count]");
      // The integer's two's-complement pattern read as unsigned.
      return Loop{g.name(0), LoopCount::concrete(static_cast<std::uint64_t>(*g.first_int))};
    case 12: {
      if (g.name_count == 0)
        fail("cache requires var name: cache[var, init] or cache[var, init, extend]");
      if (g.name_count == 1)
        fail("cache requires init function: cache[var, init] or cache[var, init, extend]");
      Cache c;
      c.var = g.name(0);
      c.init = g.name(1);
      if (g.name_count >= 3) c.extend = g.name(2);
      return c;
    }
    default: break;
  }
  fail("unexpected kind tag");  // "literal" is read before the lists
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

std::string read_text_file(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    fail_unwrap(
        R"(Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" })");
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) fail_os(errno);
  FileCloser closer{fd};

  std::size_t capacity = 0;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) capacity = static_cast<std::size_t>(st.st_size);
  // One byte beyond the reported size, so that the end is seen in the same
  // buffer when the size was right.
  std::string text;
  text.resize(capacity + 1);
  std::size_t length = 0;
  for (;;) {
    if (length == text.size()) text.resize(text.size() < 4096 ? 8192 : text.size() * 2);
    const ssize_t got = ::read(fd, text.data() + length, text.size() - length);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail_os(errno);
    }
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  text.resize(length);
  if (!valid_utf8(text))
    fail_unwrap(R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })");
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Cursor.

void Parser::advance_past_comments() {
  for (;;) {
    if (has_next_) {
      if (!is_comment(next_)) return;
      pending_comments.emplace_back(next_);
      ++pos;
      has_next_ = false;
    }
    if (!cut_token(source_.data(), source_.size(), offset_, next_)) return;
    has_next_ = true;
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
  std::string_view t;
  while (cut_token(source.data(), source.size(), i, t)) tokens.push_back(t);
  return tokens;
}

// ---------------------------------------------------------------------------
// Values.

TensorType parse_tensor_type(Parser& p) {
  p.skip_comments();
  TensorType ty;
  ty.dtype = p.next_token();
  p.expect_token('[');
  SmallVec<DimRef, 8> dims;
  list_loop(p, ']', [&] { dims.push_back(read_dim(p.next_token())); });
  p.expect_token(']');
  ty.shape.reserve(dims.size());
  for (std::size_t k = 0; k < dims.size(); ++k) {
    const DimRef& d = dims[k];
    ty.shape.push_back(d.concrete ? Dim::concrete(d.value) : Dim::named(std::string(d.name)));
  }
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
  op.comments = p.take_comments();
  if (p.peek_is('(')) {
    p.next_token();
    list_loop(p, ')', [&] { op.outputs.emplace_back(p.next_token()); });
    p.expect_token(')');
    p.expect_token(':');
    p.expect_token('(');
    list_loop(p, ')', [&] { op.output_types.emplace_back(parse_tensor_type(p)); });
    p.expect_token(')');
  } else {
    for (;;) {
      std::string name(p.next_token());
      if (p.peek_is(':')) {
        p.next_token();
        if (p.peek_is('*')) {
          p.next_token();
          op.output_types.emplace_back(wildcard());
        } else {
          op.output_types.emplace_back(parse_tensor_type(p));
        }
      } else {
        op.output_types.emplace_back(std::nullopt);
      }
      op.outputs.push_back(std::move(name));
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
    op.kind = Literal{std::move(value)};
    return;
  }

  // The word is judged only after both lists were read.
  const std::optional<std::size_t> tag = kind_tag(word);
  const bool keeps_axes = tag && (*tag == 0 || *tag == 3);
  Groups groups;
  if (p.peek_is('['))
    read_arg_items(
        p, '[', ']', [&](const AtomRef& a) { groups.add(a); },
        [](std::string_view, const AtomRef&) {});  // axes never come from here
  SmallVec<AtomRef, 8> args;
  OrderedMap<AtomRef> named;
  if (p.peek_is('('))
    read_arg_items(
        p, '(', ')', [&](const AtomRef& a) { args.push_back(a); },
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
  op.kind = build_kind(*tag, groups, std::move(axes));
  op.args.reserve(args.size());
  for (std::size_t k = 0; k < args.size(); ++k) op.args.push_back(to_atom(args[k]));
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
  list_loop(p, ')', [&] { f.params.push_back(read_param(p)); });
  p.expect_token(')');
  p.expect_token("->");
  p.expect_token('(');
  list_loop(p, ')', [&] { f.returns.push_back(read_param(p)); });
  p.expect_token(')');
  p.expect_token('{');
  p.skip_comments();
  f.comments = p.take_comments();
  p.op_buffer.clear();
  while (!p.peek_is('}')) read_op(p, p.op_buffer.emplace_back());
  p.expect_token('}');
  f.ops.reserve(p.op_buffer.size());
  std::move(p.op_buffer.begin(), p.op_buffer.end(), std::back_inserter(f.ops));
  p.op_buffer.clear();
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
  const std::string text = read_text_file(path);
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
