// Throughput of the source front end with the two writers.
//
//   parse_bench [SOURCE] [--runs N]
//
// Without SOURCE, a wide workload (3000 functions of 60 statements, about
// 10 MB) and one twice its size are generated into a temporary directory with
// bench/gen_workload.py. With SOURCE, the larger text is SOURCE followed by a
// copy of itself whose functions are renamed. Each figure is the best of N runs.
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_util.h"
#include "core/error.h"
#include "core/format.h"
#include "core/json_write.h"
#include "core/parse.h"

namespace {

using quarvel::bench::best_of;
using quarvel::bench::read_file;

std::string generate(const std::filesystem::path& dir, int functions) {
  return quarvel::bench::generate_workload(
      "wide", "--functions " + std::to_string(functions) + " --ops 60",
      dir / ("wide" + std::to_string(functions)));
}

// The text followed by a renamed copy of its module, printed canonically.
std::string doubled(const std::string& source) {
  const quarvel::Module module = quarvel::parse_source(source);
  quarvel::Module copy;
  copy.header_comments = module.header_comments;
  for (const auto& [key, function] : module.functions) {
    quarvel::Function renamed = function;
    renamed.name += "_copy";
    copy.functions.insert(key + "_copy", std::move(renamed));
  }
  return source + "\n" + quarvel::format_module(copy, 100);
}

struct Figures {
  double parse, parse_json, parse_format, json, format;
};

Figures measure(const std::string& source, int runs) {
  const quarvel::Module module = quarvel::parse_source(source);
  Figures f{};
  f.parse = best_of(runs, [&] { return quarvel::parse_source(source).functions.size(); });
  f.parse_json = best_of(runs, [&] { return quarvel::write_module_json(quarvel::parse_source(source)).size(); });
  f.parse_format = best_of(runs, [&] { return quarvel::format_module(quarvel::parse_source(source), 100).size(); });
  f.json = best_of(runs, [&] { return quarvel::write_module_json(module).size(); });
  f.format = best_of(runs, [&] { return quarvel::format_module(module, 100).size(); });
  return f;
}

void print(const char* label, const std::string& source, const Figures& f) {
  const double mb = static_cast<double>(source.size()) / 1e6;
  std::printf("%s: %.2f MB of source\n", label, mb);
  std::printf("  parse_source + write_module_json  %8.1f MB/s  (%.1f ms)\n", mb / f.parse_json, f.parse_json * 1e3);
  std::printf("  parse_source + format_module      %8.1f MB/s  (%.1f ms)\n", mb / f.parse_format, f.parse_format * 1e3);
  std::printf("  parse_source alone                %8.1f MB/s  (%.1f ms)\n", mb / f.parse, f.parse * 1e3);
  std::printf("  write_module_json alone           %8.1f MB/s  (%.1f ms)\n", mb / f.json, f.json * 1e3);
  std::printf("  format_module alone               %8.1f MB/s  (%.1f ms)\n", mb / f.format, f.format * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  // The allocator serves a large block from the heap once the same size was
  // freed before, but always maps blocks above 32 MB afresh, so the output of
  // the doubled source would pay page faults that the repeated smaller runs
  // do not. A fixed threshold treats both sizes alike: every large block is
  // mapped afresh, as in a single call.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  std::string path;
  int runs = 7;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (arg == "-h" || arg == "--help") {
      std::printf("usage: %s [SOURCE] [--runs N]\n", argv[0]);
      return 0;
    } else {
      path = arg;
    }
  }
  if (runs < 1) runs = 1;

  try {
    std::string base;
    std::string twice;
    if (path.empty()) {
      const quarvel::bench::TempDir dir("parse_bench");
      base = generate(dir.path(), 3000);
      twice = generate(dir.path(), 6000);
    } else {
      base = read_file(path);
      twice = doubled(base);
    }

    const Figures small = measure(base, runs);
    const Figures large = measure(twice, runs);
    std::printf("best of %d runs\n", runs);
    print("source", base, small);
    print("twice the source", twice, large);
    const double size_ratio = static_cast<double>(twice.size()) / static_cast<double>(base.size());
    std::printf("time ratio for %.2fx the bytes: parse+json %.2fx, parse+format %.2fx\n", size_ratio,
                large.parse_json / small.parse_json, large.parse_format / small.parse_format);
  } catch (const quarvel::Failure& failure) {
    std::fprintf(stderr, "failed: %s\n", failure.message().c_str());
    return 1;
  }
  return 0;
}
