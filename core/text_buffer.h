// The output buffer of the writers (JSON form and printer), the helpers for
// items with a separator, and the walk over literal values they share.
//
// Writers ask for room once per piece and then store bytes without further
// checks. The bytes live in a block that a `TextStorage` hands out: by
// default plain heap memory (malloc/realloc), or any other block a caller
// supplies, such as the storage of the final result object, so that the text
// is written where it ends up. The block is never filled before it is
// written: only the bytes a writer stores are ever touched.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/ast.h"
#include "core/small_vector.h"

namespace quarvel {

/// Where a `TextBuffer` keeps its bytes. `resize` returns a block of at least
/// `capacity` bytes whose first `used` bytes are those of `data` (the block
/// it returned last, or null on the first call): the same block grown in
/// place or a new one, after which `data` is no longer used. It throws (say
/// std::bad_alloc) when it cannot. The storage owns its block; the buffer only
/// writes into it.
class TextStorage {
 public:
  virtual char* resize(char* data, std::size_t used, std::size_t capacity) = 0;

 protected:
  TextStorage() = default;
  TextStorage(const TextStorage&) = default;
  TextStorage& operator=(const TextStorage&) = default;
  ~TextStorage() = default;
};

/// Heap memory through malloc/realloc, freed with the storage. A large block
/// that grows is usually remapped rather than copied.
class HeapTextStorage final : public TextStorage {
 public:
  HeapTextStorage() = default;
  HeapTextStorage(const HeapTextStorage&) = delete;
  HeapTextStorage& operator=(const HeapTextStorage&) = delete;
  ~HeapTextStorage() { std::free(block_); }

  char* resize(char* data, std::size_t, std::size_t capacity) override {
    void* block = std::realloc(data, capacity);
    if (block == nullptr) throw std::bad_alloc();
    block_ = static_cast<char*>(block);
    return block_;
  }

 private:
  char* block_ = nullptr;
};

class TextBuffer {
 public:
  /// A buffer on heap memory of its own with room for `expected` bytes.
  explicit TextBuffer(std::size_t expected) : storage_(&heap_) { reserve(expected); }
  /// A buffer writing into the blocks of `storage`, which must outlive it.
  /// Nothing is requested from the storage before the first write or `reserve`.
  explicit TextBuffer(TextStorage& storage) : storage_(&storage) {}
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  /// Bytes written so far, and where they start (null before the first write).
  std::size_t size() const { return static_cast<std::size_t>(pos_ - data_); }
  const char* data() const { return data_; }
  std::string_view view() const { return {data_, size()}; }
  /// Drops everything written after the first `n` bytes.
  void truncate(std::size_t n) { pos_ = data_ + n; }

  /// Room for `n` more bytes without growing (a writer's estimate of the
  /// whole text, so that the block rarely grows).
  void reserve(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) grow_to(size() + n);
  }

  /// Room for `n` more bytes; returns where they go (see `advance_to`).
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) grow(n);
    return pos_;
  }
  /// Marks the bytes up to `p` (within the last `room`) as written.
  void advance_to(char* p) { pos_ = p; }

  TextBuffer& operator+=(char c) {
    room(1);
    *pos_++ = c;
    return *this;
  }
  /// A fixed text: brackets, separators, JSON member names with their quotes.
  template <std::size_t N>
  TextBuffer& operator+=(const char (&text)[N]) {
    room(N - 1);
    std::memcpy(pos_, text, N - 1);
    pos_ += N - 1;
    return *this;
  }
  TextBuffer& operator+=(std::string_view text) {
    if (text.empty()) return *this;  // an empty text may have no bytes at all
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
  /// The text `append_text` gives for `value` (a float text, say).
  template <class T>
  void put_via(void (*append_text)(std::string&, T), T value) {
    scratch_.clear();
    append_text(scratch_, value);
    *this += std::string_view(scratch_);
  }

  /// A copy of the text as a string.
  std::string take() && { return std::string(data_, size()); }

 private:
  static constexpr std::size_t kMinimum = 128;

  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t used = size();
    const std::size_t capacity = static_cast<std::size_t>(end_ - data_);
    grow_to(capacity * 2 > used + n ? capacity * 2 : used + n);
  }
  void grow_to(std::size_t capacity) {
    if (capacity < kMinimum) capacity = kMinimum;
    const std::size_t used = size();
    data_ = storage_->resize(data_, used, capacity);
    pos_ = data_ + used;
    end_ = data_ + capacity;
  }

  HeapTextStorage heap_;
  TextStorage* storage_;
  char* data_ = nullptr;
  char* pos_ = nullptr;
  char* end_ = nullptr;
  std::string scratch_;
};

// ---- items with a separator ---------------------------------------------------
//
// Two forms, for the two shapes of loop the writers have:
//
//   write_separated(out, items, ",", [](TextBuffer& out, const T& item) {...});
//
// writes every item of a range with the separator between them, and
//
//   Separator comma(out, ',');
//   for (...) { comma(); ...write the item... }
//
// writes the separator before every item but the first, for items that are
// not one range (skipped entries, members of several lists). The separator is
// a char, a string literal or a string_view: whatever `TextBuffer +=` takes.

template <class Sep>
class Separator {
 public:
  Separator(TextBuffer& out, const Sep& separator) : out_(out), separator_(separator) {}
  Separator(const Separator&) = delete;
  Separator& operator=(const Separator&) = delete;
  /// Before an item: the separator, unless it is the first item.
  void operator()() {
    if (first_)
      first_ = false;
    else
      out_ += separator_;
  }

 private:
  TextBuffer& out_;
  // A string literal is kept by reference (it is static), anything else by value.
  std::conditional_t<std::is_array_v<Sep>, const Sep&, Sep> separator_;
  bool first_ = true;
};

template <class Range, class Sep, class WriteItem>
void write_separated(TextBuffer& out, const Range& items, const Sep& separator,
                     WriteItem&& write_item) {
  auto it = std::begin(items);
  const auto end = std::end(items);
  if (it == end) return;
  write_item(out, *it);
  for (++it; it != end; ++it) {
    out += separator;
    write_item(out, *it);
  }
}

// A literal value with its lists in square brackets, `separator` between the
// items of a list and each number written by `write_number(out, value)`.
// Lists nest to any depth, so the walk keeps its own stack of open lists
// instead of recursing.
template <class Sep, class WriteNumber>
void write_literal_lists(TextBuffer& out, const LiteralValue& root, const Sep& separator,
                         WriteNumber write_number) {
  struct OpenList {
    const LiteralValue* next;
    const LiteralValue* end;
  };
  SmallVector<OpenList, 8> open;
  const LiteralValue* value = &root;
  for (;;) {
    if (value->is_list()) {
      const List<LiteralValue>& items = value->as_list();
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
