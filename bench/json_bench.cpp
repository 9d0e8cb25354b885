// Module JSON read and written back, against CPython's json module on the same
// text.
//
//   json_bench [MODULE.json] [--runs N] [--no-cpython]
//
// Without a file, a wide module (functions of 60 operations of every common
// kind, like bench/gen_workload.py's wide workload) is built until its JSON
// form reaches 10 MB. Each figure is the best of N runs (default 5). The
// writer is timed both returning a std::string and writing into a caller's
// TextBuffer (as the Python module does), which saves the copy of the text.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "core/error.h"
#include "core/json_read.h"
#include "core/json_write.h"

#ifdef QUARVEL_BENCH_PYTHON
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#endif

namespace {

using quarvel::bench::best_of;
using quarvel::bench::Clock;
using quarvel::bench::read_file;
using quarvel::Atom;
using quarvel::Context;
using quarvel::Dim;
using quarvel::LiteralValue;
using quarvel::Text;

// Builds the ops and functions of the wide module in one context.
class WideBuilder {
 public:
  explicit WideBuilder(Context& ctx) : ctx_(ctx) {}

  quarvel::Function function(int index, int ops, std::mt19937_64& rng) {
    std::uniform_int_distribution<int> size(1, 512), small(1, 16), digit(-9, 9);
    std::uniform_real_distribution<double> unit(0, 1);
    quarvel::Function f;
    f.name = text("f" + std::to_string(index));
    f.comments = texts({"// function " + std::to_string(index)});
    f.params = ctx_.list<quarvel::Param>(
        {{"x", ctx_.type("f32", {Dim::named("param.n"), Dim::concrete(size(rng))})},
         {"w", ctx_.type("*", {})},
         {"k", ctx_.type("i64", {Dim::named("param.n")})}});
    f.returns = ctx_.list<quarvel::Param>({{text("y" + std::to_string(ops - 1)), out_type()}});
    Text prev = "x";
    for (int i = 0; i < ops; ++i) {
      const Text out = text("y" + std::to_string(i));
      quarvel::Op o;
      switch (i % 9) {
        case 0: o = op(quarvel::Map{"relu"}, out, {Atom::str(prev)}); break;
        case 1:
          o = op(quarvel::Contract{"n a, a b -> n b"}, out,
                 {Atom::str(prev), Atom::str(text("w.l" + std::to_string(i) + ".proj"))});
          break;
        case 2: {
          quarvel::AxesBuilder axes;
          axes.insert("a", small(rng));
          o = op(quarvel::View{"n (a b) -> n a b", ctx_.axes(axes)}, out, {Atom::str(prev)});
          break;
        }
        case 3: o = op(quarvel::Fold{"n a b -> n a", "sum"}, out, {Atom::str(prev)}); break;
        case 4: o = op(quarvel::Tile{"n a -> n a c", {}}, out, {Atom::str(prev)}); break;
        case 5: o = op(quarvel::Read{"n a, n -> n a"}, out, {Atom::str(prev), Atom::str("k")}); break;
        case 6: {
          const double x = std::round(unit(rng) * 1e6) / 1e6;
          const LiteralValue inner[] = {LiteralValue::real(1e-7), LiteralValue::real(INFINITY)};
          const LiteralValue outer[] = {LiteralValue::integer(digit(rng)), LiteralValue::real(x),
                                        LiteralValue::list(ctx_.list(std::span<const LiteralValue>(inner)))};
          o = op(quarvel::Literal{LiteralValue::list(ctx_.list(std::span<const LiteralValue>(outer)))},
                 out, {});
          break;
        }
        case 7: {
          const double lower = std::round(unit(rng) * 1e3) / 1e3;
          o = op(quarvel::Random{lower, 1 + lower}, out, {});
          break;
        }
        default:
          o = op(quarvel::Map{"add"}, out,
                 {Atom::str(prev), Atom::str(text("y" + std::to_string(std::max(i - 2, 0))))});
          break;
      }
      if (i != 0 && i % 12 == 0) o.head = ctx_.head(o.kind(), texts({"// step " + std::to_string(i)}));
      f.ops.push_back(o);
      prev = out;
    }
    return f;
  }

 private:
  Text text(const std::string& s) { return ctx_.text(s); }
  quarvel::List<Text> texts(std::initializer_list<std::string> items) {
    std::vector<Text> copies;
    for (const std::string& item : items) copies.push_back(text(item));
    return ctx_.list(copies);
  }
  quarvel::TypeRef out_type() { return ctx_.type("f32", {Dim::named("param.n"), Dim::concrete(64)}); }

  quarvel::Op op(quarvel::OpKind kind, Text out, std::initializer_list<Atom> args) {
    quarvel::Op o;
    o.head = ctx_.head(kind);
    o.outputs = ctx_.list({out});
    o.output_types = ctx_.list({out_type()});
    o.args = ctx_.list(args);
    return o;
  }

  Context& ctx_;
};

std::string wide_module_json(std::size_t target_bytes) {
  std::mt19937_64 rng(7);
  quarvel::Module module;
  WideBuilder build(module.ctx());
  module.header_comments = module.ctx().list<Text>({"// wide workload, generated"});
  std::size_t bytes = 0;
  for (int index = 0; bytes < target_bytes; ++index) {
    quarvel::Function f = build.function(index, 60, rng);
    quarvel::Module one(module.context);
    one.functions.insert(f.name, f);
    bytes += quarvel::write_module_json(one).size();
    module.functions.insert(f.name, std::move(f));
  }
  return quarvel::write_module_json(module);
}

#ifdef QUARVEL_BENCH_PYTHON
// json.loads then json.dumps(separators=(",", ":"), ensure_ascii=False).
double python_seconds(const std::string& text, int runs, std::size_t& dumped_size) {
  Py_InitializeEx(0);
  PyObject* json = PyImport_ImportModule("json");
  PyObject* loads = json ? PyObject_GetAttrString(json, "loads") : nullptr;
  PyObject* dumps = json ? PyObject_GetAttrString(json, "dumps") : nullptr;
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  PyObject* kwargs = Py_BuildValue("{s:(ss),s:O}", "separators", ",", ":", "ensure_ascii", Py_False);
  PyObject* no_args = PyTuple_New(0);
  if (!loads || !dumps || !str || !kwargs || !no_args) {
    PyErr_Print();
    std::exit(1);
  }
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    PyObject* value = PyObject_CallOneArg(loads, str);
    PyObject* args = value ? PyTuple_Pack(1, value) : nullptr;
    PyObject* out = args ? PyObject_Call(dumps, args, kwargs) : nullptr;
    if (!out) {
      PyErr_Print();
      std::exit(1);
    }
    // Releasing the decoded value is part of the work, as it is for the module.
    Py_DECREF(args);
    Py_DECREF(value);
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    dumped_size = static_cast<std::size_t>(PyUnicode_GetLength(out));
    Py_DECREF(out);
  }
  Py_DECREF(no_args);
  Py_DECREF(kwargs);
  Py_DECREF(str);
  Py_DECREF(dumps);
  Py_DECREF(loads);
  Py_DECREF(json);
  Py_FinalizeEx();
  return best;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  bool cpython = true;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc)
      runs = std::atoi(argv[++i]);
    else if (arg == "--no-cpython")
      cpython = false;
    else
      path = arg;
  }
  const std::string text = path.empty() ? wide_module_json(10u << 20) : read_file(path);
  const double mb = static_cast<double>(text.size()) / 1e6;

  try {
    std::size_t written_size = 0;
    const double read_s = best_of(runs, [&] { quarvel::read_module_json(text); });
    const quarvel::Module held = quarvel::read_module_json(text);
    const double write_s = best_of(runs, [&] { return quarvel::write_module_json(held).size(); });
    // Into a caller's buffer (the path of the Python module): no copy of the text.
    const double write_buffer_s = best_of(runs, [&] {
      quarvel::HeapTextStorage storage;
      quarvel::TextBuffer out(storage);
      quarvel::write_module_json(held, out);
      return out.size();
    });
    const double both_s = best_of(runs, [&] {
      written_size = quarvel::write_module_json(quarvel::read_module_json(text)).size();
    });
    const double both_buffer_s = best_of(runs, [&] {
      quarvel::HeapTextStorage storage;
      quarvel::TextBuffer out(storage);
      quarvel::write_module_json(quarvel::read_module_json(text), out);
      return out.size();
    });
    std::printf("module JSON: %.2f MB%s\n", mb, written_size == text.size() ? "" : " (rewritten size differs)");
    std::printf("read_module_json:                    %8.2f ms  %7.1f MB/s\n", read_s * 1e3, mb / read_s);
    std::printf("write_module_json (string):          %8.2f ms  %7.1f MB/s\n", write_s * 1e3, mb / write_s);
    std::printf("write_module_json (buffer):          %8.2f ms  %7.1f MB/s\n", write_buffer_s * 1e3,
                mb / write_buffer_s);
    std::printf("read_module_json + write_module_json: %8.2f ms  %7.1f MB/s\n", both_s * 1e3, mb / both_s);
    std::printf("  the same into a buffer:            %8.2f ms  %7.1f MB/s\n", both_buffer_s * 1e3,
                mb / both_buffer_s);
#ifdef QUARVEL_BENCH_PYTHON
    if (cpython) {
      std::size_t dumped = 0;
      const double py_s = python_seconds(text, runs, dumped);
      std::printf("CPython json.loads + json.dumps:      %8.2f ms  %7.1f MB/s\n", py_s * 1e3, mb / py_s);
      std::printf("ratio (CPython / ours):               %8.2f\n", py_s / both_s);
      std::printf("ratio (CPython / ours, buffer):       %8.2f\n", py_s / both_buffer_s);
    }
#else
    if (cpython) std::printf("CPython comparison not built (no embeddable CPython found)\n");
#endif
  } catch (const quarvel::Failure& f) {
    std::fprintf(stderr, "%s\n", f.message().c_str());
    return 1;
  }
  return 0;
}
