// The extension module `_quarvel`: module creation, the ten functions, and the
// boundary where a failure of the toolkit becomes a Python exception.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <exception>
#include <new>
#include <source_location>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/check.h"
#include "core/config.h"
#include "core/error.h"
#include "core/flat_json.h"
#include "core/flat_load.h"
#include "core/flatten.h"
#include "core/format.h"
#include "core/interrupt.h"
#include "core/json_read.h"
#include "core/json_write.h"
#include "core/parse.h"
#include "core/resolve.h"
#include "core/source_json.h"
#include "core/text_buffer.h"
#include "python/args.h"

#ifndef QUARVEL_SOURCE_DIR
#define QUARVEL_SOURCE_DIR ""
#endif

namespace quarvel::py {
namespace {

// ---- failure boundary -------------------------------------------------------

PyObject* panic_type = nullptr;  // created on first use, kept for the process
std::atomic_flag note_written = ATOMIC_FLAG_INIT;

PyObject* get_panic_type() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when the compiled code of _quarvel fails.\n\n"
        "Like SystemExit, it derives from BaseException, not Exception, so it usually "
        "travels all the way up and ends the interpreter.",
        PyExc_BaseException, nullptr);
  }
  return panic_type;
}

// The source file relative to the project: "core/parse.cpp".
std::string_view relative_source(std::string_view file) {
  constexpr std::string_view root = QUARVEL_SOURCE_DIR;
  if (!root.empty() && file.starts_with(root)) {
    file.remove_prefix(root.size());
    while (file.starts_with('/')) file.remove_prefix(1);
    return file;
  }
  std::size_t cut = std::string_view::npos;
  for (std::string_view dir : {"/core/", "/python/"}) {
    std::size_t at = file.rfind(dir);
    if (at != std::string_view::npos && (cut == std::string_view::npos || at > cut)) cut = at;
  }
  return cut == std::string_view::npos ? file : file.substr(cut + 1);
}

void write_fd2(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(2, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The report on the process's standard error, then PanicException(message).
void raise_failure(std::string_view message, const std::source_location& where) {
  try {
    std::string report = "\nthread '<unnamed>' (";
    report += std::to_string(static_cast<long long>(::gettid()));
    report += ") panicked at ";
    report += relative_source(where.file_name());
    report += ':';
    report += std::to_string(where.line());
    report += ':';
    report += std::to_string(where.column());
    report += ":\n";
    report += message;
    report += '\n';
    if (!note_written.test_and_set())
      report += "note: to get a backtrace of the failing step, run the process under gdb "
                "with `catch throw`\n";
    write_fd2(report);
  } catch (...) {
    // No memory for the report: the exception below still tells the caller.
  }
  PyObject* type = get_panic_type();
  if (type == nullptr) return;  // its creation failed; that error is pending
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// A PanicException raised by the caller's own code while the arguments were
// converted (a sequence's __len__ or __next__, an __index__) ends the call as
// a failure of its own: a notice on the process's standard error, the
// exception's traceback, then a new PanicException with the same message.
void resume_caller_panic() {
  if (panic_type == nullptr || !PyErr_ExceptionMatches(panic_type)) return;
  PyObject* raised = PyErr_GetRaisedException();
  if (!Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(panic_type))) {
    PyErr_SetRaisedException(raised);  // a subclass is the caller's own business
    return;
  }
  write_fd2("\n--- _quarvel: a PanicException was raised by Python code while the arguments "
            "were converted; it ends the call, its traceback follows ---\n");
  PyErr_DisplayException(raised);
  PyObject* message = PyObject_Str(raised);
  Py_DECREF(raised);
  if (message == nullptr) {
    PyErr_Clear();
    message = PyUnicode_FromString("PanicException raised by Python code");
    if (message == nullptr) return;  // no memory: that error is pending
  }
  PyErr_SetObject(panic_type, message);
  Py_DECREF(message);
}

// ---- interrupts ---------------------------------------------------------------

// Thrown by the interrupt hook when a signal handler raised (KeyboardInterrupt
// for Ctrl-C): the exception is already set, and the entry only returns NULL.
// No type of the library's derives from it, and the library never catches it.
struct PythonErrorSet {};

// Polled by the library where a wait or a long loop can be interrupted. Runs
// the Python signal handlers that are due (only on the main thread, as the
// interpreter does).
void check_signals() {
  if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
}

// ---- results -------------------------------------------------------------------

// The storage of a result: the str object that the call returns. The writers
// fill an ASCII str of the reserved length in place; at the end it is cut to
// the written length. A text with bytes beyond ASCII (a comment or name in
// another script) is decoded into a new str instead, the one case that copies.
class StrStorage final : public TextStorage {
 public:
  StrStorage() = default;
  StrStorage(const StrStorage&) = delete;
  StrStorage& operator=(const StrStorage&) = delete;
  ~StrStorage() { Py_XDECREF(str_); }

  char* resize(char*, std::size_t, std::size_t capacity) override {
    if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    const auto length = static_cast<Py_ssize_t>(capacity);
    if (str_ == nullptr) {
      str_ = PyUnicode_New(length, 127);
    } else if (PyUnicode_Resize(&str_, length) < 0) {
      str_ = nullptr;  // freed by the failed resize
    }
    if (str_ == nullptr) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    return static_cast<char*>(PyUnicode_DATA(str_));
  }

  // The result, `size` bytes long; null with the Python error set on failure.
  // `known_ascii` says that the text cannot hold a byte beyond ASCII, which
  // spares the look at every byte.
  PyObject* finish(std::size_t size, bool known_ascii) {
    if (str_ == nullptr) return PyUnicode_New(0, 0);
    const char* data = static_cast<const char*>(PyUnicode_DATA(str_));
    assert(!known_ascii || is_ascii(data, size));
    if (!known_ascii && !is_ascii(data, size))
      return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr);
    if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(size)) < 0) {
      str_ = nullptr;
      return nullptr;
    }
    return std::exchange(str_, nullptr);
  }

 private:
  static bool is_ascii(const char* data, std::size_t size) {
    std::uint64_t bits = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, data + i, 8);
      bits |= word;
    }
    for (; i < size; ++i) bits |= static_cast<unsigned char>(data[i]);
    return (bits & 0x8080808080808080ull) == 0;
  }

  PyObject* str_ = nullptr;
};

// True for a function whose result takes every byte beyond ASCII it holds
// from its str arguments, unchanged: given only ASCII str arguments, its
// result is ASCII too. Set next to the declaration of each such function.
template <const auto& decl>
constexpr bool ascii_in_ascii_out = false;

// True when every argument of the call is an ASCII str (known from the str
// object itself, without a look at its characters).
bool all_ascii_str(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t count = nargs + (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
  for (Py_ssize_t i = 0; i < count; ++i)
    if (!PyUnicode_Check(argv[i]) || !PyUnicode_IS_ASCII(argv[i])) return false;
  return true;
}

// The C entry of one function: match and convert, run the body with the
// converted arguments, return a str. No C++ exception leaves it.
template <const auto& decl, auto body>
PyObject* entry(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    auto args = decl.parse(argv, nargs, kwnames);
    if (!args) {
      resume_caller_panic();
      return nullptr;
    }
    StrStorage storage;
    TextBuffer out(storage);
    std::apply(body, std::tuple_cat(std::forward_as_tuple(out), std::move(*args)));
    return storage.finish(out.size(),
                          ascii_in_ascii_out<decl> && all_ascii_str(argv, nargs, kwnames));
  } catch (const PythonErrorSet&) {
    // The Python exception is pending.
  } catch (const Failure& failure) {
    raise_failure(failure.message(), failure.where());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_failure(e.what(), std::source_location::current());
  } catch (...) {
    raise_failure("unknown C++ exception", std::source_location::current());
  }
  return nullptr;
}

// ---- the ten functions ------------------------------------------------------
//
// Each function is one declaration (name, parameters, defaults), which gives
// its text signature, its argument matching and its defaults, and one body,
// which receives the output buffer and then the converted arguments in the
// declared order.

constexpr std::uint64_t kDefaultWidth = 100;

CacheKeys key_set(std::vector<std::string> keys) {
  CacheKeys set;
  set.reserve(keys.size());
  for (std::string& k : keys) set.insert(std::move(k));
  return set;
}

constexpr FunctionSpec load_flat_json_spec{
    "load_flat_json", required<Str>("qrv_path"), required<Str>("config_path"),
    optional<Str>("entry", "main"), optional<KeyList>("cache_keys")};
void load_flat_json_body(TextBuffer& out, std::string_view qrv_path,
                         std::string_view config_path, std::string_view entry,
                         std::vector<std::string> cache_keys) {
  load_flat_json(std::string(qrv_path), std::string(config_path), std::string(entry),
                 std::move(cache_keys), out);
}

constexpr FunctionSpec parse_to_json_spec{"parse_to_json", required<Str>("source")};
// The parser copies the bytes of the source into the module's texts as they
// stand (it decodes no escape), and the JSON writer adds only ASCII: escapes,
// numbers, punctuation and member names.
template <>
constexpr bool ascii_in_ascii_out<parse_to_json_spec> = true;
void parse_to_json_body(TextBuffer& out, std::string_view source) {
  write_source_json(source, out);
}

constexpr FunctionSpec resolve_json_spec{"resolve_json", required<Str>("module_json"),
                                         required<Str>("config_json")};
void resolve_json_body(TextBuffer& out, std::string_view module_json,
                       std::string_view config_json) {
  Module module = read_module_json(module_json);
  ConfigMap config = read_config_map_json(config_json);
  write_module_json(infer_axes(apply_config(module, config)), out);
}

constexpr FunctionSpec flatten_json_spec{"flatten_json", required<Str>("module_json"),
                                         required<Str>("entry"),
                                         optional<KeyList>("cache_keys")};
void flatten_json_body(TextBuffer& out, std::string_view module_json, std::string_view entry,
                       std::vector<std::string> cache_keys) {
  const Module module = read_module_json(module_json);
  write_flat_json(module, entry, key_set(std::move(cache_keys)), out);
}

constexpr FunctionSpec infer_axes_json_spec{"infer_axes_json", required<Str>("module_json")};
void infer_axes_json_body(TextBuffer& out, std::string_view module_json) {
  write_module_json(infer_axes(read_module_json(module_json)), out);
}

constexpr FunctionSpec check_json_spec{"check_json", required<Str>("module_json")};
void check_json_body(TextBuffer& out, std::string_view module_json) {
  write_check_report_json(check_module(read_module_json(module_json)), out);
}

constexpr FunctionSpec fmt_source_spec{"fmt_source", required<Str>("source"),
                                       keyword_only<Width>("width", kDefaultWidth)};
void fmt_source_body(TextBuffer& out, std::string_view source, std::uint64_t width) {
  format_module(parse_source(source), width, out);
}

constexpr FunctionSpec fmt_json_spec{"fmt_json", required<Str>("module_json"),
                                     keyword_only<Width>("width", kDefaultWidth)};
void fmt_json_body(TextBuffer& out, std::string_view module_json, std::uint64_t width) {
  format_module(read_module_json(module_json), width, out);
}

constexpr FunctionSpec check_file_spec{"check_file", required<Str>("path")};
void check_file_body(TextBuffer& out, std::string_view path) {
  write_check_report_json(check_module(parse_file(std::string(path))), out);
}

constexpr FunctionSpec fmt_file_spec{"fmt_file", required<Str>("path"),
                                     keyword_only<Width>("width", kDefaultWidth)};
void fmt_file_body(TextBuffer& out, std::string_view path, std::uint64_t width) {
  format_module(parse_file(std::string(path)), width, out);
}

// The documentation text of a declaration, kept for the process.
template <const auto& decl>
constexpr detail::DocBuffer doc_of = decl.doc();

template <const auto& decl, auto body>
PyMethodDef method() {
  return {decl.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<decl, body>)),
          METH_FASTCALL | METH_KEYWORDS, doc_of<decl>.text.data()};
}

#define QUARVEL_METHOD(fn) method<fn##_spec, fn##_body>()

// Registered in this order, which is also the order of __all__. The records
// live as long as the process, as the function objects require.
PyMethodDef functions[] = {
    QUARVEL_METHOD(load_flat_json), QUARVEL_METHOD(parse_to_json),
    QUARVEL_METHOD(resolve_json),   QUARVEL_METHOD(flatten_json),
    QUARVEL_METHOD(infer_axes_json), QUARVEL_METHOD(check_json),
    QUARVEL_METHOD(fmt_source),     QUARVEL_METHOD(fmt_json),
    QUARVEL_METHOD(check_file),     QUARVEL_METHOD(fmt_file),
};

#undef QUARVEL_METHOD

// ---- module creation --------------------------------------------------------

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_quarvel", "", 0, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* cached_module = nullptr;

// Adds one function object to the module and its name to __all__.
int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyObject* fn = PyCMethod_New(def, module, module_name, nullptr);
  if (fn == nullptr) return -1;
  int rc = -1;
  PyObject* name = PyObject_GetAttrString(fn, "__name__");
  PyObject* all = nullptr;
  if (name == nullptr) goto done;
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                 Py_TYPE(name)->tp_name);
    goto done;
  }
  all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) goto done;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) goto done;
  } else if (!PyList_Check(all)) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(all));
    if (qualname != nullptr) {
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyList'", qualname);
      Py_DECREF(qualname);
    }
    goto done;
  }
  if (PyList_Append(all, name) < 0) goto done;
  rc = PyObject_SetAttr(module, name, fn);
done:
  Py_XDECREF(all);
  Py_XDECREF(name);
  Py_DECREF(fn);
  return rc;
}

int init_module(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  int rc = 0;
  for (PyMethodDef& def : functions) {
    rc = add_function(module, module_name, &def);
    if (rc < 0) break;
  }
  Py_DECREF(module_name);
  return rc;
}

}  // namespace
}  // namespace quarvel::py

PyMODINIT_FUNC PyInit__quarvel() {
  using namespace quarvel::py;
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_quarvel does not support sub-interpreters: it can only be imported in "
                    "the interpreter that imported it first");
    return nullptr;
  }
  if (cached_module != nullptr) return Py_NewRef(cached_module);
  PyObject* module = PyModule_Create2(&module_def, 1013);
  if (module == nullptr) return nullptr;
  if (init_module(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  quarvel::set_interrupt_hook(&check_signals);
  cached_module = Py_NewRef(module);
  return module;
}
