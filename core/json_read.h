// Reading the JSON form of a module in one forward pass, straight into the
// data model, with positioned error descriptions.
//
// `JsonReader` is the JSON layer shared by every reader of JSON text: the
// syntax (whitespace, strings and their escapes, the three number classes,
// the words true, false and null), the walk over arrays and objects, the
// nesting budget, and the error form. A reading error ends the call with
//   called `Result::unwrap()` on an `Err` value: Error("...", line: L, column: C)
// where the line counts from 1 and the column counts bytes from 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/ast.h"
#include "core/json_text.h"

namespace quarvel {

// A JSON number in its class: digits only up to 18446744073709551615
// (`Unsigned`), "-" and digits with a magnitude up to 9223372036854775808
// (`Negative`), everything else, "-0" included (`Float`).
struct JsonNumber {
  enum class Class : std::uint8_t { Unsigned, Negative, Float };
  Class cls = Class::Unsigned;
  std::uint64_t u = 0;  // Unsigned
  std::int64_t i = 0;   // Negative
  double f = 0;         // Float

  // An integer that fits the signed 64-bit range.
  bool is_i64() const {
    return cls == Class::Negative || (cls == Class::Unsigned && u <= 9223372036854775807ULL);
  }
  std::int64_t as_i64() const { return cls == Class::Negative ? i : static_cast<std::int64_t>(u); }
  // The nearest double of any class.
  double as_double() const {
    switch (cls) {
      case Class::Unsigned: return static_cast<double>(u);
      case Class::Negative: return static_cast<double>(i);
      case Class::Float: break;
    }
    return f;
  }
};

// The kind of a JSON value.
enum class JsonKind : std::uint8_t { Null, Bool, Number, String, Array, Object };

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  std::string_view text() const { return text_; }
  std::size_t position() const { return pos_; }
  // Consumes the byte that `peek` returned.
  void skip_byte() { ++pos_; }

  // Skips whitespace (space, tab, line feed, carriage return) and returns the
  // next byte without consuming it, or -1 at the end of the text.
  [[gnu::always_inline]] int peek() {
    if (pos_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c > ' ' || (c != ' ' && c != '\n' && c != '\t' && c != '\r')) return c;
    }
    return peek_after_whitespace();
  }
  // Only whitespace may remain.
  void finish();

  // Errors. `fail_at_next` places the error at the next byte (its 1-based
  // column; at the end of the text, the text's end); `fail_here` after what
  // has been read.
  [[noreturn, gnu::cold]] void fail_at_next(std::string_view description) const;
  [[noreturn, gnu::cold]] void fail_here(std::string_view description) const;
  [[noreturn, gnu::cold]] void fail_at(std::size_t index, std::string_view description) const;
  // "invalid type: {found}, expected {expected}" for the value at the next
  // byte: a scalar is read to its end first, an array or object is named by
  // its opening bracket. A byte that starts no value gives "expected value".
  [[noreturn, gnu::cold]] void fail_invalid_type(std::string_view expected);

  // ---- arrays and objects ----
  //
  // The one walk over a container: check the opening bracket (else the
  // invalid-type error against `expectation`), take a unit of the nesting
  // budget, read the items with their separators, consume the closing
  // bracket, give the unit back.

  // An array: `element()` (or `element(i)`, with the element's index) reads
  // each element from its first byte. With a `limit`, the array holds a
  // record: after `limit` elements only the closing bracket may follow, and
  // anything else is "trailing characters" ("trailing comma" for a comma
  // and the closing bracket). Returns the number of elements read.
  static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
  template <class Element>
  std::size_t read_array(std::string_view expectation, Element&& element,
                         std::size_t limit = kNoLimit) {
    if (peek() != '[') fail_invalid_type(expectation);
    enter();
    std::size_t count = 0;
    bool first = true;
    for (; count < limit; ++count) {
      if (!next_element(first)) {
        skip_byte();
        leave();
        return count;
      }
      if constexpr (std::is_invocable_v<Element&, std::size_t>)
        element(count);
      else
        element();
    }
    end_record_array();
    leave();
    return count;
  }

  // An object: `member(key)` is called with each member's unescaped key
  // (valid until the next string is read) at the byte after the key's
  // closing quote, and reads the colon and the value.
  template <class Member>
  void read_object(std::string_view expectation, Member&& member) {
    if (peek() != '{') fail_invalid_type(expectation);
    enter();
    bool first = true;
    while (next_member(first)) member(string_body(key_));
    skip_byte();
    leave();
  }
  // A map: `value(key)` reads each member's value after its colon; the key
  // is valid until the next string is read.
  template <class Value>
  void read_map(std::string_view expectation, Value&& value) {
    read_object(expectation, [&](std::string_view key) {
      read_colon();
      value(key);
    });
  }

  void read_colon() {
    if (peek() == ':') {
      ++pos_;
      return;
    }
    fail_colon();
  }

  // The closing step of a container whose reading failed: whitespace, then
  // the closing bracket, or in a list a comma and the whitespace after it.
  void list_closing_step();
  void object_closing_step();

  // ---- scalars ----

  // A string whose opening quote has been consumed: returns the unescaped
  // content, a view of the text when it holds no escape, else of `scratch`,
  // into which the escapes are decoded.
  std::string_view string_body(std::string& scratch) {
    // Plain content up to the closing quote is the common case.
    const auto* s = reinterpret_cast<const unsigned char*>(text_.data());
    const std::size_t end = json_plain_end<true>(s, pos_, text_.size());
    if (end < text_.size() && s[end] == '"') {
      const std::string_view content(text_.data() + pos_, end - pos_);
      pos_ = end + 1;
      return content;
    }
    return string_body_slow(scratch);
  }
  // A number at the next byte ("-" or a digit).
  JsonNumber read_number();
  // The word whose first letter has been consumed; `rest` is the rest of it.
  void read_word_rest(std::string_view rest);

  // Any value, read to its end with every check that reading it whole makes
  // (escapes decoded, numbers converted, the nesting budget), nothing kept.
  JsonKind check_value();
  // Any value, checked for syntax only: no budget, no recursion.
  void skip_value();

 protected:
  // Containers. `enter` takes one unit of the nesting budget at an opening
  // bracket or brace and consumes it; `leave` gives the unit back.
  void enter() {
    if (--depth_ == 0) fail_at_next("recursion limit exceeded");
    ++pos_;
  }
  void leave() { ++depth_; }

  // Array elements: steps over the separator before the next element; false
  // at the closing bracket, which is left unread. Start with `first` true.
  [[gnu::always_inline]] bool next_element(bool& first) {
    const int c = peek();
    if (c == ']') return false;
    if (c == ',' && !first) {
      ++pos_;
      const int d = peek();
      if (d == ']' || d < 0) fail_after_comma(d, ']');
      return true;
    }
    if (c < 0) fail_at_next("EOF while parsing a list");
    if (!first) fail_at_next("expected `,` or `]`");
    first = false;
    return true;
  }
  // Object members: steps over the separator before the next member and
  // consumes the opening quote of its key; false at the closing brace, which
  // is left unread.
  [[gnu::always_inline]] bool next_member(bool& first) {
    int c = peek();
    if (c == '}') return false;
    if (c == ',' && !first) {
      ++pos_;
      c = peek();
      if (c != '"') fail_after_comma(c, '}');
      ++pos_;
      return true;
    }
    if (c < 0) fail_at_next("EOF while parsing an object");
    if (!first) fail_at_next("expected `,` or `}`");
    first = false;
    if (c != '"') fail_at_next("key must be a string");
    ++pos_;
    return true;
  }
  // After the last element of a record given as an array: the closing
  // bracket, or "trailing comma" / "trailing characters".
  void end_record_array();

  // Units of the nesting budget left.
  int budget() const { return depth_; }
  // Steps over `n` bytes known to be read already once (see ModuleReader).
  void advance(std::size_t n) { pos_ += n; }

 private:
  int peek_after_whitespace();
  std::string_view string_body_slow(std::string& scratch);
  [[noreturn, gnu::cold]] void fail_colon() const;
  // The byte `c` after a separating comma is no element (`close` is the
  // container's closing bracket).
  [[noreturn, gnu::cold]] void fail_after_comma(int c, char close) const;
  void scan_number(bool& integral, bool& negative, std::uint64_t& magnitude);
  void read_escape(std::string& out);
  std::uint32_t read_hex4();
  void skip_string_body();
  std::string found_value_description();

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 128;
  std::string key_;
  std::string scratch_;
  std::string skip_stack_;
};

// Reads the whole text as a module. A reading error ends the call in the
// unwrap form above; the conversion failures of operations ("random requires
// 'lower' field", "random requires 'upper' field", "called `Option::unwrap()`
// on a `None` value") end it with their own message. The module's texts and
// lists are copies in its own context: the text may go once this returns.
Module read_module_json(std::string_view text);

}  // namespace quarvel
