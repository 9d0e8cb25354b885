// The extension module `_quarvel`: module creation, the ten functions, and the
// boundary where a failure of the toolkit becomes a Python exception.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <new>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/check.h"
#include "core/error.h"
#include "core/flatten.h"
#include "core/format.h"
#include "core/json_read.h"
#include "core/json_write.h"
#include "core/parse.h"
#include "core/resolve.h"
#include "python/args.h"
#include "python/config.h"
#include "python/flat_load.h"

#ifndef QUARVEL_SOURCE_DIR
#define QUARVEL_SOURCE_DIR ""
#endif

namespace quarvel::py {
namespace {

constexpr std::uint64_t kDefaultWidth = 100;

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

using Body = std::string (*)(Args&);

// The C entry of one function: match and convert, run the body, return a str.
// No C++ exception leaves it.
template <const Signature& sig, Body body>
PyObject* entry(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    Args args;
    if (!parse_args(sig, argv, nargs, kwnames, args)) {
      resume_caller_panic();
      return nullptr;
    }
    std::string result = body(args);
    return PyUnicode_FromStringAndSize(result.data(), static_cast<Py_ssize_t>(result.size()));
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

// ---- bodies -----------------------------------------------------------------

std::string text(const Args& a, std::size_t i) { return std::string(a.text(i)); }

CacheKeys key_set(std::vector<std::string> keys) {
  CacheKeys set;
  set.reserve(keys.size());
  for (std::string& k : keys) set.insert(std::move(k));
  return set;
}

std::string load_flat_json_body(Args& a) {
  return load_flat_json(text(a, 0), text(a, 1), std::string(a.text(2, "main")), a.take_keys(3));
}

std::string parse_to_json_body(Args& a) { return write_module_json(parse_source(a.text(0))); }

std::string resolve_json_body(Args& a) {
  Module module = read_module_json(a.text(0));
  ConfigMap config = read_config_map_json(a.text(1));
  return write_module_json(infer_axes(apply_config(module, config)));
}

std::string flatten_json_body(Args& a) {
  Module module = read_module_json(a.text(0));
  return write_module_json(flatten_module(module, a.text(1), key_set(a.take_keys(2))));
}

std::string infer_axes_json_body(Args& a) {
  return write_module_json(infer_axes(read_module_json(a.text(0))));
}

std::string check_json_body(Args& a) {
  return write_check_report_json(check_module(read_module_json(a.text(0))));
}

std::string fmt_source_body(Args& a) {
  return format_module(parse_source(a.text(0)), a.width(1, kDefaultWidth));
}

std::string fmt_json_body(Args& a) {
  return format_module(read_module_json(a.text(0)), a.width(1, kDefaultWidth));
}

std::string check_file_body(Args& a) {
  return write_check_report_json(check_module(parse_file(text(a, 0))));
}

std::string fmt_file_body(Args& a) {
  return format_module(parse_file(text(a, 0)), a.width(1, kDefaultWidth));
}

// ---- parameter tables -------------------------------------------------------

constexpr Param kQrvPath{"qrv_path", Kind::Text};
constexpr Param kConfigPath{"config_path", Kind::Text};
constexpr Param kEntry{"entry", Kind::Text};
constexpr Param kCacheKeys{"cache_keys", Kind::CacheKeys};
constexpr Param kSource{"source", Kind::Text};
constexpr Param kModuleJson{"module_json", Kind::Text};
constexpr Param kConfigJson{"config_json", Kind::Text};
constexpr Param kPath{"path", Kind::Text};
constexpr Param kWidth{"width", Kind::Width};

constexpr Param load_flat_json_pos[] = {kQrvPath, kConfigPath, kEntry, kCacheKeys};
constexpr Param source_pos[] = {kSource};
constexpr Param resolve_json_pos[] = {kModuleJson, kConfigJson};
constexpr Param flatten_json_pos[] = {kModuleJson, kEntry, kCacheKeys};
constexpr Param module_json_pos[] = {kModuleJson};
constexpr Param path_pos[] = {kPath};
constexpr Param width_kw[] = {kWidth};

constexpr Signature load_flat_json_sig{"load_flat_json", load_flat_json_pos, 2, {}};
constexpr Signature parse_to_json_sig{"parse_to_json", source_pos, 1, {}};
constexpr Signature resolve_json_sig{"resolve_json", resolve_json_pos, 2, {}};
constexpr Signature flatten_json_sig{"flatten_json", flatten_json_pos, 2, {}};
constexpr Signature infer_axes_json_sig{"infer_axes_json", module_json_pos, 1, {}};
constexpr Signature check_json_sig{"check_json", module_json_pos, 1, {}};
constexpr Signature fmt_source_sig{"fmt_source", source_pos, 1, width_kw};
constexpr Signature fmt_json_sig{"fmt_json", module_json_pos, 1, width_kw};
constexpr Signature check_file_sig{"check_file", path_pos, 1, {}};
constexpr Signature fmt_file_sig{"fmt_file", path_pos, 1, width_kw};

#define QUARVEL_METHOD(fn, signature_line)                                                  \
  PyMethodDef {                                                                              \
    #fn,                                                                                     \
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<fn##_sig, fn##_body>)), \
        METH_FASTCALL | METH_KEYWORDS, signature_line "\n--\n\n"                             \
  }

// Registered in this order, which is also the order of __all__. The records
// live as long as the process, as the function objects require.
PyMethodDef functions[] = {
    QUARVEL_METHOD(load_flat_json,
                   "load_flat_json(qrv_path, config_path, entry=\"main\", cache_keys=...)"),
    QUARVEL_METHOD(parse_to_json, "parse_to_json(source)"),
    QUARVEL_METHOD(resolve_json, "resolve_json(module_json, config_json)"),
    QUARVEL_METHOD(flatten_json, "flatten_json(module_json, entry, cache_keys=...)"),
    QUARVEL_METHOD(infer_axes_json, "infer_axes_json(module_json)"),
    QUARVEL_METHOD(check_json, "check_json(module_json)"),
    QUARVEL_METHOD(fmt_source, "fmt_source(source, *, width=100)"),
    QUARVEL_METHOD(fmt_json, "fmt_json(module_json, *, width=100)"),
    QUARVEL_METHOD(check_file, "check_file(path)"),
    QUARVEL_METHOD(fmt_file, "fmt_file(path, *, width=100)"),
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
  cached_module = Py_NewRef(module);
  return module;
}
