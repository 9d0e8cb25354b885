// The data model: plain value types for modules of the tensor language.
//
// Every value owns its parts; copies are deep; passes build new values and
// never change their input. Maps of the module keep insertion order, the
// maps of the check report are sorted by the bytes of their keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "core/small_vector.h"

namespace quarvel {

// Hash for text containers that are searched with string_view keys, so that a
// lookup needs no copy of its key.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;
template <class V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

// Insertion-ordered map from text to V. Inserting a present key replaces its
// value and keeps the key at its first position. Small maps are searched in
// place; larger ones keep a hash index beside the entries. With Key =
// std::string_view the map borrows its keys, which must outlive it. Pointers
// to values stay valid until the next insertion.
template <class V, class Key = std::string>
class OrderedMap {
 public:
  using Entry = std::pair<Key, V>;
  using const_iterator = typename std::vector<Entry>::const_iterator;
  using iterator = typename std::vector<Entry>::iterator;

  // Returns true when the key was new.
  bool insert(Key key, V value) {
    if (V* present = find(key)) {
      *present = std::move(value);
      return false;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    if (!index_.empty()) {
      index_.emplace(entries_.back().first, entries_.size() - 1);
    } else if (entries_.size() > kLinearLimit) {
      for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
    }
    return true;
  }

  const V* find(std::string_view key) const {
    if (index_.empty()) {
      for (const Entry& e : entries_)
        if (e.first == key) return &e.second;
      return nullptr;
    }
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  V* find(std::string_view key) {
    return const_cast<V*>(static_cast<const OrderedMap*>(this)->find(key));
  }
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(std::size_t n) { entries_.reserve(n); }
  void clear() {
    entries_.clear();
    index_.clear();
  }
  const Entry& at_position(std::size_t i) const { return entries_[i]; }

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  // Values may be changed in place; keys must not be.
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }

  bool operator==(const OrderedMap& other) const { return entries_ == other.entries_; }

 private:
  static constexpr std::size_t kLinearLimit = 16;
  std::vector<Entry> entries_;
  std::unordered_map<Key, std::size_t, TextHash, std::equal_to<>> index_;
};

// One dimension of a shape: a fixed size or a symbolic name.
struct Dim {
  std::variant<std::int64_t, std::string> v;

  static Dim concrete(std::int64_t n) { return Dim{n}; }
  static Dim named(std::string s) { return Dim{std::move(s)}; }
  bool is_concrete() const { return v.index() == 0; }
  bool is_named() const { return v.index() == 1; }
  std::int64_t value() const { return std::get<0>(v); }
  const std::string& name() const { return std::get<1>(v); }
  bool operator==(const Dim&) const = default;
};

// Shapes, output lists and argument lists are short: they keep their first
// elements in place.
using Shape = SmallVector<Dim, 4>;

struct TensorType {
  std::string dtype;  // "*" marks a wildcard
  Shape shape;

  bool is_wildcard() const { return dtype == "*"; }
  bool operator==(const TensorType&) const = default;
};

struct Param {
  std::string name;
  TensorType ty;
  bool operator==(const Param&) const = default;
};

// One operation argument.
struct Atom {
  std::variant<std::int64_t, double, std::string> v;

  static Atom integer(std::int64_t n) { return Atom{n}; }
  static Atom real(double x) { return Atom{x}; }
  static Atom str(std::string s) { return Atom{std::move(s)}; }
  bool is_int() const { return v.index() == 0; }
  bool is_float() const { return v.index() == 1; }
  bool is_str() const { return v.index() == 2; }
  std::int64_t as_int() const { return std::get<0>(v); }
  double as_float() const { return std::get<1>(v); }
  const std::string& as_str() const { return std::get<2>(v); }
  bool operator==(const Atom&) const = default;
};

// The value of a `literal` operation; lists nest.
struct LiteralValue {
  std::variant<std::int64_t, double, std::vector<LiteralValue>> v;

  static LiteralValue integer(std::int64_t n) { return LiteralValue{n}; }
  static LiteralValue real(double x) { return LiteralValue{x}; }
  static LiteralValue list(std::vector<LiteralValue> items) { return LiteralValue{std::move(items)}; }
  bool is_int() const { return v.index() == 0; }
  bool is_float() const { return v.index() == 1; }
  bool is_list() const { return v.index() == 2; }
  std::int64_t as_int() const { return std::get<0>(v); }
  double as_float() const { return std::get<1>(v); }
  const std::vector<LiteralValue>& as_list() const { return std::get<2>(v); }
  bool operator==(const LiteralValue&) const = default;
};

// The trip count of a `loop`: a number (unsigned) or a configuration name.
struct LoopCount {
  std::variant<std::uint64_t, std::string> v;

  static LoopCount concrete(std::uint64_t n) { return LoopCount{n}; }
  static LoopCount named(std::string s) { return LoopCount{std::move(s)}; }
  bool is_concrete() const { return v.index() == 0; }
  bool is_named() const { return v.index() == 1; }
  std::uint64_t value() const { return std::get<0>(v); }
  const std::string& name() const { return std::get<1>(v); }
  bool operator==(const LoopCount&) const = default;
};

using Axes = OrderedMap<std::int64_t>;

// The thirteen operation kinds with their own fields, in tag order.
struct View { std::string pattern; Axes axes; bool operator==(const View&) const = default; };
struct Map { std::string function; bool operator==(const Map&) const = default; };
struct Fold { std::string pattern; std::string reduction; bool operator==(const Fold&) const = default; };
struct Tile { std::string pattern; Axes axes; bool operator==(const Tile&) const = default; };
struct Read { std::string pattern; bool operator==(const Read&) const = default; };
struct Write { std::string pattern; std::string reduction; bool operator==(const Write&) const = default; };
struct Contract { std::string pattern; bool operator==(const Contract&) const = default; };
struct Literal { LiteralValue value; bool operator==(const Literal&) const = default; };
struct Iota { bool operator==(const Iota&) const = default; };
struct Random { double lower = 0; double upper = 0; bool operator==(const Random&) const = default; };
struct Call { std::string target; bool operator==(const Call&) const = default; };
struct Loop { std::string target; LoopCount count; bool operator==(const Loop&) const = default; };
struct Cache {
  std::string var;
  std::string init;
  std::optional<std::string> extend;
  bool operator==(const Cache&) const = default;
};

using OpKind = std::variant<View, Map, Fold, Tile, Read, Write, Contract, Literal, Iota, Random,
                            Call, Loop, Cache>;

inline constexpr std::size_t kKindCount = 13;
// Kind words by tag (the variant index of `OpKind`).
inline constexpr std::string_view kKindWords[kKindCount] = {
    "view", "map", "fold", "tile", "read", "write", "contract",
    "literal", "iota", "random", "call", "loop", "cache"};

inline std::string_view kind_word(const OpKind& kind) { return kKindWords[kind.index()]; }
// The tag of a kind word, or nothing for a text that names no kind.
std::optional<std::size_t> kind_tag(std::string_view word);

using Outputs = SmallVector<std::string, 1>;
using OutputTypes = SmallVector<std::optional<TensorType>, 1>;
using Args = SmallVector<Atom, 2>;

struct Op {
  OpKind kind;
  Outputs outputs;
  OutputTypes output_types;  // by output position; may differ in length
  Args args;
  std::vector<std::string> comments;
  bool operator==(const Op&) const = default;
};

struct Function {
  std::string name;
  std::vector<std::string> comments;
  std::vector<Param> params;
  std::vector<Param> returns;
  std::vector<Op> ops;
  bool operator==(const Function&) const = default;
};

struct Module {
  std::vector<std::string> header_comments;
  OrderedMap<Function> functions;  // keyed by function name; the key may differ from `name`
  bool operator==(const Module&) const = default;
};

// What a module demands of its configuration.
struct Constraints {
  std::set<std::string> params;
  std::map<std::string, std::map<std::string, TensorType>> weights;
  bool operator==(const Constraints&) const = default;
};

struct CheckReport {
  std::vector<std::string> errors;
  Constraints constraints;
  bool operator==(const CheckReport&) const = default;
};

// Debug forms used inside messages.
//
// Quoted text: the text in double quotes with backslash escapes for the
// double quote, the backslash, tab, line feed, carriage return and NUL, and
// \u{..} for other control characters, characters that are not printable
// and characters that extend a grapheme.
void append_quoted(std::string& out, std::string_view text);
std::string quoted_text(std::string_view text);

std::string debug_dim(const Dim& dim);                  // Concrete(4), Named("n")
std::string debug_shape(const Shape& shape);  // [Concrete(4), Named("n")]
// TensorType { dtype: "f32", shape: [Concrete(4)] }
std::string debug_tensor_type(const TensorType& ty);
// The same form under another record name (the checker's `Ty`).
std::string debug_type_record(std::string_view record, const std::string& dtype,
                              const Shape& shape);

// True when `text` starts with `prefix` (byte comparison).
inline bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace quarvel
