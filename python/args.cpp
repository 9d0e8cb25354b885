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

bool text_of(PyObject* obj, std::string_view& out) {
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

const char* were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

}  // namespace

bool convert(Str, PyObject* obj, std::string_view& out) { return text_of(obj, out); }

bool convert(Width, PyObject* obj, std::uint64_t& out) {
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

bool convert(KeyList, PyObject* obj, std::vector<std::string>& out) {
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
    if (!text_of(item.get(), text)) return false;
    out.emplace_back(text);
  }
  return !PyErr_Occurred();
}

// A conversion that failed with exactly TypeError is reported as
// "argument '{name}': {original text}", with the original's __cause__ as its
// own. Every other exception passes unchanged.
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

// Every matching TypeError comes from here.
bool match_args(const CallShape& shape, PyObject* const* argv, Py_ssize_t nargs,
                PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t npos = shape.positional;
  const std::size_t nparams = shape.params.size();
  if (static_cast<std::size_t>(nargs) > npos) {
    if (shape.required == npos) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                   shape.name, npos, nargs, were(nargs));
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zd %s given", shape.name,
                   shape.required, npos, nargs, were(nargs));
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = argv[i];

  // Each keyword is sought among the keyword-only parameters first, then
  // among the positional ones.
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t found = nparams;
    for (std::size_t j = npos; j < nparams && found == nparams; ++j)
      if (PyUnicode_EqualToUTF8(keyword, shape.params[j])) found = j;
    for (std::size_t j = 0; j < npos && found == nparams; ++j)
      if (PyUnicode_EqualToUTF8(keyword, shape.params[j])) found = j;
    if (found == nparams) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", shape.name,
                   keyword);
      return false;
    }
    if (slots[found] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", shape.name,
                   shape.params[found]);
      return false;
    }
    slots[found] = argv[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t j = 0; j < shape.required; ++j)
    if (slots[j] == nullptr) missing.push_back(shape.params[j]);
  if (!missing.empty()) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string names;
    for (std::size_t j = 0; j < missing.size(); ++j) {
      if (j > 0) names += missing.size() == 2 ? " and " : (j + 1 == missing.size() ? ", and " : ", ");
      names += '\'';
      names += missing[j];
      names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", shape.name,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }
  return true;
}

}  // namespace quarvel::py
