#include "core/ast.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>

#include "core/numtext.h"

namespace quarvel {

namespace {
template <std::size_t... I>
OpKind empty_kind_at(std::size_t tag, std::index_sequence<I...>) {
  OpKind kind;
  ((tag == I ? (kind.emplace<I>(), 0) : 0), ...);
  return kind;
}
}  // namespace

OpKind empty_kind(OpTag tag) {
  return empty_kind_at(static_cast<std::size_t>(tag), std::make_index_sequence<kKindCount>{});
}

// ---- context ------------------------------------------------------------------

namespace {
// Chunks start small (most modules are small) and double up to this size;
// larger requests get a chunk of their own.
constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kLargestChunk = std::size_t{1} << 20;

std::size_t mix(std::size_t h, std::size_t v) {
  return h ^ (v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2));
}
std::size_t hash_type(std::string_view dtype, std::span<const Dim> shape) {
  std::size_t h = std::hash<std::string_view>{}(dtype);
  for (const Dim& d : shape) {
    h = mix(h, d.is_concrete() ? std::hash<std::int64_t>{}(d.value())
                               : std::hash<std::string_view>{}(d.name()) * 31 + 7);
  }
  return mix(h, shape.size());
}
bool same_type(std::string_view dtype, std::span<const Dim> shape, const TensorType& ty) {
  if (dtype != ty.dtype || shape.size() != ty.shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i)
    if (!(shape[i] == ty.shape[i])) return false;
  return true;
}
}  // namespace

Context::~Context() {
  for (char* chunk : chunks_) ::operator delete(chunk);
}

void* Context::new_chunk(std::size_t bytes, std::size_t align) {
  const std::size_t need = bytes + align;
  if (need > kLargestChunk / 2) {
    // A large list: a chunk of its own, so that the current one stays in use.
    char* chunk = static_cast<char*>(::operator new(need));
    chunks_.push_back(chunk);
    reserved_ += need;
    auto p = reinterpret_cast<std::uintptr_t>(chunk);
    p = (p + align - 1) & ~(static_cast<std::uintptr_t>(align) - 1);
    return reinterpret_cast<void*>(p);
  }
  chunk_size_ = chunk_size_ == 0 ? kFirstChunk : std::min(chunk_size_ * 2, kLargestChunk);
  while (chunk_size_ < need) chunk_size_ *= 2;
  char* chunk = static_cast<char*>(::operator new(chunk_size_));
  chunks_.push_back(chunk);
  reserved_ += chunk_size_;
  next_ = chunk;
  end_ = chunk + chunk_size_;
  return allocate_bytes(bytes, align);
}

Text Context::text(std::string_view text) {
  if (text.empty()) return {};
  char* data = allocate<char>(text.size());
  std::memcpy(data, text.data(), text.size());
  return Text(data, text.size());
}

Axes Context::axes(const AxesBuilder& builder) {
  if (builder.empty()) return {};
  Axis* data = allocate<Axis>(builder.size());
  std::size_t i = 0;
  for (const auto& [name, size] : builder) data[i++] = Axis{text(name), size};
  return Axes(data, builder.size());
}

std::size_t Context::TypeHash::operator()(const TensorType* ty) const noexcept {
  return hash_type(ty->dtype, ty->shape.span());
}
std::size_t Context::TypeHash::operator()(const TypeKey& key) const noexcept {
  return hash_type(key.dtype, key.shape);
}
bool Context::TypeEq::operator()(const TypeKey& a, const TensorType* b) const noexcept {
  return same_type(a.dtype, a.shape, *b);
}

TypeRef Context::type(std::string_view dtype, std::span<const Dim> shape) {
  const TypeKey key{dtype, shape};
  if (auto it = types_.find(key); it != types_.end()) return TypeRef(*it);
  Dim* dims = shape.empty() ? nullptr : allocate<Dim>(shape.size());
  for (std::size_t i = 0; i < shape.size(); ++i)
    dims[i] = shape[i].is_concrete() ? shape[i] : Dim::named(text(shape[i].name()));
  auto* ty = allocate<TensorType>(1);
  ::new (static_cast<void*>(ty)) TensorType{text(dtype), Shape(dims, shape.size())};
  types_.insert(ty);
  return TypeRef(ty);
}

namespace {

// Heads are equal for interning when every field is, doubles by their bits:
// 0.0 and -0.0 print differently, and a NaN is the same NaN.
std::uint64_t bits_of(double x) {
  std::uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

// Texts are hashed by address: the texts of one parse are interned, so a
// recurring head holds the very same texts and hashes alike, without reading
// them. A head whose equal texts lie elsewhere may then be stored twice,
// which costs room, never a wrong answer.
std::size_t hash_text(std::string_view text) {
  return mix(reinterpret_cast<std::uintptr_t>(text.data()), text.size());
}
bool same_text_at(std::string_view a, std::string_view b) {
  return (a.data() == b.data() && a.size() == b.size()) || same_text(a, b);
}

std::size_t hash_axes(const Axes& axes) {
  std::size_t h = axes.size();
  for (const Axis& a : axes) h = mix(mix(h, hash_text(a.name)), static_cast<std::size_t>(a.size));
  return h;
}
bool same_axes(const Axes& a, const Axes& b) {
  if (a.size() != b.size()) return false;
  if (a.data() == b.data()) return true;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].size != b[i].size || !same_text_at(a[i].name, b[i].name)) return false;
  return true;
}

std::size_t hash_kind(const OpKind& kind) {
  const std::size_t h = kind.index();
  return std::visit(
      Overloaded{
          [&](const View& k) { return mix(mix(h, hash_text(k.pattern)), hash_axes(k.axes)); },
          [&](const Map& k) { return mix(h, hash_text(k.function)); },
          [&](const Fold& k) { return mix(mix(h, hash_text(k.pattern)), hash_text(k.reduction)); },
          [&](const Tile& k) { return mix(mix(h, hash_text(k.pattern)), hash_axes(k.axes)); },
          [&](const Read& k) { return mix(h, hash_text(k.pattern)); },
          [&](const Write& k) { return mix(mix(h, hash_text(k.pattern)), hash_text(k.reduction)); },
          [&](const Contract& k) { return mix(h, hash_text(k.pattern)); },
          [&](const Literal&) { return h; },  // never interned
          [&](const Iota&) { return h; },
          [&](const Random& k) { return mix(mix(h, bits_of(k.lower)), bits_of(k.upper)); },
          [&](const Call& k) { return mix(h, hash_text(k.target)); },
          [&](const Loop& k) {
            return mix(mix(h, hash_text(k.target)),
                       k.count.is_named() ? hash_text(k.count.name()) : mix(3, k.count.value()));
          },
          [&](const Cache& k) {
            return mix(mix(mix(h, hash_text(k.var)), hash_text(k.init)),
                       k.extend ? hash_text(*k.extend) + 1 : 0);
          },
      },
      kind);
}

bool same_kind(const OpKind& a, const OpKind& b) {
  if (a.index() != b.index()) return false;
  // `b` as the kind of `x` (the kinds are equal).
  const auto other = [&b](const auto& x) -> const auto& {
    return std::get<std::decay_t<decltype(x)>>(b);
  };
  // view and tile; fold and write
  const auto same_pattern_axes = [&](const auto& x) {
    return same_text_at(x.pattern, other(x).pattern) && same_axes(x.axes, other(x).axes);
  };
  const auto same_pattern_reduction = [&](const auto& x) {
    return same_text_at(x.pattern, other(x).pattern) &&
           same_text_at(x.reduction, other(x).reduction);
  };
  return std::visit(
      Overloaded{
          [&](const View& x) { return same_pattern_axes(x); },
          [&](const Map& x) { return same_text_at(x.function, std::get<Map>(b).function); },
          [&](const Fold& x) { return same_pattern_reduction(x); },
          [&](const Tile& x) { return same_pattern_axes(x); },
          [&](const Read& x) { return same_text_at(x.pattern, std::get<Read>(b).pattern); },
          [&](const Write& x) { return same_pattern_reduction(x); },
          [&](const Contract& x) { return same_text_at(x.pattern, std::get<Contract>(b).pattern); },
          [&](const Literal&) { return false; },  // never interned
          [&](const Iota&) { return true; },
          [&](const Random& x) {
            const Random& y = std::get<Random>(b);
            return bits_of(x.lower) == bits_of(y.lower) && bits_of(x.upper) == bits_of(y.upper);
          },
          [&](const Call& x) { return same_text_at(x.target, std::get<Call>(b).target); },
          [&](const Loop& x) {
            const Loop& y = std::get<Loop>(b);
            if (!same_text_at(x.target, y.target) || x.count.is_named() != y.count.is_named())
              return false;
            return x.count.is_named() ? same_text_at(x.count.name(), y.count.name())
                                      : x.count.value() == y.count.value();
          },
          [&](const Cache& x) {
            const Cache& y = std::get<Cache>(b);
            return same_text_at(x.var, y.var) && same_text_at(x.init, y.init) &&
                   x.extend.has_value() == y.extend.has_value() &&
                   same_text_at(*x.extend, *y.extend);
          },
      },
      a);
}

bool same_comments(Comments a, Comments b) {
  if (a.size() != b.size()) return false;
  if (a.data() == b.data()) return true;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same_text_at(a[i], b[i])) return false;
  return true;
}

std::size_t hash_head(const OpKind& kind, Comments comments) {
  std::size_t h = hash_kind(kind);
  for (Text c : comments) h = mix(h, hash_text(c));
  return mix(h, comments.size());
}

}  // namespace

// A literal's head is not interned: its value may nest deeper than a
// comparison should recurse, and literals are few.
HeadRef Context::head(const OpKind& kind, Comments comments) {
  const bool interned =
      heads_mode_ == Heads::Interned && !std::holds_alternative<Literal>(kind);
  std::size_t slot = 0;
  if (interned) {
    if (2 * (heads_ + 1) > head_slots_.size()) grow_heads();
    const std::size_t mask = head_slots_.size() - 1;
    for (slot = hash_head(kind, comments) & mask; head_slots_[slot] != nullptr;
         slot = (slot + 1) & mask) {
      const OpHead* h = head_slots_[slot];
      if (same_kind(h->kind, kind) && same_comments(h->comments, comments)) return HeadRef(h);
    }
  }
  auto* head = allocate<OpHead>(1);
  ::new (static_cast<void*>(head)) OpHead{kind, comments};
  if (interned) {
    head_slots_[slot] = head;
    ++heads_;
  }
  return HeadRef(head);
}

void Context::grow_heads() {
  std::vector<const OpHead*> old(std::max<std::size_t>(64, 2 * head_slots_.size()), nullptr);
  old.swap(head_slots_);
  const std::size_t mask = head_slots_.size() - 1;
  for (const OpHead* h : old) {
    if (h == nullptr) continue;
    std::size_t i = hash_head(h->kind, h->comments) & mask;
    while (head_slots_[i] != nullptr) i = (i + 1) & mask;
    head_slots_[i] = h;
  }
}

std::size_t Context::bytes_reserved() const {
  return reserved_ + types_.bucket_count() * sizeof(void*) +
         types_.size() * (sizeof(void*) * 2 + sizeof(std::size_t)) +
         head_slots_.size() * sizeof(void*);
}

Module::Module() : context(std::make_shared<Context>()) {}

namespace {

// Printable: every character except separators other than the plain space,
// control, format, surrogate, private-use and unassigned characters.
bool is_printable(UChar32 c) {
  if (c == ' ') return true;
  const std::int32_t mask = U_GET_GC_MASK(c);
  constexpr std::int32_t hidden = U_GC_ZS_MASK | U_GC_ZL_MASK | U_GC_ZP_MASK | U_GC_CC_MASK |
                                  U_GC_CF_MASK | U_GC_CS_MASK | U_GC_CO_MASK | U_GC_CN_MASK;
  return (mask & hidden) == 0;
}

void append_unicode_escape(std::string& out, std::uint32_t c) {
  static constexpr char hex[] = "0123456789abcdef";
  out += "\\u{";
  char digits[8];
  int n = 0;
  do {
    digits[n++] = hex[c & 0xF];
    c >>= 4;
  } while (c != 0);
  while (n > 0) out += digits[--n];
  out += '}';
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t i = 0;
  while (i < length) {
    const std::uint8_t b = bytes[i];
    if (b >= 0x20 && b < 0x7F) {  // printable ASCII
      if (b == '"' || b == '\\') out += '\\';
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    const std::int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    switch (c) {
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (c < 0) {  // not UTF-8: cannot come from a Python string
      append_unicode_escape(out, 0xFFFD);
    } else if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND) || !is_printable(c)) {
      append_unicode_escape(out, static_cast<std::uint32_t>(c));
    } else {
      out.append(text.data() + start, static_cast<std::size_t>(i - start));
    }
  }
  out += '"';
}

std::string quoted_text(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

namespace {

void append_debug_dim(std::string& out, const Dim& dim) {
  if (dim.is_concrete()) {
    out += "Concrete(";
    append_int(out, dim.value());
  } else {
    out += "Named(";
    append_quoted(out, dim.name());
  }
  out += ')';
}

void append_debug_shape(std::string& out, std::span<const Dim> shape) {
  out += '[';
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) out += ", ";
    append_debug_dim(out, shape[i]);
  }
  out += ']';
}

}  // namespace

std::string debug_dim(const Dim& dim) {
  std::string out;
  append_debug_dim(out, dim);
  return out;
}

std::string debug_shape(std::span<const Dim> shape) {
  std::string out;
  append_debug_shape(out, shape);
  return out;
}

std::string debug_type_record(std::string_view record, std::string_view dtype,
                              std::span<const Dim> shape) {
  std::string out(record);
  out += " { dtype: ";
  append_quoted(out, dtype);
  out += ", shape: ";
  append_debug_shape(out, shape);
  out += " }";
  return out;
}

std::string debug_tensor_type(const TensorType& ty) {
  return debug_type_record("TensorType", ty.dtype, ty.shape.span());
}

}  // namespace quarvel
