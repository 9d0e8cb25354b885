// Reading the JSON form of a module in one forward pass, straight into the
// data model, with positioned error descriptions.
//
// `JsonReader` is the JSON layer shared by every reader of JSON text: the
// syntax (whitespace, strings and their escapes, the three number classes,
// the words true, false and null), the nesting budget, and the error form.
// A reading error ends the call with
//   called `Result::unwrap()` on an `Err` value: Error("...", line: L, column: C)
// where the line counts from 1 and the column counts bytes from 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/ast.h"

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

// One JSON value read whole, for the places that choose what a value means
// only after reading it. Object members keep their order, repeats included.
struct JsonValue {
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  JsonNumber number;
  std::string text;               // String
  std::vector<JsonValue> items;   // Array elements; Object member values
  std::vector<std::string> keys;  // Object member names, parallel to `items`
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

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
  [[noreturn]] void fail_at_next(std::string_view description) const;
  [[noreturn]] void fail_here(std::string_view description) const;
  [[noreturn]] void fail_at(std::size_t index, std::string_view description) const;
  // "invalid type: {found}, expected {expected}" for the value at the next
  // byte: a scalar is read to its end first, an array or object is named by
  // its opening bracket. A byte that starts no value gives "expected value".
  [[noreturn]] void fail_invalid_type(std::string_view expected);

  // Containers. `enter` takes one unit of the nesting budget at an opening
  // bracket or brace and consumes it; `leave` gives the unit back.
  void enter();
  void leave() { ++depth_; }

  // Object members: steps over the separator before the next member and
  // consumes the opening quote of its key; false at the closing brace, which
  // is left unread. Start with `first` true.
  bool next_member(bool& first);
  void read_colon();
  // Array elements: steps over the separator before the next element; false
  // at the closing bracket, which is left unread.
  bool next_element(bool& first);
  // After the last element of a record given as an array: the closing
  // bracket, or "trailing comma" / "trailing characters".
  void end_record_array();

  // The closing step of a container whose reading failed: whitespace, then
  // the closing bracket, or in a list a comma and the whitespace after it.
  void list_closing_step();
  void object_closing_step();

  // A string whose opening quote has been consumed. `string_body` returns
  // the unescaped content, a view of the text when it holds no escape, else
  // of `scratch`. `read_string_body` stores the content in `out`.
  std::string_view string_body(std::string& scratch);
  void read_string_body(std::string& out);
  // A number at the next byte ("-" or a digit).
  JsonNumber read_number();
  // The word whose first letter has been consumed; `rest` is the rest of it.
  void read_word_rest(std::string_view rest);

  // Any value, built whole, nested containers within the nesting budget.
  JsonValue read_value();
  // Any value, checked for syntax only: no budget, no recursion.
  void skip_value();

 private:
  int peek_after_whitespace();
  void scan_number(bool& integral, bool& negative, std::uint64_t& magnitude);
  void read_escape(std::string& out);
  std::uint32_t read_hex4();
  void skip_string_body();
  std::string found_value_description();

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 128;
  std::string scratch_;
  std::vector<char> skip_stack_;
};

// Reads the whole text as a module. A reading error ends the call in the
// unwrap form above; the conversion failures of operations ("random requires
// 'lower' field", "random requires 'upper' field", "called `Option::unwrap()`
// on a `None` value") end it with their own message.
Module read_module_json(std::string_view text);

}  // namespace quarvel
