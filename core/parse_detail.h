// Inside the source front end: tokens, the cursor over them and the readers of
// the grammar's pieces. The parser and its tests use this header; every other
// caller goes through core/parse.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/ast.h"
#include "core/parse.h"
#include "core/text_hash.h"

namespace quarvel {

// What a token is, as decided by the rule of the tokenizer that cut it.
enum class TokenKind : std::uint8_t {
  End,       // no token: the text is used up (the text is empty)
  Name,      // a letter or underscore, then letters, digits, underscores and dots ("w.*" too)
  Integer,   // digits, perhaps after a minus sign: 7, -12, 007
  Real,      // a number with a dot or an exponent letter: 1.5, -2.e+3, and also 1e, 1.
  String,    // a double quote up to the closing one, or up to the end of the text
  Punct,     // one of ( ) * + , - / : = [ ] { }
  Arrow,     // ->
  Ellipsis,  // ...
  Comment,   // "//" up to the end of the line
};

struct Token {
  std::string_view text;  // a view into the source
  TokenKind kind = TokenKind::End;
  bool operator==(const Token&) const = default;
};

// Cuts source text into tokens (views into `source`), comments included.
// Never fails.
std::vector<Token> tokenize(std::string_view source);

// The texts and lists one parse has copied into a context, found by their
// bytes: a text that recurs (a variable, a pattern, a reduction) or a list
// that recurs (the outputs or the arguments of a statement that functions of
// the same shape repeat) is stored once. The elements of lists are compared
// byte for byte, so the texts in them must have been kept first (`keep`):
// equal lists are then equal bytes.
template <class T>
class ListTable {
 public:
  // The copy of `items` in `ctx`, made at its first request.
  List<T> intern(Context& ctx, std::span<const T> items) {
    if (items.empty()) return {};
    const std::string_view bytes = bytes_of(items);
    if (2 * (used_ + 1) > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = text_hash(bytes) & mask;; i = (i + 1) & mask) {
      List<T>& slot = slots_[i];
      if (slot.empty()) {
        slot = ctx.list(items);
        ++used_;
        return slot;
      }
      if (same_text(bytes_of(slot), bytes)) return slot;
    }
  }

 private:
  static std::string_view bytes_of(std::span<const T> items) {
    return std::string_view(reinterpret_cast<const char*>(items.data()), items.size_bytes());
  }
  static std::size_t hash_of(List<T> list) { return text_hash(bytes_of(list)); }
  void grow() {
    std::vector<List<T>> old(slots_.empty() ? 64 : 2 * slots_.size());
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const List<T>& list : old) {
      if (list.empty()) continue;
      std::size_t i = hash_of(list) & mask;
      while (!slots_[i].empty()) i = (i + 1) & mask;
      slots_[i] = list;
    }
  }

  std::vector<List<T>> slots_;  // a power of two of them; free slots are empty
  std::size_t used_ = 0;
};

// The cursor over the tokens of one source text, and the context that
// receives what the grammar builds. Tokens are cut on demand, one token ahead
// of the grammar, so no token list is ever stored; `pos` counts the tokens
// passed so far, comments included. Comment tokens are set aside as the
// cursor passes them; the grammar decides where they go with `take_comments`.
class Parser {
 public:
  // `source` must outlive the parser: tokens are views into it. Every text,
  // list and type the grammar returns lives in `ctx`.
  Parser(std::string_view source, Context& ctx) : ctx(ctx), source_(source) {}
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  Context& ctx;
  std::vector<Text> pending_comments;  // views into the source
  std::size_t pos = 0;

  // Moves the comment tokens at `pos` into `pending_comments`. The token
  // after them is cut at the same time, so a cut token is never a comment.
  void skip_comments() {
    if (!ready_) advance_past_comments();
  }
  // True when no token is left (after moving the comments in front of it).
  bool at_end() {
    skip_comments();
    return next_kind_ == TokenKind::End;
  }
  // The next token, not consumed; a token of kind End at the end.
  Token peek_token() {
    skip_comments();
    return Token{next_text(), next_kind_};
  }
  // True when the next token is the punctuation `c` (false at the end).
  bool peek_is(char c) {
    skip_comments();
    return punct_ == static_cast<unsigned char>(c);
  }
  // True when the next token is exactly `text` (false at the end).
  bool peek_is(std::string_view text) {
    skip_comments();
    return next_kind_ != TokenKind::End && next_text() == text;
  }
  // Consumes the next token; at the end of the tokens fails with
  // "index out of bounds: the len is {} but the index is {}".
  Token next_token() {
    skip_comments();
    if (next_kind_ == TokenKind::End) fail_at_end();
    ready_ = false;
    ++pos;
    return Token{next_text(), next_kind_};
  }
  // Consumes the next token and fails with "Expected {}, got {}" unless it
  // is `expected`.
  void expect_token(std::string_view expected) {
    const Token t = next_token();
    if (t.text != expected) fail_expected(expected, t.text);
  }
  void expect_token(char expected) {
    skip_comments();
    if (punct_ != static_cast<unsigned char>(expected)) {
      const Token t = next_token();
      fail_expected(std::string_view(&expected, 1), t.text);
    }
    ready_ = false;
    ++pos;
  }
  // Hands over the collected comments, kept in the context (recurring
  // comments are stored once), and leaves none pending.
  Comments take_comments();

  // Where the grammar stands: the next token's first byte, the tokens passed
  // and the comments pending (after `skip_comments`).
  struct Mark {
    std::size_t offset;
    std::size_t pos;
    std::size_t comments;
  };
  Mark mark() {
    skip_comments();
    return Mark{next_start_, pos, pending_comments.size()};
  }
  // A tensor type written with the very bytes of the type read last is that
  // type again: the same bytes give the same tokens, and these the same type.
  // `remember_type` records the type just read from `start` up to the
  // cursor, whose last token was its closing bracket; `repeated_type` passes
  // over a repeat of it at the next token and returns the type, or null when
  // the bytes there differ.
  void remember_type(const Mark& start, TypeRef type);
  TypeRef repeated_type();
  // The copy of `text` in the context; a recurring text is copied once.
  Text keep(std::string_view text) {
    const List<char> kept = scratch.texts_kept.intern(ctx, {text.data(), text.size()});
    return Text(kept.data(), kept.size());
  }

  // Working room of the grammar, kept from one statement to the next: reading
  // a statement allocates nothing but its results in the context.
  struct Scratch {
    std::vector<Text> texts;
    std::vector<TypeRef> types;
    std::vector<Atom> atoms;
    std::vector<Param> params;
    ShapeBuilder shape;
    std::vector<LiteralValue> literal;  // items of the open literal lists, innermost last
    OrderedMap<Atom> named;             // name = value items; keys view the source
    std::vector<Axis> axes;
    std::size_t last_body_size = 0;  // ops in the body read last
    ListTable<char> texts_kept;
    ListTable<Text> output_lists;  // of the statements read so far
    ListTable<Atom> argument_lists;
    std::vector<Text> comments;    // being taken
    ListTable<Text> comment_lists;
    TypeRef wildcard;         // the type "*[]", once it was needed
    OutputTypes last_types;   // the output types of the statement read last
    // The types met last, the latest first: statements near each other tend
    // to declare the same few types, which are then found without a lookup
    // in the context's table.
    static constexpr std::size_t kRecentTypes = 4;
    TypeRef recent_types[kRecentTypes];
  };
  Scratch scratch;

 private:
  void advance_past_comments();
  [[gnu::noinline]] void pass_comments(TokenKind kind, std::size_t start);
  void set_next(TokenKind kind, std::size_t start);
  [[noreturn]] void fail_at_end() const;
  [[noreturn]] static void fail_expected(std::string_view expected, std::string_view got);

  Text next_text() const { return Text(source_.data() + next_start_, next_end_ - next_start_); }

  std::string_view source_;
  std::size_t offset_ = 0;  // bytes of `source_` already cut

  // The type read last and its text in the source (no comment inside).
  struct LastType {
    const char* text = nullptr;
    std::size_t size = 0;
    std::size_t tokens = 0;
    TypeRef type;
  };
  LastType last_type_;

  // The token at `pos`, when `ready_`. It is kept as plain numbers, each
  // stored and read on its own: reading a stored token whole just after its
  // parts were stored one by one would wait for those stores.
  std::size_t next_start_ = 0;
  std::size_t next_end_ = 0;
  TokenKind next_kind_ = TokenKind::End;
  unsigned punct_ = 0;  // the byte of the token when it is punctuation, else 0
  bool ready_ = false;  // the fields above describe the token at `pos`
};

// One delimited argument list: positional atoms and name = value items.
struct ArgList {
  Args positional;
  OrderedMap<Atom> named;
};

// Literal lists nest at most this deep.
inline constexpr std::size_t kMaxLiteralDepth = 256;

TypeRef parse_tensor_type(Parser& p);
ArgList parse_arg_list(Parser& p, std::string_view open, std::string_view close);
// The atom of a token text; the text of a `Str` atom is `token` itself.
Atom parse_atom(std::string_view token);
// The atom of a token, the same as `parse_atom(token.text)`, found by kind.
Atom token_atom(const Token& token);
LiteralValue parse_literal_list(Parser& p);
LiteralValue parse_literal_scalar(Parser& p);
// One function; the comments pending before it go to the front of its own.
Function parse_function(Parser& p);
Op parse_op(Parser& p);

}  // namespace quarvel
