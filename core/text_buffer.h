// The output buffer of the writers (JSON form and printer), and the walk over
// literal values they share.
//
// Writers ask for room once per piece and then store bytes without further
// checks. The buffer reserves the expected size up front but makes only the
// next stretch writable at a time, so that the part of an over-estimate that is
// never written is never filled either; past the reservation it grows by
// doubling.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ast.h"

namespace quarvel {

class TextBuffer {
 public:
  explicit TextBuffer(std::size_t expected) {
    text_.reserve(expected < kMinimum ? kMinimum : expected);
    pos_ = text_.data();
    end_ = pos_;
  }

  // Bytes written so far.
  std::size_t size() const { return static_cast<std::size_t>(pos_ - text_.data()); }
  // Drops everything written after the first `n` bytes.
  void truncate(std::size_t n) { pos_ = text_.data() + n; }

  // Room for `n` more bytes; returns where they go (see `advance_to`).
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) grow(n);
    return pos_;
  }
  // Marks the bytes up to `p` (within the last `room`) as written.
  void advance_to(char* p) { pos_ = p; }

  TextBuffer& operator+=(char c) {
    room(1);
    *pos_++ = c;
    return *this;
  }
  // A fixed text: brackets, separators, JSON member names with their quotes.
  template <std::size_t N>
  TextBuffer& operator+=(const char (&text)[N]) {
    room(N - 1);
    std::memcpy(pos_, text, N - 1);
    pos_ += N - 1;
    return *this;
  }
  TextBuffer& operator+=(std::string_view text) {
    room(text.size());
    std::memcpy(pos_, text.data(), text.size());
    pos_ += text.size();
    return *this;
  }
  TextBuffer& operator+=(const std::string& text) { return *this += std::string_view(text); }

  void spaces(std::size_t n) {
    room(n);
    std::memset(pos_, ' ', n);
    pos_ += n;
  }
  void put_int(std::int64_t value) {
    room(20);
    pos_ = std::to_chars(pos_, pos_ + 20, value).ptr;
  }
  void put_uint(std::uint64_t value) {
    room(20);
    pos_ = std::to_chars(pos_, pos_ + 20, value).ptr;
  }
  // The text `append_text` gives for `value` (a float text, say).
  template <class T>
  void put_via(void (*append_text)(std::string&, T), T value) {
    scratch_.clear();
    append_text(scratch_, value);
    *this += std::string_view(scratch_);
  }

  std::string take() && {
    text_.resize(size());
    return std::move(text_);
  }

 private:
  static constexpr std::size_t kMinimum = 128;
  // How much is made writable at a time within the reservation.
  static constexpr std::size_t kStretch = std::size_t{64} << 10;

  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t used = size();
    if (text_.capacity() - used < n) {
      std::size_t capacity = text_.capacity() * 2;
      if (capacity < used + n) capacity = used + n;
      text_.reserve(capacity);
    }
    const std::size_t step = n < kStretch ? kStretch : n;
    const std::size_t free = text_.capacity() - used;
    // The string's size is the writable part; what lies below `used` is kept.
    text_.resize(used + (step < free ? step : free));
    pos_ = text_.data() + used;
    end_ = text_.data() + text_.size();
  }

  std::string text_;
  char* pos_;
  char* end_;
  std::string scratch_;
};

// A literal value with its lists in square brackets, `separator` between the
// items of a list and each number written by `write_number(out, value)`.
// Lists nest to any depth, so the walk keeps its own stack of open lists
// instead of recursing.
template <class WriteNumber>
void write_literal_lists(TextBuffer& out, const LiteralValue& root, std::string_view separator,
                         WriteNumber write_number) {
  struct OpenList {
    const LiteralValue* next;
    const LiteralValue* end;
  };
  std::vector<OpenList> open;
  const LiteralValue* value = &root;
  for (;;) {
    if (value->is_list()) {
      const std::vector<LiteralValue>& items = value->as_list();
      out += '[';
      if (!items.empty()) {
        open.push_back({items.data() + 1, items.data() + items.size()});
        value = items.data();
        continue;
      }
      out += ']';
    } else {
      write_number(out, *value);
    }
    // Close every list whose last item has been written; move to the next item.
    for (;;) {
      if (open.empty()) return;
      OpenList& list = open.back();
      if (list.next != list.end) {
        out += separator;
        value = list.next++;
        break;
      }
      out += ']';
      open.pop_back();
    }
  }
}

}  // namespace quarvel
