#include "python/args.h"

#include <algorithm>
#include <string>
#include <utility>

namespace quarvel::py {

namespace {

// Owns one reference.
class Ref {
 public:
  explicit Ref(PyObject* o = nullptr) noexcept : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const noexcept { return o_; }
  explicit operator bool() const noexcept { return o_ != nullptr; }

 private:
  PyObject* o_;
};

// A user sequence's __len__ is only a capacity hint; never trust it with more
// than this many slots up front.
constexpr Py_ssize_t kReserveLimit = 1 << 12;

// TypeError "'{type}' object cannot be converted to '{target}'".
void set_cannot_convert(PyObject* obj, const char* target) {
  Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
  if (qualname) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                 target);
  } else {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'",
                 target);
  }
}

bool convert_text(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    set_cannot_convert(obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;  // UnicodeEncodeError (lone surrogate)
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_width(PyObject* obj, std::uint64_t& out) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All bits set is a valid width unless it came with an error.
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_keys(PyObject* obj, std::vector<std::string>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    set_cannot_convert(obj, "Sequence");
    return false;
  }
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    // The length is only a capacity hint: an ordinary error from __len__ is
    // dropped, but an interrupt or exit request must not be swallowed.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(static_cast<std::size_t>(std::min(hint, kReserveLimit)));
  Ref iter(PyObject_GetIter(obj));
  if (!iter) return false;
  while (true) {
    Ref item(PyIter_Next(iter.get()));
    if (!item) break;
    std::string_view text;
    if (!convert_text(item.get(), text)) return false;
    out.emplace_back(text);
  }
  return !PyErr_Occurred();
}

bool convert(const Param& param, PyObject* obj, Args::Value& out) {
  switch (param.kind) {
    case Kind::Text: {
      std::string_view text;
      if (!convert_text(obj, text)) return false;
      out = text;
      return true;
    }
    case Kind::Width: {
      std::uint64_t width = 0;
      if (!convert_width(obj, width)) return false;
      out = width;
      return true;
    }
    case Kind::CacheKeys: {
      std::vector<std::string> keys;
      if (!convert_keys(obj, keys)) return false;
      out = std::move(keys);
      return true;
    }
  }
  return false;
}

// A conversion that failed with exactly TypeError is reported as
// "argument '{name}': {original text}", with the original's __cause__ as its
// own.
// Every other exception passes unchanged.
void prefix_type_error(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  Ref original(raised);
  Ref text(PyObject_Str(original.get()));
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  // Set even when the original has none: like `raise ... from None`, the
  // replacement then also hides the exception being handled, if any.
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));  // steals
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

const char* were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

// Puts the arguments into slots; every matching TypeError comes from here.
bool match(const Signature& sig, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames,
           std::array<PyObject*, kMaxParams>& slots) {
  const std::size_t npos = sig.positional.size();
  if (static_cast<std::size_t>(nargs) > npos) {
    if (sig.required == npos) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                   sig.name, npos, nargs, were(nargs));
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zd %s given", sig.name,
                   sig.required, npos, nargs, were(nargs));
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = argv[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t found = kMaxParams;
    for (std::size_t j = 0; j < sig.keyword_only.size() && found == kMaxParams; ++j)
      if (PyUnicode_EqualToUTF8(keyword, sig.keyword_only[j].name)) found = npos + j;
    for (std::size_t j = 0; j < npos && found == kMaxParams; ++j)
      if (PyUnicode_EqualToUTF8(keyword, sig.positional[j].name)) found = j;
    if (found == kMaxParams) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                   keyword);
      return false;
    }
    if (slots[found] != nullptr) {
      const Param& p = found < npos ? sig.positional[found] : sig.keyword_only[found - npos];
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                   p.name);
      return false;
    }
    slots[found] = argv[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t j = 0; j < sig.required; ++j)
    if (slots[j] == nullptr) missing.push_back(sig.positional[j].name);
  if (!missing.empty()) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string names;
    for (std::size_t j = 0; j < missing.size(); ++j) {
      if (j > 0) names += missing.size() == 2 ? " and " : (j + 1 == missing.size() ? ", and " : ", ");
      names += '\'';
      names += missing[j];
      names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", sig.name,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string_view Args::text(std::size_t i, std::string_view fallback) const {
  const auto* v = std::get_if<std::string_view>(&slots_[i]);
  return v ? *v : fallback;
}

std::uint64_t Args::width(std::size_t i, std::uint64_t fallback) const {
  const auto* v = std::get_if<std::uint64_t>(&slots_[i]);
  return v ? *v : fallback;
}

std::vector<std::string> Args::take_keys(std::size_t i) {
  auto* v = std::get_if<std::vector<std::string>>(&slots_[i]);
  return v ? std::move(*v) : std::vector<std::string>{};
}

bool parse_args(const Signature& sig, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames,
                Args& out) {
  std::array<PyObject*, kMaxParams> slots{};
  if (!match(sig, argv, nargs, kwnames, slots)) return false;
  const std::size_t npos = sig.positional.size();
  for (std::size_t i = 0; i < npos + sig.keyword_only.size(); ++i) {
    if (slots[i] == nullptr) continue;  // not given: the body's default
    const Param& p = i < npos ? sig.positional[i] : sig.keyword_only[i - npos];
    if (!convert(p, slots[i], out.slots_[i])) {
      prefix_type_error(p.name);
      return false;
    }
  }
  return true;
}

}  // namespace quarvel::py
