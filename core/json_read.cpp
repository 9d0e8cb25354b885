#include "core/json_read.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/json_text.h"
#include "core/numtext.h"

namespace quarvel {

namespace {

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Bytes that end a run of plain string content: the closing quote, the
// backslash, control bytes, and the first byte of a non-ASCII character
// (checked for well-formed UTF-8). A skipped string is checked for syntax
// only, so there non-ASCII bytes are plain content.
constexpr auto& kSkipStops = kJsonStringStops<false>;

constexpr std::string_view kControlInString =
    "control character (\\u0000-\\u001F) found while parsing a string";

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at p (p[0] >= 0x80), or 0.
std::size_t utf8_sequence_length(const unsigned char* p, std::size_t available) {
  const unsigned char c = p[0];
  if (c < 0xC2) return 0;
  if (c < 0xE0) return available >= 2 && is_continuation(p[1]) ? 2 : 0;
  if (c < 0xF0) {
    if (available < 3) return 0;
    const unsigned char c1 = p[1];
    const bool ok = c == 0xE0   ? (c1 >= 0xA0 && c1 <= 0xBF)
                    : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F)
                                : is_continuation(c1);
    return ok && is_continuation(p[2]) ? 3 : 0;
  }
  if (c < 0xF5) {
    if (available < 4) return 0;
    const unsigned char c1 = p[1];
    const bool ok = c == 0xF0   ? (c1 >= 0x90 && c1 <= 0xBF)
                    : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F)
                                : is_continuation(c1);
    return ok && is_continuation(p[2]) && is_continuation(p[3]) ? 4 : 0;
  }
  return 0;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)),
                       static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The decimal exponent of the first significant digit of a number text whose
// value is not zero; used only to tell overflow from underflow.
std::int64_t decimal_magnitude(std::string_view number) {
  std::size_t p = 0;
  if (p < number.size() && number[p] == '-') ++p;
  std::int64_t integer_digits = 0;
  std::int64_t index = 0;
  std::int64_t first_significant = -1;
  for (; p < number.size() && is_digit(number[p]); ++p, ++index, ++integer_digits)
    if (first_significant < 0 && number[p] != '0') first_significant = index;
  if (p < number.size() && number[p] == '.')
    for (++p; p < number.size() && is_digit(number[p]); ++p, ++index)
      if (first_significant < 0 && number[p] != '0') first_significant = index;
  std::int64_t exponent = 0;
  if (p < number.size()) {  // 'e' or 'E'
    ++p;
    bool negative = false;
    if (p < number.size() && (number[p] == '+' || number[p] == '-')) negative = number[p++] == '-';
    for (; p < number.size(); ++p)
      if (exponent < 1000000000000) exponent = exponent * 10 + (number[p] - '0');
    if (negative) exponent = -exponent;
  }
  if (first_significant < 0) return std::numeric_limits<std::int64_t>::min();
  return integer_digits - 1 - first_significant + exponent;
}

std::string number_description(const JsonNumber& n) {
  std::string out;
  switch (n.cls) {
    case JsonNumber::Class::Unsigned:
      out = "integer `";
      append_uint(out, n.u);
      break;
    case JsonNumber::Class::Negative:
      out = "integer `";
      append_int(out, n.i);
      break;
    case JsonNumber::Class::Float:
      out = "floating point `";
      append_json_float(out, n.f);
      break;
  }
  out += '`';
  return out;
}

}  // namespace

// ---- the JSON layer ---------------------------------------------------------

int JsonReader::peek_after_whitespace() {
  const char* s = text_.data();
  const std::size_t n = text_.size();
  std::size_t p = pos_;
  while (p < n) {
    const auto c = static_cast<unsigned char>(s[p]);
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
      pos_ = p;
      return c;
    }
    ++p;
  }
  pos_ = p;
  return -1;
}

void JsonReader::finish() {
  if (peek() >= 0) fail_at_next("trailing characters");
}

void JsonReader::fail_at(std::size_t index, std::string_view description) const {
  if (index > text_.size()) index = text_.size();
  std::uint64_t line = 1;
  std::size_t line_start = 0;
  const char* s = text_.data();
  for (std::size_t k = 0; k < index; ++k) {
    if (s[k] == '\n') {
      ++line;
      line_start = k + 1;
    }
  }
  std::string form = "Error(";
  append_quoted(form, description);
  form += ", line: ";
  append_uint(form, line);
  form += ", column: ";
  append_uint(form, index - line_start);
  form += ')';
  fail_unwrap(form);
}

void JsonReader::fail_at_next(std::string_view description) const {
  fail_at(pos_ + 1, description);
}

void JsonReader::fail_here(std::string_view description) const { fail_at(pos_, description); }

std::string JsonReader::found_value_description() {
  const int c = peek();
  switch (c) {
    case 'n':
      ++pos_;
      read_word_rest("ull");
      return "null";
    case 't':
      ++pos_;
      read_word_rest("rue");
      return "boolean `true`";
    case 'f':
      ++pos_;
      read_word_rest("alse");
      return "boolean `false`";
    case '"': {
      ++pos_;
      const std::string_view content = string_body(scratch_);
      std::string out = "string ";
      append_quoted(out, content);
      return out;
    }
    case '[':
      return "sequence";
    case '{':
      return "map";
    case -1:
      fail_at_next("EOF while parsing a value");
    default:
      if (c == '-' || is_digit(c)) return number_description(read_number());
      fail_at_next("expected value");
  }
}

void JsonReader::fail_invalid_type(std::string_view expected) {
  std::string description = "invalid type: ";
  description += found_value_description();
  description += ", expected ";
  description += expected;
  fail_here(description);
}

void JsonReader::fail_colon() const {
  if (pos_ >= text_.size()) fail_at_next("EOF while parsing an object");
  fail_at_next("expected `:`");
}

void JsonReader::fail_after_comma(int c, char close) const {
  if (c == close) fail_at_next("trailing comma");
  if (c < 0) fail_at_next("EOF while parsing a value");
  fail_at_next("key must be a string");
}

void JsonReader::end_record_array() {
  int c = peek();
  if (c == ']') {
    ++pos_;
    return;
  }
  if (c == ',') {
    ++pos_;
    c = peek();
    if (c == ']') fail_at_next("trailing comma");
    fail_at_next("trailing characters");
  }
  if (c < 0) fail_at_next("EOF while parsing a list");
  fail_at_next("trailing characters");
}

void JsonReader::list_closing_step() {
  const int c = peek();
  if (c == ']') {
    ++pos_;
  } else if (c == ',') {
    ++pos_;
    peek();
  }
}

void JsonReader::object_closing_step() {
  if (peek() == '}') ++pos_;
}

void JsonReader::read_word_rest(std::string_view rest) {
  for (const char expected : rest) {
    if (pos_ == text_.size()) fail_here("EOF while parsing a value");
    if (text_[pos_++] != expected) fail_here("expected ident");
  }
}

// ---- strings ----------------------------------------------------------------

std::uint32_t JsonReader::read_hex4() {
  if (text_.size() - pos_ < 4) {
    pos_ = text_.size();
    fail_here("EOF while parsing a string");
  }
  std::uint32_t value = 0;
  bool ok = true;
  for (int k = 0; k < 4; ++k) {
    const int h = hex_value(text_[pos_ + k]);
    ok = ok && h >= 0;
    value = value * 16 + static_cast<std::uint32_t>(h & 0xF);
  }
  pos_ += 4;
  if (!ok) fail_here("invalid escape");
  return value;
}

void JsonReader::read_escape(std::string& out) {
  const std::size_t n = text_.size();
  if (pos_ == n) fail_here("EOF while parsing a string");
  switch (text_[pos_++]) {
    case '"': out += '"'; return;
    case '\\': out += '\\'; return;
    case '/': out += '/'; return;
    case 'b': out += '\b'; return;
    case 'f': out += '\f'; return;
    case 'n': out += '\n'; return;
    case 'r': out += '\r'; return;
    case 't': out += '\t'; return;
    case 'u': break;
    default: fail_here("invalid escape");
  }
  const std::uint32_t lead = read_hex4();
  if (lead >= 0xDC00 && lead <= 0xDFFF) fail_here("lone leading surrogate in hex escape");
  if (lead < 0xD800 || lead > 0xDBFF) {
    append_utf8(out, lead);
    return;
  }
  // A leading surrogate must be followed by the escape of a trailing one.
  for (const char expected : {'\\', 'u'}) {
    if (pos_ == n) fail_here("EOF while parsing a string");
    if (text_[pos_++] != expected) fail_here("unexpected end of hex escape");
  }
  const std::uint32_t trail = read_hex4();
  if (trail < 0xDC00 || trail > 0xDFFF) fail_here("lone leading surrogate in hex escape");
  append_utf8(out, (((lead - 0xD800) << 10) | (trail - 0xDC00)) + 0x10000);
}

std::string_view JsonReader::string_body_slow(std::string& scratch) {
  const auto* s = reinterpret_cast<const unsigned char*>(text_.data());
  const std::size_t n = text_.size();
  std::size_t p = pos_;
  std::size_t start = p;
  bool escaped = false;
  bool malformed = false;
  for (;;) {
    p = json_plain_end<true>(s, p, n);
    if (p == n) fail_at(n, "EOF while parsing a string");
    const unsigned char c = s[p];
    if (c == '"') {
      pos_ = p + 1;
      // Content that is not UTF-8 is refused once the string has been read.
      if (malformed) fail_here("invalid unicode code point");
      const char* run = text_.data() + start;
      if (!escaped) return {run, p - start};
      scratch.append(run, p - start);
      return scratch;
    }
    if (c == '\\') {
      if (!escaped) {
        scratch.clear();
        escaped = true;
      }
      scratch.append(text_.data() + start, p - start);
      pos_ = p + 1;
      read_escape(scratch);
      p = start = pos_;
      continue;
    }
    if (c < 0x20) fail_at(p + 1, kControlInString);
    const std::size_t length = utf8_sequence_length(s + p, n - p);
    if (length == 0) {
      malformed = true;
      ++p;
    } else {
      p += length;
    }
  }
}

// Syntax only: escapes are checked for form, the content is not looked at.
void JsonReader::skip_string_body() {
  const auto* s = reinterpret_cast<const unsigned char*>(text_.data());
  const std::size_t n = text_.size();
  std::size_t p = pos_;
  for (;;) {
    while (p < n && !kSkipStops[s[p]]) ++p;
    if (p == n) fail_at(n, "EOF while parsing a string");
    const unsigned char c = s[p];
    if (c == '"') {
      pos_ = p + 1;
      return;
    }
    if (c != '\\') fail_at(p + 1, kControlInString);
    pos_ = p + 1;
    if (pos_ == n) fail_here("EOF while parsing a string");
    switch (text_[pos_++]) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
      case 'u': read_hex4(); break;
      default: fail_here("invalid escape");
    }
    p = pos_;
  }
}

// ---- numbers ----------------------------------------------------------------

void JsonReader::scan_number(bool& integral, bool& negative, std::uint64_t& magnitude) {
  const char* s = text_.data();
  const std::size_t n = text_.size();
  negative = s[pos_] == '-';
  if (negative) ++pos_;
  if (pos_ == n) fail_here("EOF while parsing a value");
  std::uint64_t m = 0;
  bool overflow = false;
  const char c = s[pos_];
  if (c == '0') {
    ++pos_;
    if (pos_ < n && is_digit(s[pos_])) fail_at_next("invalid number");
  } else if (c >= '1' && c <= '9') {
    m = static_cast<std::uint64_t>(c - '0');
    for (++pos_; pos_ < n && is_digit(s[pos_]); ++pos_) {
      const auto d = static_cast<std::uint64_t>(s[pos_] - '0');
      if (m > (std::numeric_limits<std::uint64_t>::max() - d) / 10)
        overflow = true;
      else if (!overflow)
        m = m * 10 + d;
    }
  } else {
    ++pos_;
    fail_here("invalid number");
  }
  integral = !overflow;
  if (pos_ < n && s[pos_] == '.') {
    ++pos_;
    if (pos_ == n) fail_at_next("EOF while parsing a value");
    if (!is_digit(s[pos_])) fail_at_next("invalid number");
    while (pos_ < n && is_digit(s[pos_])) ++pos_;
    integral = false;
  }
  if (pos_ < n && (s[pos_] == 'e' || s[pos_] == 'E')) {
    ++pos_;
    if (pos_ < n && (s[pos_] == '+' || s[pos_] == '-')) ++pos_;
    if (pos_ == n) fail_here("EOF while parsing a value");
    if (!is_digit(s[pos_++])) fail_here("invalid number");
    while (pos_ < n && is_digit(s[pos_])) ++pos_;
    integral = false;
  }
  magnitude = m;
}

JsonNumber JsonReader::read_number() {
  const std::size_t start = pos_;
  bool integral = false;
  bool negative = false;
  std::uint64_t magnitude = 0;
  scan_number(integral, negative, magnitude);
  JsonNumber number;
  if (integral) {
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (!negative) {
      number.cls = JsonNumber::Class::Unsigned;
      number.u = magnitude;
    } else if (magnitude == 0) {
      number.cls = JsonNumber::Class::Float;
      number.f = -0.0;
    } else if (magnitude <= kMinMagnitude) {
      number.cls = JsonNumber::Class::Negative;
      number.i = magnitude == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                            : -static_cast<std::int64_t>(magnitude);
    } else {
      number.cls = JsonNumber::Class::Float;
      number.f = -static_cast<double>(magnitude);
    }
    return number;
  }
  const char* first = text_.data() + start;
  const char* last = text_.data() + pos_;
  double value = 0;
  const auto result = std::from_chars(first, last, value);
  if (result.ec == std::errc::result_out_of_range) {
    if (decimal_magnitude({first, static_cast<std::size_t>(last - first)}) >= 0)
      fail_here("number out of range");
    value = negative ? -0.0 : 0.0;
  }
  number.cls = JsonNumber::Class::Float;
  number.f = value;
  return number;
}

// ---- whole values -----------------------------------------------------------

JsonKind JsonReader::check_value() {
  const int c = peek();
  switch (c) {
    case 'n':
      ++pos_;
      read_word_rest("ull");
      return JsonKind::Null;
    case 't':
    case 'f':
      ++pos_;
      read_word_rest(c == 't' ? "rue" : "alse");
      return JsonKind::Bool;
    case '"':
      ++pos_;
      string_body(scratch_);
      return JsonKind::String;
    case '[':
      read_array({}, [&] { check_value(); });
      return JsonKind::Array;
    case '{':
      read_map({}, [&](std::string_view) { check_value(); });
      return JsonKind::Object;
    case -1:
      fail_at_next("EOF while parsing a value");
    default:
      if (c != '-' && !is_digit(c)) fail_at_next("expected value");
      read_number();
      return JsonKind::Number;
  }
}

void JsonReader::skip_value() {
  // The open containers, innermost last; the depth costs one byte each.
  std::string& open = skip_stack_;
  open.clear();
  for (;;) {
    const int c = peek();
    switch (c) {
      case 'n':
        ++pos_;
        read_word_rest("ull");
        break;
      case 't':
        ++pos_;
        read_word_rest("rue");
        break;
      case 'f':
        ++pos_;
        read_word_rest("alse");
        break;
      case '"':
        ++pos_;
        skip_string_body();
        break;
      case '[': {
        ++pos_;
        const int d = peek();
        if (d == ']') {
          ++pos_;
          break;
        }
        if (d < 0) fail_at_next("EOF while parsing a list");
        open.push_back('[');
        continue;
      }
      case '{': {
        ++pos_;
        const int d = peek();
        if (d == '}') {
          ++pos_;
          break;
        }
        if (d < 0) fail_at_next("EOF while parsing an object");
        if (d != '"') fail_at_next("key must be a string");
        ++pos_;
        skip_string_body();
        read_colon();
        open.push_back('{');
        continue;
      }
      case -1:
        fail_at_next("EOF while parsing a value");
      default: {
        if (c != '-' && !is_digit(c)) fail_at_next("expected value");
        bool integral = false;
        bool negative = false;
        std::uint64_t magnitude = 0;
        scan_number(integral, negative, magnitude);
        break;
      }
    }
    // A value is complete: close what it completes, up to the next value.
    for (;;) {
      if (open.empty()) return;
      const int d = peek();
      if (open.back() == '[') {
        if (d == ',') {
          ++pos_;
          if (peek() == ']') fail_at_next("trailing comma");
          break;
        }
        if (d == ']') {
          ++pos_;
          open.pop_back();
          continue;
        }
        if (d < 0) fail_at_next("EOF while parsing a list");
        fail_at_next("expected `,` or `]`");
      }
      if (d == ',') {
        ++pos_;
        const int e = peek();
        if (e == '}') fail_at_next("trailing comma");
        if (e < 0) fail_at_next("EOF while parsing a value");
        if (e != '"') fail_at_next("key must be a string");
        ++pos_;
        skip_string_body();
        read_colon();
        break;
      }
      if (d == '}') {
        ++pos_;
        open.pop_back();
        continue;
      }
      if (d < 0) fail_at_next("EOF while parsing an object");
      fail_at_next("expected `,` or `}`");
    }
  }
}

// ---- module records ---------------------------------------------------------

namespace {

// Names looked up by a table of 64 slots indexed by a hash of the name's
// length and first two bytes. The table is built at compile time; two names
// of one table in one slot do not compile.
constexpr std::size_t kSlots = 64;
constexpr std::size_t name_slot(std::string_view key) {
  return (key.size() + static_cast<unsigned char>(key[0]) +
          static_cast<unsigned char>(key[1]) * 11) % kSlots;
}

template <std::size_t N>
class NameTable {
 public:
  constexpr explicit NameTable(std::array<std::string_view, N> names) : names_(names) {
    slots_.fill(-1);
    for (std::size_t i = 0; i < N; ++i) {
      if (names[i].size() < 2) throw "names must have two bytes at least";
      std::int8_t& slot = slots_[name_slot(names[i])];
      if (slot >= 0) throw "names must have distinct slots";
      slot = static_cast<std::int8_t>(i);
    }
  }

  std::string_view operator[](std::size_t i) const { return names_[i]; }

  // The index of the name equal to `key` byte for byte, or -1.
  int find(std::string_view key) const {
    if (key.size() < 2) return -1;
    const int i = slots_[name_slot(key)];
    if (i < 0) return -1;
    const std::string_view name = names_[static_cast<std::size_t>(i)];
    if (name.size() != key.size()) return -1;
    // Names are short: a loop beats a call of memcmp.
    for (std::size_t k = 0; k < name.size(); ++k)
      if (name[k] != key[k]) return -1;
    return i;
  }

 private:
  std::array<std::string_view, N> names_;
  std::array<std::int8_t, kSlots> slots_{};
};

// How a record appears in JSON: its member names in field order (also the
// order of its array form), the required ones, and its texts in messages.
template <std::size_t N>
struct RecordForm {
  std::string_view expectation;
  std::string_view length_text;
  NameTable<N> names;
  std::uint32_t required;  // bit i: member i
};

enum ModuleMember { kHeaderComments, kFunctions };
constexpr RecordForm<2> kModuleForm{"struct Module", "struct Module with 2 elements",
                                    NameTable<2>({"header_comments", "functions"}), 0b10};

enum FunctionMember { kFunctionName, kFunctionComments, kParams, kReturns, kOps };
constexpr RecordForm<5> kFunctionForm{
    "struct Function", "struct Function with 5 elements",
    NameTable<5>({"name", "comments", "params", "returns", "ops"}), 0b11101};

enum ParamMember { kParamName, kParamType };
constexpr RecordForm<2> kParamForm{"struct Param", "struct Param with 2 elements",
                                   NameTable<2>({"name", "ty"}), 0b11};

enum TensorTypeMember { kDtype, kShape };
constexpr RecordForm<2> kTensorTypeForm{"struct TensorType", "struct TensorType with 2 elements",
                                        NameTable<2>({"dtype", "shape"}), 0b11};

// The flat op record: every member any kind uses.
enum OpMember {
  kKind, kPattern, kFunction, kReduction, kAxes, kValue, kLower, kUpper, kTarget,
  kCount, kVar, kInit, kExtend, kOutputs, kOutputTypes, kArgs, kComments,
};
constexpr RecordForm<17> kOpForm{
    "struct OpRaw",
    "struct OpRaw with 17 elements",
    NameTable<17>({"kind", "pattern", "function", "reduction", "axes", "value", "lower", "upper",
                   "target", "count", "var", "init", "extend", "outputs", "output_types", "args",
                   "comments"}),
    (1u << kKind) | (1u << kOutputs) | (1u << kOutputTypes) | (1u << kArgs)};

constexpr std::string_view kLiteralExpectation = "integer, float, \"inf\"/\"-inf\", or array";

// The "count" member as read; what it means is decided at conversion.
struct CountRaw {
  enum class Form : std::uint8_t { Absent, Unsigned, OtherNumber, Text };
  Form form = Form::Absent;
  std::uint64_t value = 0;
  Text text;
};

// Room for a member of the op record, left unset until the member is read.
template <class T>
union Slot {
  Slot() {}
  T value;
};

// The op record as read, before its kind word chooses the members it keeps.
// Texts and lists are in the module's context already. Only the members
// read are set (the record is wide and most ops use few of its members).
struct OpRaw {
  std::uint32_t present = 0;  // bit i: member i was read (a null counts as absent)
  Slot<Text> kind;  // a view of the input, or a copy when it holds escapes
  Slot<Text> pattern;
  Slot<Text> function;
  Slot<Text> reduction;
  Slot<Axes> axes;
  Slot<LiteralValue> value;
  Slot<double> lower;
  Slot<double> upper;
  Slot<Text> target;
  Slot<CountRaw> count;
  Slot<Text> var;
  Slot<Text> init;
  Slot<Text> extend;
  Slot<Outputs> outputs;
  Slot<OutputTypes> output_types;
  Slot<Args> args;
  Slot<Comments> comments;

  bool has(OpMember member) const { return (present >> member) & 1; }
  template <class T>
  void set(OpMember member, Slot<T>& slot, const T& value) {
    slot.value = value;
    present |= 1u << member;
  }
  // The member's value, or its default when it was not read.
  template <class T>
  T get(OpMember member, const Slot<T>& slot) const {
    return has(member) ? slot.value : T{};
  }
};

// Reads into `module`: every text and list goes into the module's context;
// lists are gathered in scratch vectors that keep their room from list to
// list (lists of one element type never nest, except literal lists, which
// have one per depth) and are copied into the context once complete.
class ModuleReader : public JsonReader {
 public:
  ModuleReader(std::string_view text, Module& module)
      : JsonReader(text), module_(module), ctx_(module.ctx()) {}

  void read_module() {
    read_record(kModuleForm, [&](int member) {
      if (member == kHeaderComments)
        module_.header_comments = read_string_list();
      else
        read_function_map();
    });
    finish();
  }

 private:
  // A record in object or array form; `read_member(i)` reads the value of
  // member i. Members not given keep the value they start with.
  template <std::size_t N, class ReadMember>
  void read_record(const RecordForm<N>& form, ReadMember&& read_member) {
    if (peek() == '[') {
      const std::size_t given = read_array(
          form.expectation, [&](std::size_t i) { read_member(static_cast<int>(i)); }, N);
      // The defaulted members come before required ones, so an early end
      // names the next required member.
      if (const std::uint32_t rest = form.required >> given << given) {
        std::string description = "invalid length ";
        append_int(description, std::countr_zero(rest));
        description += ", expected ";
        description += form.length_text;
        fail_here(description);
      }
      return;
    }
    std::uint32_t seen = 0;
    read_object(form.expectation, [&](std::string_view key) {
      const int member = form.names.find(key);
      if (member < 0) {
        read_colon();
        skip_value();
        return;
      }
      const std::uint32_t bit = 1u << member;
      if (seen & bit) {
        object_closing_step();
        fail_here(std::string("duplicate field `") +=
                  std::string(form.names[static_cast<std::size_t>(member)]) + "`");
      }
      seen |= bit;
      read_colon();
      read_member(member);
    });
    if (const std::uint32_t missing = form.required & ~seen)
      fail_here(std::string("missing field `") +=
                std::string(form.names[static_cast<std::size_t>(std::countr_zero(missing))]) + "`");
  }

  // A text that stays valid until the reading ends: the view of the input
  // when the string held no escape, else a copy in the context.
  Text stable(std::string_view content) {
    if (content.empty()) return {};
    const auto at = reinterpret_cast<std::uintptr_t>(content.data());
    const auto base = reinterpret_cast<std::uintptr_t>(input_.data());
    if (at - base < input_.size()) return content;
    return ctx_.text(content);
  }

  // The content of the string at the next byte (valid until the next string
  // is read).
  std::string_view string_value() {
    if (peek() != '"') fail_invalid_type("a string");
    skip_byte();
    return string_body(scratch_);
  }
  Text read_text() { return ctx_.text(string_value()); }

  // The word null, consumed; false (nothing consumed) for any other value.
  bool read_null() {
    if (peek() != 'n') return false;
    skip_byte();
    read_word_rest("ull");
    return true;
  }

  List<Text> read_string_list() {
    texts_.clear();
    read_array("a sequence", [&] { texts_.push_back(read_text()); });
    return ctx_.list(texts_);
  }

  void read_function_map() {
    read_map("a map", [&](std::string_view key) {
      const Text name = ctx_.text(key);
      Function function = read_function();
      module_.functions.insert(name, std::move(function));
    });
  }

  Function read_function() {
    Function f;
    read_record(kFunctionForm, [&](int member) {
      switch (static_cast<FunctionMember>(member)) {
        case kFunctionName: f.name = read_text(); break;
        case kFunctionComments: f.comments = read_string_list(); break;
        case kParams: f.params = read_params(); break;
        case kReturns: f.returns = read_params(); break;
        case kOps:
          ops_.clear();
          read_array("a sequence", [&] { ops_.push_back(read_op()); });
          f.ops.assign(ops_.begin(), ops_.end());
          break;
      }
    });
    return f;
  }

  List<Param> read_params() {
    params_.clear();
    read_array("a sequence", [&] {
      Param param;
      read_record(kParamForm, [&](int member) {
        if (member == kParamName)
          param.name = read_text();
        else
          param.ty = read_tensor_type();
      });
      params_.push_back(param);
    });
    return ctx_.list(params_);
  }

  // The type interned in the context: its texts are copied only when it is
  // new. Types repeat, so the text of a record read before is looked for
  // first: reading the same bytes gives the same type again (and no error,
  // as long as the budget has room for the record's two containers).
  TypeRef read_tensor_type() {
    peek();
    const std::size_t start = position();
    if (budget() > 2) {
      const std::string_view rest = input_.substr(start);
      for (const RecentType& recent : recent_types_) {
        if (recent.size != 0 && rest.size() >= recent.size &&
            std::memcmp(rest.data(), input_.data() + recent.start, recent.size) == 0) {
          advance(recent.size);
          return recent.type;
        }
      }
    }
    const TypeRef type = read_new_tensor_type();
    recent_types_[next_recent_type_++ % recent_types_.size()] = {start, position() - start, type};
    return type;
  }

  TypeRef read_new_tensor_type() {
    Text dtype;
    dims_.clear();
    read_record(kTensorTypeForm, [&](int member) {
      if (member == kDtype)
        dtype = stable(string_value());
      else
        read_array("a sequence", [&] { dims_.push_back(read_dim()); });
    });
    return ctx_.type(dtype, dims_);
  }

  // An untagged value that matched none of its forms, placed after the
  // closing step of the list that holds it.
  [[noreturn]] void fail_untagged(std::string_view what) {
    list_closing_step();
    fail_here(std::string("data did not match any variant of untagged enum ") += what);
  }

  // An integer in the signed 64-bit range, or a string.
  Dim read_dim() {
    const int c = peek();
    if (c == '"') {
      skip_byte();
      return Dim::named(stable(string_body(scratch_)));
    }
    if (c == '-' || is_digit(c)) {
      const JsonNumber n = read_number();
      if (n.is_i64()) return Dim::concrete(n.as_i64());
    } else {
      check_value();
    }
    fail_untagged("Dim");
  }

  // An integer in the signed 64-bit range, any other number, or a string.
  Atom read_atom() {
    const int c = peek();
    if (c == '"') {
      skip_byte();
      return Atom::str(ctx_.text(string_body(scratch_)));
    }
    if (c == '-' || is_digit(c)) {
      const JsonNumber n = read_number();
      if (n.is_i64()) return Atom::integer(n.as_i64());
      return Atom::real(n.as_double());
    }
    check_value();
    fail_untagged("Atom");
  }

  std::int64_t read_i64() {
    const int c = peek();
    if (c != '-' && !is_digit(c)) fail_invalid_type("i64");
    const JsonNumber n = read_number();
    if (n.is_i64()) return n.as_i64();
    std::string description = n.cls == JsonNumber::Class::Unsigned ? "invalid value: " : "invalid type: ";
    description += number_description(n);
    description += ", expected i64";
    fail_here(description);
  }

  double read_f64() {
    const int c = peek();
    if (c != '-' && !is_digit(c)) fail_invalid_type("f64");
    return read_number().as_double();
  }

  Axes read_axes() {
    axes_.clear();
    read_map("a map", [&](std::string_view key) {
      const Text name = stable(key);
      axes_.insert(name, read_i64());
    });
    return ctx_.axes(axes_);
  }

  [[noreturn]] void fail_literal_type(std::string_view found) {
    fail_here(std::string("invalid type: ") += std::string(found) + ", expected " +
                                               std::string(kLiteralExpectation));
  }

  // Numbers, the strings "inf", "-inf" and "nan", and arrays of these; the
  // nesting budget bounds the depth (and so the recursion).
  LiteralValue read_literal(std::size_t depth) {
    const int c = peek();
    switch (c) {
      case 'n':
        skip_byte();
        read_word_rest("ull");
        fail_literal_type("null");
      case 't':
        skip_byte();
        read_word_rest("rue");
        fail_literal_type("boolean `true`");
      case 'f':
        skip_byte();
        read_word_rest("alse");
        fail_literal_type("boolean `false`");
      case '"': {
        skip_byte();
        const std::string_view text = string_body(scratch_);
        if (text == "inf") return LiteralValue::real(std::numeric_limits<double>::infinity());
        if (text == "-inf") return LiteralValue::real(-std::numeric_limits<double>::infinity());
        if (text == "nan") return LiteralValue::real(std::numeric_limits<double>::quiet_NaN());
        fail_here(std::string("unexpected string: ") += text);
      }
      case '[': {
        if (literal_items_.size() <= depth) literal_items_.resize(depth + 1);
        literal_items_[depth].clear();
        read_array({}, [&] {
          const LiteralValue item = read_literal(depth + 1);
          literal_items_[depth].push_back(item);
        });
        return LiteralValue::list(ctx_.list(literal_items_[depth]));
      }
      case '{':
        enter();
        object_closing_step();
        fail_literal_type("map");
      case -1:
        fail_at_next("EOF while parsing a value");
      default:
        break;
    }
    if (c != '-' && !is_digit(c)) fail_at_next("expected value");
    const JsonNumber n = read_number();
    switch (n.cls) {
      case JsonNumber::Class::Unsigned:  // above the signed range: the same 64 bits
        return LiteralValue::integer(static_cast<std::int64_t>(n.u));
      case JsonNumber::Class::Negative:
        return LiteralValue::integer(n.i);
      case JsonNumber::Class::Float:
        break;
    }
    return LiteralValue::real(n.f);
  }

  // A number is kept with its class, a string with its text; any other value
  // is read (within the nesting budget) and counts as none.
  CountRaw read_count() {
    CountRaw count;
    const int c = peek();
    if (c == '-' || is_digit(c)) {
      const JsonNumber n = read_number();
      count.form = n.cls == JsonNumber::Class::Unsigned ? CountRaw::Form::Unsigned
                                                        : CountRaw::Form::OtherNumber;
      count.value = n.u;
    } else if (c == '"') {
      skip_byte();
      count.form = CountRaw::Form::Text;
      count.text = ctx_.text(string_body(scratch_));
    } else {
      check_value();
    }
    return count;
  }

  // A number must be an unsigned integer; a string names the count; any
  // other value, or none, gives the empty name.
  static LoopCount loop_count(const CountRaw& count) {
    switch (count.form) {
      case CountRaw::Form::Unsigned: return LoopCount::concrete(count.value);
      case CountRaw::Form::OtherNumber: fail_none();
      case CountRaw::Form::Text: return LoopCount::named(count.text);
      case CountRaw::Form::Absent: break;
    }
    return LoopCount::named("");
  }

  // One element of "ops": the flat record read whole, then converted by its
  // kind word before the next element is looked at.
  Op read_op() {
    OpRaw raw;
    read_record(kOpForm, [&](int index) {
      const auto member = static_cast<OpMember>(index);
      switch (member) {
        case kKind: raw.set(member, raw.kind, stable(string_value())); break;
        case kPattern: raw.set(member, raw.pattern, read_text()); break;
        case kFunction: raw.set(member, raw.function, read_text()); break;
        case kReduction: raw.set(member, raw.reduction, read_text()); break;
        case kAxes: raw.set(member, raw.axes, read_axes()); break;
        case kValue:
          if (!read_null()) raw.set(member, raw.value, read_literal(0));
          break;
        case kLower:
          if (!read_null()) raw.set(member, raw.lower, read_f64());
          break;
        case kUpper:
          if (!read_null()) raw.set(member, raw.upper, read_f64());
          break;
        case kTarget: raw.set(member, raw.target, read_text()); break;
        case kCount:
          if (!read_null()) raw.set(member, raw.count, read_count());
          break;
        case kVar: raw.set(member, raw.var, read_text()); break;
        case kInit: raw.set(member, raw.init, read_text()); break;
        case kExtend:
          if (!read_null()) raw.set(member, raw.extend, read_text());
          break;
        case kOutputs: raw.set(member, raw.outputs, read_string_list()); break;
        case kOutputTypes:
          types_.clear();
          read_array("a sequence", [&] { types_.push_back(read_null() ? TypeRef() : read_tensor_type()); });
          raw.set(member, raw.output_types, ctx_.list(types_));
          break;
        case kArgs:
          atoms_.clear();
          read_array("a sequence", [&] { atoms_.push_back(read_atom()); });
          raw.set(member, raw.args, ctx_.list(atoms_));
          break;
        case kComments: raw.set(member, raw.comments, read_string_list()); break;
      }
    });
    // The required members are present once the record has been read.
    const std::optional<OpTag> tag = kind_tag(raw.kind.value);
    if (!tag) {
      list_closing_step();
      fail_here(std::string("unknown op kind: ") += raw.kind.value);
    }
    return Op{ctx_.head(kind_of(*tag, raw), raw.get(kComments, raw.comments)), raw.outputs.value,
              raw.output_types.value, raw.args.value};
  }

  // The kind with the members it takes from the record; the others are dropped.
  static OpKind kind_of(OpTag tag, const OpRaw& raw) {
    switch (tag) {
      case OpTag::View: return View{raw.get(kPattern, raw.pattern), raw.get(kAxes, raw.axes)};
      case OpTag::Map: return Map{raw.get(kFunction, raw.function)};
      case OpTag::Fold: return Fold{raw.get(kPattern, raw.pattern), raw.get(kReduction, raw.reduction)};
      case OpTag::Tile: return Tile{raw.get(kPattern, raw.pattern), raw.get(kAxes, raw.axes)};
      case OpTag::Read: return Read{raw.get(kPattern, raw.pattern)};
      case OpTag::Write: return Write{raw.get(kPattern, raw.pattern), raw.get(kReduction, raw.reduction)};
      case OpTag::Contract: return Contract{raw.get(kPattern, raw.pattern)};
      case OpTag::Literal:
        return Literal{raw.has(kValue) ? raw.value.value : LiteralValue::integer(0)};
      case OpTag::Iota: return Iota{};
      case OpTag::Random:
        if (!raw.has(kLower)) fail("random requires 'lower' field");
        if (!raw.has(kUpper)) fail("random requires 'upper' field");
        return Random{raw.lower.value, raw.upper.value};
      case OpTag::Call: return Call{raw.get(kTarget, raw.target)};
      case OpTag::Loop: return Loop{raw.get(kTarget, raw.target), loop_count(raw.get(kCount, raw.count))};
      case OpTag::Cache:
        return Cache{raw.get(kVar, raw.var), raw.get(kInit, raw.init),
                     raw.has(kExtend) ? std::optional<Text>(raw.extend.value) : std::nullopt};
    }
    __builtin_unreachable();  // `tag` names one of the kinds above
  }

  Module& module_;
  Context& ctx_;
  std::string_view input_ = text();
  std::string scratch_;
  std::vector<Text> texts_;
  std::vector<Param> params_;
  std::vector<Dim> dims_;
  std::vector<Atom> atoms_;
  std::vector<TypeRef> types_;
  std::vector<Op> ops_;
  std::vector<std::vector<LiteralValue>> literal_items_;
  AxesBuilder axes_;
  struct RecentType {
    std::size_t start = 0;
    std::size_t size = 0;  // 0: none
    TypeRef type;
  };
  std::array<RecentType, 4> recent_types_;
  std::size_t next_recent_type_ = 0;
};

}  // namespace

Module read_module_json(std::string_view text) {
  // The texts of the module are views of `text`, each occurrence its own,
  // so a head made of them would never be met again: each is stored on its
  // own, without a lookup.
  Module module(std::make_shared<Context>(Context::Heads::Separate));
  ModuleReader(text, module).read_module();
  return module;
}

}  // namespace quarvel
