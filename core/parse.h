// Source front end: tokenizer, parser cursor and grammar.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ast.h"

namespace quarvel {

// Cuts source text into token texts (views into `source`). Never fails.
std::vector<std::string_view> tokenize(std::string_view source);

// Parses source text into a module; the first problem ends the call.
Module parse_source(std::string_view source);

// Reads the whole file at `path` as UTF-8 text and parses it.
Module parse_file(const std::string& path);

// The whole file at `path` as UTF-8 text, or why it could not be had. Each
// caller words the failure its own way.
struct FileText {
  enum class Problem { None, NulInPath, Os, NotUtf8 };
  std::string text;
  Problem problem = Problem::None;
  int os_error = 0;  // errno, for Problem::Os
};
FileText read_file_text(const std::string& path);

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates,
// code points above U+10FFFF or truncated sequences).
bool valid_utf8(std::string_view bytes);

// The cursor over the tokens of one source text. Tokens are cut on demand,
// one token ahead of the grammar, so no token list is ever stored; `pos`
// counts the tokens passed so far, comments included. Comment tokens are set
// aside as the cursor passes them; the grammar decides where they go with
// `take_comments`.
class Parser {
 public:
  // `source` must outlive the parser: tokens are views into it.
  explicit Parser(std::string_view source) : source_(source) {}

  std::vector<std::string> pending_comments;
  std::size_t pos = 0;
  // Statement count of the function read last: the room reserved for the
  // next body, which is read in place.
  std::size_t ops_hint = 0;

  // Moves the comment tokens at `pos` into `pending_comments`. The token
  // after them is cut at the same time, so a cut token is never a comment.
  void skip_comments() {
    if (!ready_) advance_past_comments();
  }
  // True when no token is left (after moving the comments in front of it).
  bool at_end() {
    skip_comments();
    return !has_next_;
  }
  // The next token, not consumed; nothing at the end of the tokens.
  std::optional<std::string_view> peek_token() {
    skip_comments();
    if (!has_next_) return std::nullopt;
    return next_;
  }
  // True when the next token is exactly `text` (false at the end).
  bool peek_is(std::string_view text) {
    skip_comments();
    return has_next_ && next_ == text;
  }
  bool peek_is(char c) { return peek_char() == static_cast<unsigned char>(c); }
  // The byte of a one-byte next token; 0 for a longer token or at the end.
  int peek_char() {
    skip_comments();
    return next_char_;
  }
  // Consumes the next token; at the end of the tokens fails with
  // "index out of bounds: the len is {} but the index is {}".
  std::string_view next_token() {
    skip_comments();
    if (!has_next_) fail_at_end();
    ready_ = false;
    ++pos;
    return next_;
  }
  // Consumes the next token and fails with "Expected {}, got {}" unless it
  // is `expected`.
  void expect_token(std::string_view expected) {
    const std::string_view t = next_token();
    if (t != expected) fail_expected(expected, t);
  }
  void expect_token(char expected) {
    skip_comments();
    if (next_char_ != static_cast<unsigned char>(expected)) {
      const std::string_view t = next_token();
      fail_expected(std::string_view(&expected, 1), t);
    }
    ready_ = false;
    ++pos;
  }
  // Hands over the collected comments and leaves none pending.
  std::vector<std::string> take_comments() {
    std::vector<std::string> out;
    out.swap(pending_comments);
    return out;
  }

  static bool is_comment(std::string_view t) {
    return t.size() >= 2 && t[0] == '/' && t[1] == '/';
  }

 private:
  void advance_past_comments();
  [[gnu::noinline]] void pass_comments(std::size_t start);
  [[noreturn]] void fail_at_end() const;
  [[noreturn]] static void fail_expected(std::string_view expected, std::string_view got);

  std::string_view source_;
  std::size_t offset_ = 0;  // bytes of `source_` already cut
  std::string_view next_;   // the token at `pos`, when `has_next_`
  int next_char_ = 0;       // its byte when it is one byte long, else 0
  bool ready_ = false;      // `next_` and `has_next_` describe the token at `pos`
  bool has_next_ = false;
};

// One delimited argument list: positional atoms and name = value items.
struct ArgList {
  Args positional;
  OrderedMap<Atom> named;
};

// Literal lists nest at most this deep.
inline constexpr std::size_t kMaxLiteralDepth = 256;

TensorType parse_tensor_type(Parser& p);
ArgList parse_arg_list(Parser& p, std::string_view open, std::string_view close);
Atom parse_atom(std::string_view token);
LiteralValue parse_literal_list(Parser& p);
LiteralValue parse_literal_scalar(Parser& p);
Function parse_function(Parser& p);
Op parse_op(Parser& p);

}  // namespace quarvel
