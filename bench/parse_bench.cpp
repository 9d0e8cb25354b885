// Throughput of the source front end with the two writers.
//
//   parse_bench [SOURCE] [--runs N]
//
// Without SOURCE, a wide workload (3000 functions of 60 statements, about
// 10 MB) and one twice its size are generated into a temporary directory with
// bench/gen_workload.py. With SOURCE, the larger text is SOURCE followed by a
// copy of itself whose functions are renamed. Each figure is the best of N runs.
// The heap a parsed module takes is shown beside the size of its source.
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
  quarvel::Module copy(module.context);
  quarvel::Context& ctx = copy.ctx();
  copy.header_comments = module.header_comments;
  for (const auto& [key, function] : module.functions) {
    quarvel::Function renamed = function;
    renamed.name = ctx.text(std::string(function.name) + "_copy");
    copy.functions.insert(ctx.text(std::string(key) + "_copy"), std::move(renamed));
  }
  return source + "\n" + quarvel::format_module(copy, 100);
}

// Heap bytes in use by the allocator: arena and mapped blocks.
std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// What a parsed module holds on the heap, by part.
struct Memory {
  std::size_t ops = 0;            // operations
  std::size_t context = 0;        // Context::bytes_reserved(): texts, lists, types
  std::size_t op_vectors = 0;     // capacity of the functions' op vectors
  std::size_t function_map = 0;   // entries of the function map (without its index)
  std::size_t allocator = 0;      // growth of the heap in use while the module lives
};

Memory measure_memory(const std::string& source) {
  Memory m;
  const std::size_t before = heap_in_use();
  const quarvel::Module module = quarvel::parse_source(source);
  m.allocator = heap_in_use() - before;
  m.context = module.ctx().bytes_reserved();
  for (const auto& [key, function] : module.functions) {
    m.ops += function.ops.size();
    m.op_vectors += function.ops.capacity() * sizeof(quarvel::Op);
  }
  m.function_map = module.functions.size() * sizeof(*module.functions.begin());
  return m;
}

void print_memory(const std::string& source, const Memory& m) {
  const double bytes = static_cast<double>(source.size());
  const double ops = static_cast<double>(m.ops);
  const std::size_t parts = m.context + m.op_vectors + m.function_map;
  std::printf("heap of the parsed module: %zu ops, sizeof(Op) %zu\n", m.ops, sizeof(quarvel::Op));
  std::printf("  context                           %8.2f MB  (%.0f B per op)\n", m.context / 1e6, m.context / ops);
  std::printf("  op vectors                        %8.2f MB  (%.0f B per op)\n", m.op_vectors / 1e6, m.op_vectors / ops);
  std::printf("  function map                      %8.2f MB\n", m.function_map / 1e6);
  std::printf("  sum                               %8.2f MB  (%.0f B per op, %.2fx the source)\n", parts / 1e6,
              parts / ops, parts / bytes);
  std::printf("  allocator, all told               %8.2f MB  (%.0f B per op, %.2fx the source)\n",
              m.allocator / 1e6, m.allocator / ops, m.allocator / bytes);
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

    const Memory memory = measure_memory(base);
    const Figures small = measure(base, runs);
    const Figures large = measure(twice, runs);
    std::printf("best of %d runs\n", runs);
    print_memory(base, memory);
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
