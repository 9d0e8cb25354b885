// A table of the names in scope, for the passes that look names up op by op
// (the checker, axis inference).
//
// An open-addressing table of views into a module's texts, mapping each name
// to a tensor type. Entries carry the generation that wrote them, so emptying
// the table for the next function costs nothing and one table serves a whole
// call; it allocates only when it grows. The table borrows its keys: they must
// outlive the generation they were inserted in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/ast.h"
#include "core/text_hash.h"

namespace quarvel {

/// Typed names in scope; see the top of this file.
class ScopeTable {
 public:
  // Empties the table and makes room for about `n` names.
  void reset(std::size_t n) {
    if (++generation_ == 0) {  // wrapped: forget every old entry for good
      for (Slot& s : slots_) s.generation = 0;
      generation_ = 1;
    }
    size_ = 0;
    std::size_t want = 16;
    while (want < 2 * n) want *= 2;
    if (want > slots_.size()) rehash(want);
  }

  // A later insertion of a name replaces its type.
  void insert_or_assign(std::string_view key, const TensorType* value) {
    if (2 * (size_ + 1) > slots_.size()) rehash(slots_.size() * 2);
    probe(key).value = value;
  }

  const TensorType* find(std::string_view key) const {
    const Slot& s = slots_[slot_of(key, text_hash(key))];
    return s.generation == generation_ ? s.value : nullptr;
  }

 private:
  struct Slot {
    std::string_view key;
    const TensorType* value = nullptr;
    std::uint32_t generation = 0;
    std::uint32_t tag = 0;  // high bits of the key's hash
  };

  // The slot holding `key`, or the free slot where it would go.
  std::size_t slot_of(std::string_view key, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.generation != generation_ || (s.tag == tag && same_text(s.key, key))) return i;
    }
  }
  // The slot for `key`, filled with the key when it was free.
  Slot& probe(std::string_view key) {
    const std::uint64_t hash = text_hash(key);
    Slot& s = slots_[slot_of(key, hash)];
    if (s.generation != generation_) {
      s.generation = generation_;
      s.key = key;
      s.tag = static_cast<std::uint32_t>(hash >> 32);
      ++size_;
    }
    return s;
  }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    const std::uint32_t old_generation = generation_;
    generation_ = 1;
    size_ = 0;
    for (const Slot& s : old)
      if (s.generation == old_generation) probe(s.key).value = s.value;
  }

  std::vector<Slot> slots_ = std::vector<Slot>(16);
  std::size_t size_ = 0;
  std::uint32_t generation_ = 1;
};

}  // namespace quarvel
