// Cost of checking a module against the cost of reading its JSON form.
//
//   check_bench [SOURCE] [--runs N]
//
// Without SOURCE, the wide workload (3000 functions of 60 statements, about
// 10 MB of source) is generated into a temporary directory with
// bench/gen_workload.py. The module is converted to its JSON form once; then
// reading that JSON and checking the module are timed separately, and the
// three steps of check_json together (read, check, write the report), each
// the best of N runs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/bench_util.h"
#include "core/check.h"
#include "core/error.h"
#include "core/json_read.h"
#include "core/json_write.h"
#include "core/parse.h"

namespace {

using quarvel::bench::best_of;
using quarvel::bench::read_file;

std::string generate_wide() {
  const quarvel::bench::TempDir dir("check_bench");
  return quarvel::bench::generate_workload("wide", "--functions 3000 --ops 60", dir.path());
}

int run(int argc, char** argv) {
  std::string source_path;
  int runs = 7;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      source_path = argv[i];
    }
  }
  const std::string source = source_path.empty() ? generate_wide() : read_file(source_path);
  const std::string json = quarvel::write_module_json(quarvel::parse_source(source));
  const quarvel::Module module = quarvel::read_module_json(json);

  std::size_t ops = 0;
  for (const auto& [key, fn] : module.functions) ops += fn.ops.size();
  const quarvel::CheckReport report = quarvel::check_module(module);

  const double read = best_of(runs, [&] { return quarvel::read_module_json(json).functions.size(); });
  const double check = best_of(runs, [&] { return quarvel::check_module(module).errors.size(); });
  // All that check_json does: read, check, write the report into a buffer.
  const double whole = best_of(runs, [&] {
    quarvel::HeapTextStorage storage;
    quarvel::TextBuffer out(storage);
    quarvel::write_check_report_json(quarvel::check_module(quarvel::read_module_json(json)), out);
    return out.size();
  });

  std::printf("module: %zu functions, %zu ops, %.1f MB of source, %.1f MB of JSON\n",
              module.functions.size(), ops, source.size() / 1e6, json.size() / 1e6);
  std::printf("report: %zu errors, %zu params, %zu weight maps\n", report.errors.size(),
              report.constraints.params.size(), report.constraints.weights.size());
  std::printf("read_module_json  %8.2f ms  (%.0f MB/s of JSON)\n", read * 1e3, json.size() / 1e6 / read);
  std::printf("check_module      %8.2f ms  (%.1f M ops/s)\n", check * 1e3, ops / 1e6 / check);
  std::printf("read+check+report %8.2f ms  (%.0f MB/s of JSON)\n", whole * 1e3, json.size() / 1e6 / whole);
  std::printf("check / read      %8.2f  (best of %d runs each)\n", check / read, runs);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const quarvel::Failure& f) {
    std::fprintf(stderr, "failed: %s\n", f.message().c_str());
    return 1;
  }
}
