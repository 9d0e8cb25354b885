// The data model: immutable values for modules of the tensor language.
//
// Storage. Every text, list and tensor type of a module lives in the module's
// `Context`: a bump allocator that the module (and every module a pass builds
// from it) holds by shared pointer. Values are small handles into it: a text
// is a `std::string_view`, a list a `List<T>` (pointer and length), a tensor
// type a `TypeRef` to a type interned once per context. Handles are
// trivially copyable and valid while some module holding their context lives;
// copying a module or an op copies handles, never the texts they point at.
// A text may also point at static storage (a string literal).
//
// Values are never changed once built: a pass reads a module and builds a new
// one over the same context, appending what is new; its input stays as it
// was. A context belongs to the call that built its first module and is not
// shared between threads.
//
// Maps of the module keep insertion order, the maps of the check report are
// sorted by the bytes of their keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "core/small_vector.h"
#include "core/text_hash.h"

namespace quarvel {

/// A text of the data model: UTF-8 bytes owned by a `Context` (or static).
using Text = std::string_view;

/// Hash for text containers that are searched with string_view keys, so that a
/// lookup needs no copy of its key.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;
template <class V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

/// Overload set for std::visit: `std::visit(Overloaded{[](const View&) {...}, ...}, kind)`.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

/// An immutable list whose elements live in a `Context` (or in static
/// storage). Copying a list copies the handle. Equality compares elements.
template <class T>
class List {
 public:
  using value_type = T;
  using const_iterator = const T*;
  using iterator = const T*;

  constexpr List() noexcept = default;
  /// `data` must stay valid as long as the list is used.
  constexpr List(const T* data, std::size_t size) noexcept : data_(data), size_(size) {}

  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  const T& front() const noexcept { return data_[0]; }
  const T& back() const noexcept { return data_[size_ - 1]; }
  std::span<const T> span() const noexcept { return {data_, size_}; }
  operator std::span<const T>() const noexcept { return {data_, size_}; }

  bool operator==(const List& other) const {
    if (size_ != other.size_) return false;
    for (std::size_t i = 0; i < size_; ++i)
      if (!(data_[i] == other.data_[i])) return false;
    return true;
  }

 private:
  const T* data_ = nullptr;
  std::size_t size_ = 0;
};

/// Insertion-ordered map from text to V. Inserting a present key replaces its
/// value and keeps the key at its first position. Small maps are searched in
/// place; larger ones keep a hash index beside the entries. With Key = Text
/// the map borrows its keys, which must outlive it. Pointers to values stay
/// valid until the next insertion.
template <class V, class Key = Text>
class OrderedMap {
 public:
  using Entry = std::pair<Key, V>;
  using const_iterator = typename std::vector<Entry>::const_iterator;
  using iterator = typename std::vector<Entry>::iterator;

  /// Returns true when the key was new.
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

/// One dimension of a shape: a fixed size or a symbolic name.
struct Dim {
  std::variant<std::int64_t, Text> v;

  static Dim concrete(std::int64_t n) { return Dim{n}; }
  static Dim named(Text s) { return Dim{s}; }
  bool is_concrete() const { return v.index() == 0; }
  bool is_named() const { return v.index() == 1; }
  std::int64_t value() const { return std::get<0>(v); }
  Text name() const { return std::get<1>(v); }
  bool operator==(const Dim&) const = default;
};

using Shape = List<Dim>;
/// A shape being built, before the context interns it.
using ShapeBuilder = SmallVector<Dim, 4>;

/// A tensor type. Types are interned: a context holds each distinct type once,
/// and `TypeRef` points at it.
struct TensorType {
  Text dtype;  // "*" marks a wildcard
  Shape shape;

  bool is_wildcard() const { return dtype == "*"; }
  bool operator==(const TensorType&) const = default;
};

/// A handle to an interned `TensorType`, or to none (an output declared
/// without a type). Reads like `std::optional<TensorType>`. Two handles are
/// equal when both are empty or both types are equal; within one context that
/// is a comparison of pointers.
class TypeRef {
 public:
  constexpr TypeRef() noexcept = default;
  constexpr TypeRef(std::nullopt_t) noexcept {}
  explicit constexpr TypeRef(const TensorType* type) noexcept : type_(type) {}

  bool has_value() const noexcept { return type_ != nullptr; }
  explicit operator bool() const noexcept { return type_ != nullptr; }
  const TensorType& operator*() const noexcept { return *type_; }
  const TensorType* operator->() const noexcept { return type_; }
  const TensorType& value() const noexcept { return *type_; }
  const TensorType* get() const noexcept { return type_; }

  bool operator==(const TypeRef& other) const {
    if (type_ == other.type_) return true;
    if (type_ == nullptr || other.type_ == nullptr) return false;
    return *type_ == *other.type_;
  }

 private:
  const TensorType* type_ = nullptr;
};

struct Param {
  Text name;
  TypeRef ty;  // never empty
  bool operator==(const Param&) const = default;
};

/// One operation argument: an integer, a float or a name, in 16 bytes. A
/// default atom is the integer 0.
class Atom {
 public:
  static Atom integer(std::int64_t n) {
    Atom a;
    a.int_ = n;
    return a;
  }
  static Atom real(double x) {
    Atom a;
    a.real_ = x;
    a.meta_ = kFloat;
    return a;
  }
  static Atom str(Text s) {
    Atom a;
    a.data_ = s.data();
    a.meta_ = kStr | s.size();
    return a;
  }
  bool is_int() const { return (meta_ & kKindMask) == kInt; }
  bool is_float() const { return (meta_ & kKindMask) == kFloat; }
  bool is_str() const { return (meta_ & kKindMask) == kStr; }
  std::int64_t as_int() const { return int_; }
  double as_float() const { return real_; }
  Text as_str() const { return Text(data_, meta_ & ~kKindMask); }

  /// Calls `f` with the value: a std::int64_t, a double or a Text.
  template <class F>
  decltype(auto) visit(F&& f) const {
    if (is_int()) return f(int_);
    if (is_float()) return f(real_);
    return f(as_str());
  }
  /// Equal kinds and equal values (floats compared as numbers).
  bool operator==(const Atom& other) const {
    if ((meta_ & kKindMask) != (other.meta_ & kKindMask)) return false;
    if (is_int()) return int_ == other.int_;
    if (is_float()) return real_ == other.real_;
    return as_str() == other.as_str();
  }

 private:
  // The kind in the top two bits of meta_; a name's length below them.
  static constexpr std::uint64_t kInt = 0;
  static constexpr std::uint64_t kFloat = std::uint64_t{1} << 62;
  static constexpr std::uint64_t kStr = std::uint64_t{2} << 62;
  static constexpr std::uint64_t kKindMask = std::uint64_t{3} << 62;

  union {
    std::int64_t int_ = 0;
    double real_;
    const char* data_;
  };
  std::uint64_t meta_ = kInt;
};
static_assert(sizeof(Atom) == 16);

/// The value of a `literal` operation; lists nest.
struct LiteralValue {
  std::variant<std::int64_t, double, List<LiteralValue>> v;

  static LiteralValue integer(std::int64_t n) { return LiteralValue{n}; }
  static LiteralValue real(double x) { return LiteralValue{x}; }
  static LiteralValue list(List<LiteralValue> items) { return LiteralValue{items}; }
  bool is_int() const { return v.index() == 0; }
  bool is_float() const { return v.index() == 1; }
  bool is_list() const { return v.index() == 2; }
  std::int64_t as_int() const { return std::get<0>(v); }
  double as_float() const { return std::get<1>(v); }
  const List<LiteralValue>& as_list() const { return std::get<2>(v); }
  bool operator==(const LiteralValue&) const = default;
};

/// The trip count of a `loop`: a number (unsigned) or a configuration name.
struct LoopCount {
  std::variant<std::uint64_t, Text> v;

  static LoopCount concrete(std::uint64_t n) { return LoopCount{n}; }
  static LoopCount named(Text s) { return LoopCount{s}; }
  bool is_concrete() const { return v.index() == 0; }
  bool is_named() const { return v.index() == 1; }
  std::uint64_t value() const { return std::get<0>(v); }
  Text name() const { return std::get<1>(v); }
  bool operator==(const LoopCount&) const = default;
};

/// One entry of the `axes` of a view or tile.
struct Axis {
  Text name;
  std::int64_t size = 0;
  bool operator==(const Axis&) const = default;
};

/// The axes of a view or tile: axis names with sizes, in insertion order,
/// each name once. Built through `AxesBuilder`, which applies the map rule
/// (a repeated name replaces the value at its first position).
class Axes : public List<Axis> {
 public:
  using List<Axis>::List;
  constexpr Axes(List<Axis> list) noexcept : List<Axis>(list) {}

  const std::int64_t* find(std::string_view name) const {
    for (const Axis& a : *this)
      if (a.name == name) return &a.size;
    return nullptr;
  }
  bool contains(std::string_view name) const { return find(name) != nullptr; }
};
using AxesBuilder = OrderedMap<std::int64_t, Text>;

/// A text or none, in the room of a text: the top bit of the length says
/// whether there is a text, so that an empty text and none stay apart. It
/// reads like std::optional<Text>.
class OptionalText {
 public:
  constexpr OptionalText() noexcept = default;
  constexpr OptionalText(std::nullopt_t) noexcept {}
  constexpr OptionalText(Text text) noexcept : data_(text.data()), size_(text.size() | kPresent) {}
  constexpr OptionalText(const char* text) noexcept : OptionalText(Text(text)) {}
  constexpr OptionalText(const std::optional<Text>& text) noexcept
      : OptionalText(text ? OptionalText(*text) : OptionalText()) {}

  constexpr bool has_value() const noexcept { return size_ != 0; }
  constexpr explicit operator bool() const noexcept { return has_value(); }
  /// The text; empty when there is none.
  constexpr Text operator*() const noexcept { return Text(data_, size_ & ~kPresent); }
  friend constexpr bool operator==(const OptionalText& a, const OptionalText& b) noexcept {
    return a.has_value() == b.has_value() && *a == *b;
  }

 private:
  static constexpr std::size_t kPresent = std::size_t{1} << 63;  // beyond any text's length
  const char* data_ = nullptr;
  std::size_t size_ = 0;  // the length with kPresent; 0: no text
};

// The thirteen operation kinds with their own fields, in tag order.
struct View { Text pattern; Axes axes; bool operator==(const View&) const = default; };
struct Map { Text function; bool operator==(const Map&) const = default; };
struct Fold { Text pattern; Text reduction; bool operator==(const Fold&) const = default; };
struct Tile { Text pattern; Axes axes; bool operator==(const Tile&) const = default; };
struct Read { Text pattern; bool operator==(const Read&) const = default; };
struct Write { Text pattern; Text reduction; bool operator==(const Write&) const = default; };
struct Contract { Text pattern; bool operator==(const Contract&) const = default; };
struct Literal { LiteralValue value; bool operator==(const Literal&) const = default; };
struct Iota { bool operator==(const Iota&) const = default; };
struct Random { double lower = 0; double upper = 0; bool operator==(const Random&) const = default; };
struct Call { Text target; bool operator==(const Call&) const = default; };
struct Loop { Text target; LoopCount count; bool operator==(const Loop&) const = default; };
struct Cache {
  Text var;
  Text init;
  OptionalText extend;
  bool operator==(const Cache&) const = default;
};

using OpKind = std::variant<View, Map, Fold, Tile, Read, Write, Contract, Literal, Iota, Random,
                            Call, Loop, Cache>;

/// The tag of each kind: its position in `OpKind`. A switch over `OpTag`
/// without `default` makes the compiler name every kind it misses.
enum class OpTag : std::uint8_t {
  View, Map, Fold, Tile, Read, Write, Contract, Literal, Iota, Random, Call, Loop, Cache
};
inline constexpr std::size_t kKindCount = std::variant_size_v<OpKind>;

/// One row per kind, in tag order: the word that names it in source text and
/// in the JSON form.
inline constexpr std::string_view kKindWords[kKindCount] = {
    "view", "map", "fold", "tile", "read", "write", "contract",
    "literal", "iota", "random", "call", "loop", "cache"};
static_assert(static_cast<std::size_t>(OpTag::Cache) + 1 == kKindCount);

inline OpTag op_tag(const OpKind& kind) { return static_cast<OpTag>(kind.index()); }
inline std::string_view kind_word(OpTag tag) { return kKindWords[static_cast<std::size_t>(tag)]; }
inline std::string_view kind_word(const OpKind& kind) { return kKindWords[kind.index()]; }
namespace detail {
// Kind words are looked up in a table of 64 slots filled from kKindWords; a
// word's slot comes from its length and its first and last bytes. The table
// does not compile when two kind words share a slot.
constexpr std::size_t kind_slot(std::string_view w) {
  return (w.size() + 3 * static_cast<unsigned char>(w.front()) +
          static_cast<unsigned char>(w.back())) &
         63;
}
struct KindSlots {
  std::uint8_t tag_plus_one[64];  // 0: no kind word has this slot
};
constexpr KindSlots make_kind_slots() {
  KindSlots slots{};
  for (std::size_t tag = 0; tag < kKindCount; ++tag) {
    std::uint8_t& slot = slots.tag_plus_one[kind_slot(kKindWords[tag])];
    if (slot != 0) throw "two kind words share a slot: change kind_slot";
    slot = static_cast<std::uint8_t>(tag + 1);
  }
  return slots;
}
inline constexpr KindSlots kKindSlots = make_kind_slots();
}  // namespace detail

/// The tag of a kind word (compared byte for byte), or nothing for a text that
/// names no kind. The words are short: the comparison takes a load or two
/// rather than a call.
inline std::optional<OpTag> kind_tag(std::string_view word) {
  if (word.empty()) return std::nullopt;
  const unsigned entry = detail::kKindSlots.tag_plus_one[detail::kind_slot(word)];
  if (entry == 0 || !same_text(kKindWords[entry - 1], word)) return std::nullopt;
  return static_cast<OpTag>(entry - 1);
}
/// A kind with its fields empty (zero, empty text, no axes).
OpKind empty_kind(OpTag tag);

using Outputs = List<Text>;
using OutputTypes = List<TypeRef>;  // empty entries: no type declared
using Args = List<Atom>;
using Comments = List<Text>;

/// What an operation does, with the comments written before it. Operations
/// point at their head, which a context shares between the operations that
/// recur (Context::head says when).
struct OpHead {
  OpKind kind;
  Comments comments;
  bool operator==(const OpHead&) const = default;
};

/// A handle to an `OpHead` in a context; a default handle is an empty
/// `view` without comments. Two handles are equal when their heads are
/// equal, which for a shared head is a comparison of pointers.
class HeadRef {
 public:
  constexpr HeadRef() noexcept = default;
  explicit constexpr HeadRef(const OpHead* head) noexcept : head_(head) {}

  const OpHead& operator*() const noexcept { return *head_; }
  const OpHead* operator->() const noexcept { return head_; }
  const OpHead* get() const noexcept { return head_; }
  bool operator==(const HeadRef& other) const {
    return head_ == other.head_ || *head_ == *other.head_;
  }

 private:
  static const OpHead kNoHead;
  const OpHead* head_ = &kNoHead;
};
inline const OpHead HeadRef::kNoHead{};

/// One operation. Trivially copyable: its head, lists and texts live in the
/// context.
struct Op {
  HeadRef head;
  Outputs outputs;
  OutputTypes output_types;  // by output position; may differ in length
  Args args;

  const OpKind& kind() const { return head->kind; }
  const Comments& comments() const { return head->comments; }
  bool operator==(const Op&) const = default;
};

struct Function {
  Text name;
  Comments comments;
  List<Param> params;
  List<Param> returns;
  std::vector<Op> ops;
  bool operator==(const Function&) const = default;
};

/// The storage behind a module's values: texts, lists, interned tensor types
/// and op heads. Memory comes in chunks from the heap and is given back all
/// at once when the last module holding the context is destroyed. Only
/// trivially destructible values are stored.
class Context {
 public:
  Context() = default;
  /// How `head` stores heads: each distinct head once (a module kept for
  /// its passes), or each head on its own, without a lookup (a module read
  /// only to be written once, a function at a time).
  enum class Heads : std::uint8_t { Interned, Separate };
  explicit Context(Heads heads) : heads_mode_(heads) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context();

  /// A copy of `text` in this context.
  Text text(std::string_view text);
  /// A copy of `items` in this context.
  template <class T>
  List<T> list(std::span<const T> items) {
    static_assert(std::is_trivially_destructible_v<T> && std::is_trivially_copyable_v<T>);
    if (items.empty()) return {};
    T* data = allocate<T>(items.size());
    std::memcpy(static_cast<void*>(data), items.data(), items.size() * sizeof(T));
    return List<T>(data, items.size());
  }
  template <class T>
  List<T> list(std::initializer_list<T> items) {
    return list(std::span<const T>(items.begin(), items.size()));
  }
  template <class T, std::size_t N>
  List<T> list(const SmallVector<T, N>& items) {
    return list(std::span<const T>(items.data(), items.size()));
  }
  template <class T>
  List<T> list(const std::vector<T>& items) {
    return list(std::span<const T>(items.data(), items.size()));
  }
  Axes axes(const AxesBuilder& builder);

  /// The interned type with this dtype and shape. The texts of `dtype` and of
  /// the named dimensions are copied when the type is new.
  TypeRef type(std::string_view dtype, std::span<const Dim> shape);
  TypeRef type(std::string_view dtype, std::initializer_list<Dim> shape) {
    return type(dtype, std::span<const Dim>(shape.begin(), shape.size()));
  }
  TypeRef type(const TensorType& ty) { return type(ty.dtype, ty.shape.span()); }

  /// The head with this kind and these comments. Unless the context was
  /// made with Heads::Separate, a head made before with the same fields is
  /// given back: texts are compared, and found, by address first (a parse
  /// interns them), doubles by their bits, so that 0.0 and -0.0 stay apart;
  /// a literal's head is always new, since its value may nest deeper than a
  /// comparison should recurse. The texts and lists must live in this
  /// context; they are not copied.
  HeadRef head(const OpKind& kind, Comments comments = {});
  /// `op`'s head with its kind replaced by `kind`.
  HeadRef head(const Op& op, const OpKind& kind) { return head(kind, op.comments()); }

  /// Uninitialised room for `n` values of T.
  template <class T>
  T* allocate(std::size_t n) {
    static_assert(std::is_trivially_destructible_v<T>);
    return static_cast<T*>(allocate_bytes(n * sizeof(T), alignof(T)));
  }
  void* allocate_bytes(std::size_t bytes, std::size_t align) {
    auto p = reinterpret_cast<std::uintptr_t>(next_);
    p = (p + align - 1) & ~(static_cast<std::uintptr_t>(align) - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(end_);
    if (next_ == nullptr || p > end || bytes > end - p) return new_chunk(bytes, align);
    next_ = reinterpret_cast<char*>(p + bytes);
    return reinterpret_cast<void*>(p);
  }

  /// Heap bytes taken by the context's chunks and its type table.
  std::size_t bytes_reserved() const;

 private:
  struct TypeKey {
    std::string_view dtype;
    std::span<const Dim> shape;
  };
  struct TypeHash {
    using is_transparent = void;
    std::size_t operator()(const TensorType* ty) const noexcept;
    std::size_t operator()(const TypeKey& key) const noexcept;
  };
  struct TypeEq {
    using is_transparent = void;
    bool operator()(const TensorType* a, const TensorType* b) const noexcept { return a == b; }
    bool operator()(const TypeKey& a, const TensorType* b) const noexcept;
    bool operator()(const TensorType* a, const TypeKey& b) const noexcept { return (*this)(b, a); }
  };

  void* new_chunk(std::size_t bytes, std::size_t align);
  void grow_heads();

  std::vector<char*> chunks_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::size_t chunk_size_ = 0;
  std::size_t reserved_ = 0;
  std::unordered_set<const TensorType*, TypeHash, TypeEq> types_;
  // The interned heads: an open-addressing table of pointers, probed
  // linearly and at most half full, so that a head costs a slot or two
  // beside itself.
  std::vector<const OpHead*> head_slots_;
  std::size_t heads_ = 0;
  Heads heads_mode_ = Heads::Interned;
};

struct Module {
  /// A module with an empty context of its own.
  Module();
  /// A module over an existing context (what passes build).
  explicit Module(std::shared_ptr<Context> context) : context(std::move(context)) {}

  std::shared_ptr<Context> context;
  Comments header_comments;
  OrderedMap<Function> functions;  // keyed by function name; the key may differ from `name`

  Context& ctx() const { return *context; }
  /// Equality of contents; the contexts may differ.
  bool operator==(const Module& other) const {
    return header_comments == other.header_comments && functions == other.functions;
  }
};

/// What a module demands of its configuration.
struct Constraints {
  std::set<std::string> params;
  std::map<std::string, std::map<std::string, TypeRef>> weights;
  bool operator==(const Constraints&) const = default;
};

/// The checker's result. The types of `constraints.weights` live in `context`.
struct CheckReport {
  std::vector<std::string> errors;
  Constraints constraints;
  std::shared_ptr<Context> context;
  bool operator==(const CheckReport& other) const {
    return errors == other.errors && constraints == other.constraints;
  }
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
std::string debug_shape(std::span<const Dim> shape);  // [Concrete(4), Named("n")]
/// TensorType { dtype: "f32", shape: [Concrete(4)] }
std::string debug_tensor_type(const TensorType& ty);
/// The same form under another record name (the checker's `Ty`).
std::string debug_type_record(std::string_view record, std::string_view dtype,
                              std::span<const Dim> shape);

/// True when `text` starts with `prefix` (byte comparison).
inline bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace quarvel
