// Declaring the module's functions, and matching and converting their
// arguments for the fast-call entries.
//
// Each function is declared once, as a `FunctionSpec`: its name and its
// parameters, each with its name, its kind, its default and whether it is
// keyword-only. From that one declaration come the text signature of the
// function's documentation, the table that `match_args` works on, and the
// defaults that the body receives for parameters that were not given:
//
//   constexpr FunctionSpec fmt_file{"fmt_file", required<Str>("path"),
//                                   keyword_only<Width>("width", 100)};
//
// `parse_args` converts the arguments in parameter order into a tuple of C++
// values (`Str::Value`, `Width::Value`, ...), which the entry hands to the
// body as ordinary named arguments. All Python exceptions of a bad call come
// from here, before any work starts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace quarvel::py {

// ---- kinds of parameters ------------------------------------------------------
//
// A kind says which objects a parameter takes, the C++ value its body gets,
// and how its default reads in the text signature.

// str (or subclass) -> its UTF-8 text, valid for the call.
struct Str {
  using Value = std::string_view;
  using Default = std::string_view;
};

// int or __index__ -> unsigned 64-bit.
struct Width {
  using Value = std::uint64_t;
  using Default = std::uint64_t;
};

// A non-str sequence of str -> the texts in order, duplicates included. Its
// only default is the empty list, written "..." in the text signature.
struct KeyList {
  using Value = std::vector<std::string>;
  struct Default {};
};

// Each returns false with a Python exception set. May throw std::bad_alloc.
bool convert(Str, PyObject* obj, std::string_view& out);
bool convert(Width, PyObject* obj, std::uint64_t& out);
bool convert(KeyList, PyObject* obj, std::vector<std::string>& out);

inline std::string_view default_value(Str, std::string_view d) { return d; }
inline std::uint64_t default_value(Width, std::uint64_t d) { return d; }
inline std::vector<std::string> default_value(KeyList, KeyList::Default) { return {}; }

// ---- declarations -------------------------------------------------------------

// One parameter as declared.
template <class K>
struct ParamSpec {
  using Kind = K;
  const char* name;
  bool required;      // positional-or-keyword, no default
  bool keyword_only;  // never required
  typename K::Default fallback;
};

// A positional-or-keyword parameter that must be given.
template <class K>
constexpr ParamSpec<K> required(const char* name) {
  return {name, true, false, {}};
}

// A positional-or-keyword parameter with a default.
template <class K>
constexpr ParamSpec<K> optional(const char* name, typename K::Default fallback = {}) {
  return {name, false, false, fallback};
}

// A keyword-only parameter with a default.
template <class K>
constexpr ParamSpec<K> keyword_only(const char* name, typename K::Default fallback = {}) {
  return {name, false, true, fallback};
}

// What matching needs to know of one function: its name, the names of its
// parameters (positional-or-keyword ones first), how many are positional and
// how many of those, leading, are required.
struct CallShape {
  const char* name;  // as in __name__
  std::span<const char* const> params;
  std::size_t positional;
  std::size_t required;
};

// Puts the arguments of a METH_FASTCALL | METH_KEYWORDS call into one slot per
// parameter (nullptr: not given). Returns false with a TypeError set.
bool match_args(const CallShape& shape, PyObject* const* argv, Py_ssize_t nargs,
                PyObject* kwnames, std::span<PyObject*> slots);

// A conversion that failed with exactly TypeError becomes "argument '{name}':
// {original text}"; every other exception passes unchanged.
void prefix_type_error(const char* name);

namespace detail {

// The longest documentation text of a declaration; checked at compile time.
inline constexpr std::size_t kMaxDoc = 160;

struct DocBuffer {
  std::array<char, kMaxDoc + 1> text{};
  std::size_t size = 0;

  constexpr void append(std::string_view s) {
    for (char c : s) {
      if (size == kMaxDoc) throw "documentation text too long";  // fails compilation
      text[size++] = c;
    }
  }
  constexpr void append_number(std::uint64_t v) {
    char digits[20]{};
    std::size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (n > 0) append(std::string_view(&digits[--n], 1));
  }
};

constexpr void append_default(DocBuffer& out, const ParamSpec<Str>& p) {
  out.append("\"");
  out.append(p.fallback);
  out.append("\"");
}
constexpr void append_default(DocBuffer& out, const ParamSpec<Width>& p) {
  out.append_number(p.fallback);
}
constexpr void append_default(DocBuffer& out, const ParamSpec<KeyList>&) { out.append("..."); }

}  // namespace detail

template <class... K>
class FunctionSpec {
 public:
  static constexpr std::size_t size = sizeof...(K);

  consteval FunctionSpec(const char* name, ParamSpec<K>... params)
      : name_(name), params_(params...), names_{params.name...} {
    // The matcher relies on this order: required, optional, keyword-only.
    bool seen_optional = false, seen_keyword_only = false;
    auto count = [&](bool is_required, bool is_keyword_only) {
      if (is_keyword_only) {
        if (is_required) throw "a keyword-only parameter is never required";
        seen_keyword_only = true;
        return;
      }
      if (seen_keyword_only) throw "a positional parameter after a keyword-only one";
      if (is_required) {
        if (seen_optional) throw "a required parameter after an optional one";
        ++required_;
      } else {
        seen_optional = true;
      }
      ++positional_;
    };
    (count(params.required, params.keyword_only), ...);
    if (positional_ == 0) throw "every function takes a positional parameter";
  }

  constexpr const char* name() const { return name_; }
  constexpr CallShape shape() const { return {name_, names_, positional_, required_}; }
  template <std::size_t I>
  constexpr const auto& param() const {
    return std::get<I>(params_);
  }

  // "name(a, b=\"x\", *, width=100)\n--\n\n": the interpreter takes the part in
  // parentheses as __text_signature__ and leaves __doc__ None.
  constexpr detail::DocBuffer doc() const {
    detail::DocBuffer out;
    out.append(name_);
    out.append("(");
    std::apply(
        [&](const auto&... p) {
          std::size_t i = 0;
          (append_param(out, p, i++), ...);
        },
        params_);
    out.append(")\n--\n\n");
    return out;
  }

  using Values = std::tuple<typename K::Value...>;

  // Matches and converts the arguments of one call; nullopt with a Python
  // exception set. May throw std::bad_alloc.
  std::optional<Values> parse(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) const {
    std::array<PyObject*, size> slots{};
    if (!match_args(shape(), argv, nargs, kwnames, slots)) return std::nullopt;
    std::optional<Values> values(std::in_place);
    if (!convert_all(slots, *values, std::index_sequence_for<K...>{})) return std::nullopt;
    return values;
  }

 private:
  template <class P>
  constexpr void append_param(detail::DocBuffer& out, const P& p, std::size_t i) const {
    if (i > 0) out.append(", ");
    if (i == positional_) out.append("*, ");  // the first keyword-only parameter
    out.append(p.name);
    if (!p.required) {
      out.append("=");
      detail::append_default(out, p);
    }
  }

  // Slot i converted, or its default; the first failure stops, in order.
  template <std::size_t... I>
  bool convert_all(const std::array<PyObject*, size>& slots, Values& values,
                   std::index_sequence<I...>) const {
    return (convert_one<I>(slots[I], std::get<I>(values)) && ...);
  }
  template <std::size_t I>
  bool convert_one(PyObject* obj, auto& out) const {
    const auto& p = std::get<I>(params_);
    using Kind = typename std::remove_cvref_t<decltype(p)>::Kind;
    if (obj == nullptr) {
      out = default_value(Kind{}, p.fallback);
      return true;
    }
    if (convert(Kind{}, obj, out)) return true;
    prefix_type_error(p.name);
    return false;
  }

  const char* name_;
  std::tuple<ParamSpec<K>...> params_;
  std::array<const char*, size> names_;
  std::size_t positional_ = 0;
  std::size_t required_ = 0;
};

}  // namespace quarvel::py
