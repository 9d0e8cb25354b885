// Argument matching and conversion for the module's fast-call entries.
//
// Every function describes its parameters in a `Signature`; `parse_args` puts
// the positional and keyword arguments into slots, then converts each slot in
// parameter order. All Python exceptions of a bad call come from here, before
// any work starts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quarvel::py {

// How a parameter's object becomes a C++ value.
enum class Kind {
  Text,       // str (or subclass) -> UTF-8 view, valid for the call
  Width,      // int or __index__ -> unsigned 64-bit
  CacheKeys,  // non-str sequence of str -> list of texts
};

struct Param {
  const char* name;
  Kind kind;
};

inline constexpr std::size_t kMaxParams = 4;

struct Signature {
  const char* name;                       // as in __name__
  std::span<const Param> positional;      // positional-or-keyword, in order
  std::size_t required;                   // leading positional parameters that must be given
  std::span<const Param> keyword_only;    // never required
};

// The converted arguments of one call: slot i belongs to parameter i, the
// positional parameters first, then the keyword-only ones. An empty slot means
// the argument was not given; the body applies its own default.
class Args {
 public:
  using Value = std::variant<std::monostate, std::string_view, std::uint64_t,
                             std::vector<std::string>>;

  std::string_view text(std::size_t i, std::string_view fallback = {}) const;
  std::uint64_t width(std::size_t i, std::uint64_t fallback) const;
  // Moves the list out; empty when not given.
  std::vector<std::string> take_keys(std::size_t i);

  std::array<Value, kMaxParams> slots_;
};

// Matches and converts the arguments of a METH_FASTCALL | METH_KEYWORDS call.
// Returns false with a Python exception set. May throw std::bad_alloc.
bool parse_args(const Signature& sig, PyObject* const* argv, Py_ssize_t nargs,
                PyObject* kwnames, Args& out);

}  // namespace quarvel::py
