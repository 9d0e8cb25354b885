#include "core/json_read.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "core/error.h"
#include "core/json_text.h"
#include "core/numtext.h"

namespace quarvel {

namespace {

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Bytes that end a run of plain string content: the closing quote, the
// backslash, control bytes, and the first byte of a non-ASCII character
// (checked for well-formed UTF-8).
constexpr std::array<bool, 256> kStringStops = json_string_stops(true);
// The same but for non-ASCII bytes: a skipped string is checked for syntax only.
constexpr std::array<bool, 256> kSkipStops = json_string_stops(false);

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

void JsonReader::enter() {
  if (--depth_ == 0) fail_at_next("recursion limit exceeded");
  ++pos_;
}

bool JsonReader::next_member(bool& first) {
  int c = peek();
  if (c == '}') return false;
  if (c == ',' && !first) {
    ++pos_;
    c = peek();
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c == '}') fail_at_next("trailing comma");
    if (c < 0) fail_at_next("EOF while parsing a value");
    fail_at_next("key must be a string");
  }
  if (c < 0) fail_at_next("EOF while parsing an object");
  if (!first) fail_at_next("expected `,` or `}`");
  first = false;
  if (c != '"') fail_at_next("key must be a string");
  ++pos_;
  return true;
}

void JsonReader::read_colon() {
  const int c = peek();
  if (c == ':') {
    ++pos_;
    return;
  }
  if (c < 0) fail_at_next("EOF while parsing an object");
  fail_at_next("expected `:`");
}

bool JsonReader::next_element(bool& first) {
  int c = peek();
  if (c == ']') return false;
  if (c == ',' && !first) {
    ++pos_;
    c = peek();
    if (c == ']') fail_at_next("trailing comma");
    if (c < 0) fail_at_next("EOF while parsing a value");
    return true;
  }
  if (c < 0) fail_at_next("EOF while parsing a list");
  if (!first) fail_at_next("expected `,` or `]`");
  first = false;
  return true;
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

std::string_view JsonReader::string_body(std::string& scratch) {
  const auto* s = reinterpret_cast<const unsigned char*>(text_.data());
  const std::size_t n = text_.size();
  std::size_t p = pos_;
  std::size_t start = p;
  bool escaped = false;
  bool malformed = false;
  for (;;) {
    while (p < n && !kStringStops[s[p]]) ++p;
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

void JsonReader::read_string_body(std::string& out) {
  const std::string_view content = string_body(out);
  if (content.data() != out.data()) out.assign(content.data(), content.size());
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

JsonValue JsonReader::read_value() {
  JsonValue value;
  const int c = peek();
  switch (c) {
    case 'n':
      ++pos_;
      read_word_rest("ull");
      return value;
    case 't':
    case 'f':
      ++pos_;
      read_word_rest(c == 't' ? "rue" : "alse");
      value.kind = JsonValue::Kind::Bool;
      value.boolean = c == 't';
      return value;
    case '"':
      ++pos_;
      value.kind = JsonValue::Kind::String;
      read_string_body(value.text);
      return value;
    case '[': {
      enter();
      value.kind = JsonValue::Kind::Array;
      bool first = true;
      while (next_element(first)) value.items.push_back(read_value());
      ++pos_;
      leave();
      return value;
    }
    case '{': {
      enter();
      value.kind = JsonValue::Kind::Object;
      bool first = true;
      while (next_member(first)) {
        read_string_body(value.keys.emplace_back());
        read_colon();
        value.items.push_back(read_value());
      }
      ++pos_;
      leave();
      return value;
    }
    case -1:
      fail_at_next("EOF while parsing a value");
    default:
      if (c != '-' && !is_digit(c)) fail_at_next("expected value");
      value.kind = JsonValue::Kind::Number;
      value.number = read_number();
      return value;
  }
}

void JsonReader::skip_value() {
  // The open containers, innermost last; the depth costs one byte each.
  std::vector<char>& open = skip_stack_;
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

// How a record appears in JSON: its member names in field order (also the
// order of its array form), the required ones, and its texts in messages.
struct RecordForm {
  std::string_view expectation;
  std::string_view length_text;
  const std::string_view* names;
  int count;
  std::uint32_t required;  // bit i: member i
};

constexpr std::string_view kModuleNames[] = {"header_comments", "functions"};
constexpr RecordForm kModuleForm{"struct Module", "struct Module with 2 elements", kModuleNames,
                                 2, 0b10};

constexpr std::string_view kFunctionNames[] = {"name", "comments", "params", "returns", "ops"};
constexpr RecordForm kFunctionForm{"struct Function", "struct Function with 5 elements",
                                   kFunctionNames, 5, 0b11101};

constexpr std::string_view kParamNames[] = {"name", "ty"};
constexpr RecordForm kParamForm{"struct Param", "struct Param with 2 elements", kParamNames, 2,
                                0b11};

constexpr std::string_view kTensorTypeNames[] = {"dtype", "shape"};
constexpr RecordForm kTensorTypeForm{"struct TensorType", "struct TensorType with 2 elements",
                                     kTensorTypeNames, 2, 0b11};

// The flat op record: every member any kind uses.
enum OpMember {
  kKind, kPattern, kFunction, kReduction, kAxes, kValue, kLower, kUpper, kTarget,
  kCount, kVar, kInit, kExtend, kOutputs, kOutputTypes, kArgs, kComments,
};
constexpr std::string_view kOpNames[] = {
    "kind",   "pattern", "function", "reduction", "axes",   "value",
    "lower",  "upper",   "target",   "count",     "var",    "init",
    "extend", "outputs", "output_types", "args",  "comments"};
constexpr RecordForm kOpForm{
    "struct OpRaw", "struct OpRaw with 17 elements", kOpNames, 17,
    (1u << kKind) | (1u << kOutputs) | (1u << kOutputTypes) | (1u << kArgs)};

int match_member(const RecordForm& form, std::string_view key) {
  if (key.empty()) return -1;
  for (int i = 0; i < form.count; ++i) {
    const std::string_view name = form.names[i];
    if (name.size() == key.size() && name[0] == key[0] &&
        std::memcmp(name.data(), key.data(), key.size()) == 0)
      return i;
  }
  return -1;
}

constexpr std::string_view kLiteralExpectation = "integer, float, \"inf\"/\"-inf\", or array";

struct OpRaw {
  std::string kind;
  std::string pattern;
  std::string function;
  std::string reduction;
  Axes axes;
  std::optional<LiteralValue> value;
  std::optional<double> lower;
  std::optional<double> upper;
  std::string target;
  std::optional<JsonValue> count;
  std::string var;
  std::string init;
  std::optional<std::string> extend;
  std::vector<std::string> outputs;
  OutputTypes output_types;
  Args args;
  std::vector<std::string> comments;
};

class ModuleReader : public JsonReader {
 public:
  using JsonReader::JsonReader;

  Module read_module() {
    Module module;
    read_record(kModuleForm, [&](int member) {
      if (member == 0)
        read_string_list(module.header_comments);
      else
        read_function_map(module.functions);
    });
    finish();
    return module;
  }

 private:
  // A record in object or array form; `read_member(i)` reads the value of
  // member i. Members not given keep the value they start with.
  template <class ReadMember>
  void read_record(const RecordForm& form, ReadMember&& read_member) {
    const int c = peek();
    if (c == '{') {
      enter();
      std::uint32_t seen = 0;
      bool first = true;
      while (next_member(first)) {
        const int member = match_member(form, string_body(key_));
        if (member < 0) {
          read_colon();
          skip_value();
          continue;
        }
        const std::uint32_t bit = 1u << member;
        if (seen & bit) {
          object_closing_step();
          fail_here(std::string("duplicate field `") += std::string(form.names[member]) + "`");
        }
        seen |= bit;
        read_colon();
        read_member(member);
      }
      skip_byte();
      if (const std::uint32_t missing = form.required & ~seen)
        fail_here(std::string("missing field `") +=
                  std::string(form.names[std::countr_zero(missing)]) + "`");
      leave();
      return;
    }
    if (c == '[') {
      enter();
      bool first = true;
      for (int member = 0; member < form.count; ++member) {
        if (!next_element(first)) {
          skip_byte();
          // The defaulted members come before required ones, so an early end
          // names the next required member.
          if (const std::uint32_t rest = form.required >> member << member) {
            std::string description = "invalid length ";
            append_int(description, std::countr_zero(rest));
            description += ", expected ";
            description += form.length_text;
            fail_here(description);
          }
          leave();
          return;
        }
        read_member(member);
      }
      end_record_array();
      leave();
      return;
    }
    fail_invalid_type(form.expectation);
  }

  template <class ReadElement>
  void read_list(ReadElement&& read_element) {
    if (peek() != '[') fail_invalid_type("a sequence");
    enter();
    bool first = true;
    while (next_element(first)) read_element();
    skip_byte();
    leave();
  }

  // A list gathered in a scratch vector that keeps its room from list to
  // list, then moved into `out` in one allocation of its exact size. Lists of
  // one element type never nest, so each type needs one scratch vector.
  template <class List, class T, class ReadElement>
  void read_list_into(List& out, std::vector<T>& scratch, ReadElement&& read_element) {
    scratch.clear();
    read_list([&] { read_element(scratch); });
    out.assign(std::make_move_iterator(scratch.begin()), std::make_move_iterator(scratch.end()));
  }

  // The word null, consumed; false (nothing consumed) for any other value.
  bool read_null() {
    if (peek() != 'n') return false;
    skip_byte();
    read_word_rest("ull");
    return true;
  }

  void read_string(std::string& out) {
    if (peek() != '"') fail_invalid_type("a string");
    skip_byte();
    read_string_body(out);
  }

  void read_string_list(std::vector<std::string>& out) {
    read_list_into(out, strings_, [&](auto& items) { read_string(items.emplace_back()); });
  }

  // A JSON object into `out`, member by member; `read_item()` reads and
  // returns each member's value.
  template <class V, class ReadItem>
  void read_map_into(OrderedMap<V>& out, ReadItem&& read_item) {
    if (peek() != '{') fail_invalid_type("a map");
    enter();
    bool first = true;
    while (next_member(first)) {
      std::string key;
      read_string_body(key);
      read_colon();
      V value = read_item();
      out.insert(std::move(key), std::move(value));
    }
    skip_byte();
    leave();
  }

  void read_function_map(OrderedMap<Function>& out) {
    read_map_into(out, [&] { return read_function(); });
  }

  Function read_function() {
    Function f;
    read_record(kFunctionForm, [&](int member) {
      switch (member) {
        case 0: read_string(f.name); break;
        case 1: read_string_list(f.comments); break;
        case 2: read_params(f.params); break;
        case 3: read_params(f.returns); break;
        default: read_list_into(f.ops, ops_, [&](auto& items) { read_op(items); }); break;
      }
    });
    return f;
  }

  void read_params(std::vector<Param>& out) {
    read_list_into(out, params_, [&](auto& items) {
      Param& param = items.emplace_back();
      read_record(kParamForm, [&](int member) {
        if (member == 0)
          read_string(param.name);
        else
          read_tensor_type(param.ty);
      });
    });
  }

  void read_tensor_type(TensorType& ty) {
    read_record(kTensorTypeForm, [&](int member) {
      if (member == 0)
        read_string(ty.dtype);
      else
        read_list_into(ty.shape, dims_, [&](auto& items) { items.push_back(read_dim()); });
    });
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
      Dim dim{std::string()};
      read_string_body(std::get<std::string>(dim.v));
      return dim;
    }
    if (c == '-' || is_digit(c)) {
      const JsonNumber n = read_number();
      if (n.is_i64()) return Dim::concrete(n.as_i64());
    } else {
      read_value();
    }
    fail_untagged("Dim");
  }

  // An integer in the signed 64-bit range, any other number, or a string.
  Atom read_atom() {
    const int c = peek();
    if (c == '"') {
      skip_byte();
      Atom atom{std::string()};
      read_string_body(std::get<std::string>(atom.v));
      return atom;
    }
    if (c == '-' || is_digit(c)) {
      const JsonNumber n = read_number();
      if (n.is_i64()) return Atom::integer(n.as_i64());
      return Atom::real(n.as_double());
    }
    read_value();
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

  void read_axes(Axes& out) {
    read_map_into(out, [&] { return read_i64(); });
  }

  [[noreturn]] void fail_literal_type(std::string_view found) {
    fail_here(std::string("invalid type: ") += std::string(found) + ", expected " +
                                               std::string(kLiteralExpectation));
  }

  // Numbers, the strings "inf", "-inf" and "nan", and arrays of these; the
  // nesting budget bounds the depth.
  LiteralValue read_literal() {
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
        const std::string_view text = string_body(key_);
        if (text == "inf") return LiteralValue::real(std::numeric_limits<double>::infinity());
        if (text == "-inf") return LiteralValue::real(-std::numeric_limits<double>::infinity());
        if (text == "nan") return LiteralValue::real(std::numeric_limits<double>::quiet_NaN());
        fail_here(std::string("unexpected string: ") += text);
      }
      case '[': {
        enter();
        std::vector<LiteralValue> items;
        bool first = true;
        while (next_element(first)) items.push_back(read_literal());
        skip_byte();
        leave();
        return LiteralValue::list(std::move(items));
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

  // One element of "ops": the flat record read whole, then converted by its
  // kind word before the next element is looked at.
  void read_op(std::vector<Op>& ops) {
    OpRaw raw;
    read_record(kOpForm, [&](int member) {
      switch (member) {
        case kKind: read_string(raw.kind); break;
        case kPattern: read_string(raw.pattern); break;
        case kFunction: read_string(raw.function); break;
        case kReduction: read_string(raw.reduction); break;
        case kAxes: read_axes(raw.axes); break;
        case kValue:
          if (!read_null()) raw.value = read_literal();
          break;
        case kLower:
          if (!read_null()) raw.lower = read_f64();
          break;
        case kUpper:
          if (!read_null()) raw.upper = read_f64();
          break;
        case kTarget: read_string(raw.target); break;
        case kCount:
          if (!read_null()) raw.count = read_value();
          break;
        case kVar: read_string(raw.var); break;
        case kInit: read_string(raw.init); break;
        case kExtend:
          if (!read_null()) read_string(raw.extend.emplace());
          break;
        case kOutputs: read_string_list(raw.outputs); break;
        case kOutputTypes:
          read_list_into(raw.output_types, types_, [&](auto& items) {
            std::optional<TensorType>& ty = items.emplace_back();
            if (!read_null()) read_tensor_type(ty.emplace());
          });
          break;
        case kArgs:
          read_list_into(raw.args, atoms_, [&](auto& items) { items.push_back(read_atom()); });
          break;
        default: read_string_list(raw.comments); break;
      }
    });
    ops.push_back(convert(raw));
  }

  Op convert(OpRaw& raw) {
    const std::optional<std::size_t> tag = kind_tag(raw.kind);
    if (!tag) {
      list_closing_step();
      fail_here(std::string("unknown op kind: ") += raw.kind);
    }
    Op op;
    switch (*tag) {
      case 0: op.kind = View{std::move(raw.pattern), std::move(raw.axes)}; break;
      case 1: op.kind = Map{std::move(raw.function)}; break;
      case 2: op.kind = Fold{std::move(raw.pattern), std::move(raw.reduction)}; break;
      case 3: op.kind = Tile{std::move(raw.pattern), std::move(raw.axes)}; break;
      case 4: op.kind = Read{std::move(raw.pattern)}; break;
      case 5: op.kind = Write{std::move(raw.pattern), std::move(raw.reduction)}; break;
      case 6: op.kind = Contract{std::move(raw.pattern)}; break;
      case 7:
        op.kind = Literal{raw.value ? std::move(*raw.value) : LiteralValue::integer(0)};
        break;
      case 8: op.kind = Iota{}; break;
      case 9:
        if (!raw.lower) fail("random requires 'lower' field");
        if (!raw.upper) fail("random requires 'upper' field");
        op.kind = Random{*raw.lower, *raw.upper};
        break;
      case 10: op.kind = Call{std::move(raw.target)}; break;
      case 11: op.kind = Loop{std::move(raw.target), loop_count(raw.count)}; break;
      default:
        op.kind = Cache{std::move(raw.var), std::move(raw.init), std::move(raw.extend)};
        break;
    }
    op.outputs = std::move(raw.outputs);
    op.output_types = std::move(raw.output_types);
    op.args = std::move(raw.args);
    op.comments = std::move(raw.comments);
    return op;
  }

  // A number must be an unsigned integer; a string names the count; any
  // other value, or none, gives the empty name.
  static LoopCount loop_count(std::optional<JsonValue>& count) {
    if (!count) return LoopCount::named("");
    if (count->kind == JsonValue::Kind::Number) {
      if (count->number.cls != JsonNumber::Class::Unsigned) fail_none();
      return LoopCount::concrete(count->number.u);
    }
    if (count->kind == JsonValue::Kind::String) return LoopCount::named(std::move(count->text));
    return LoopCount::named("");
  }

  std::string key_;
  std::vector<std::string> strings_;
  std::vector<Param> params_;
  std::vector<Dim> dims_;
  std::vector<Atom> atoms_;
  std::vector<std::optional<TensorType>> types_;
  std::vector<Op> ops_;
};

}  // namespace

Module read_module_json(std::string_view text) { return ModuleReader(text).read_module(); }

}  // namespace quarvel
