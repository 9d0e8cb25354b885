// Speed of module flattening on a generated decoder model.
//
//   flatten_bench [--layers L] [--blocks B] [--init-ops K] [--runs N] [--rounds R]
//
// Generates the model workload with bench/gen_workload.py (L layers in each of
// B block stacks; the defaults give about 1M flat operations), writes the
// layer count in place of param.layers, and times flatten_module from main
// with every cache slot cold, then with twice the layers. With --init-ops K
// the cache slots' init function has K ops instead of one, so that lowering
// a slot adds ops to the list. Each size runs in
// its own child process, R times in turn with the other size (3 by default);
// its time is the best of N runs in each of them, each on a module
// parsed afresh (the result is built over its input's context, so runs on one
// module would pile up in it), its peak RSS the child's maximum resident set
// (the parsed module included), and its bytes per op what the result adds:
// the op list and the growth of the context.
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include <unistd.h>

#include "bench/bench_util.h"
#include "core/error.h"
#include "core/flatten.h"
#include "core/parse.h"

namespace {

using quarvel::bench::Clock;

// The generated init function of the cache slots, and the same with `ops`
// copies chained.
const std::string kInit =
    "kv_init(k: f32[b, s, d]) -> (c: f32[b, s, d]) {\n  c: f32[b, s, d] = map[copy](k)\n";

std::string init_with(long ops) {
  std::string text = "kv_init(k: f32[b, s, d]) -> (c: f32[b, s, d]) {\n";
  for (long i = 0; i < ops; ++i) {
    const std::string in = i == 0 ? "k" : "t" + std::to_string(i - 1);
    const std::string out = i + 1 == ops ? "c" : "t" + std::to_string(i);
    text += "  " + out + ": f32[b, s, d] = map[copy](" + in + ")\n";
  }
  return text;
}

std::string generate(const std::filesystem::path& dir, long layers, long blocks, long init_ops) {
  std::string source = quarvel::bench::generate_workload(
      "model", "--layers " + std::to_string(layers) + " --blocks " + std::to_string(blocks),
      dir / ("model" + std::to_string(layers)));
  const std::string from = "param.layers", to = std::to_string(layers);
  for (std::size_t at = source.find(from); at != std::string::npos; at = source.find(from, at + to.size()))
    source.replace(at, from.size(), to);
  if (init_ops != 1) {
    const std::size_t at = source.find(kInit);
    if (at == std::string::npos || init_ops < 1) {
      std::fprintf(stderr, "cannot give the init function %ld ops\n", init_ops);
      std::exit(1);
    }
    source.replace(at, kInit.size(), init_with(init_ops));
  }
  return source;
}

double peak_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

struct Figures {
  std::size_t ops = 0;
  double seconds = 0;
  double rss_mb = 0;
  double bytes_per_op = 0;
};

// Parses and flattens `source` in a child process, so that each size starts
// from a fresh heap and its peak RSS is its own.
Figures measure(const std::string& source, int runs) {
  int fds[2];
  if (pipe(fds) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    Figures f;
    f.seconds = 1e300;
    try {
      for (int i = 0; i < runs; ++i) {
        const quarvel::Module module = quarvel::parse_source(source);
        const std::size_t before = module.ctx().bytes_reserved();
        const auto start = Clock::now();
        quarvel::Module flat = quarvel::flatten_module(module, "main", {});
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const std::vector<quarvel::Op>& ops = flat.functions.at_position(0).second.ops;
        f.ops = ops.size();
        f.bytes_per_op = static_cast<double>(module.ctx().bytes_reserved() - before +
                                             ops.capacity() * sizeof(quarvel::Op)) /
                         static_cast<double>(ops.size());
        if (seconds < f.seconds) f.seconds = seconds;
      }
    } catch (const quarvel::Failure& e) {
      std::fprintf(stderr, "failed: %s\n", e.message().c_str());
      _exit(1);
    }
    f.rss_mb = peak_rss_mb();
    if (write(fds[1], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  Figures f;
  const bool got = read(fds[0], &f, sizeof f) == static_cast<ssize_t>(sizeof f);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "measurement failed\n");
    std::exit(1);
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  long layers = 10400, blocks = 4, init_ops = 1;
  int runs = 5;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--layers") layers = std::atol(argv[i + 1]);
    else if (flag == "--blocks") blocks = std::atol(argv[i + 1]);
    else if (flag == "--init-ops") init_ops = std::atol(argv[i + 1]);
    else if (flag == "--runs") runs = std::atoi(argv[i + 1]);
    else if (flag == "--rounds") rounds = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr,
                   "usage: %s [--layers L] [--blocks B] [--init-ops K] [--runs N] [--rounds R]\n",
                   argv[0]);
      return 2;
    }
  }
  {
    std::string one, two;
    {
      const quarvel::bench::TempDir dir("quarvel-flatten-bench");
      one = generate(dir.path(), layers, blocks, init_ops);
      two = generate(dir.path(), 2 * layers, blocks, init_ops);
    }
    // The sizes take turns, a child each, so that a slow spell of the machine
    // falls on both rather than on one.
    Figures a = measure(one, runs);
    Figures b = measure(two, runs);
    for (int round = 1; round < rounds; ++round) {
      const Figures a_again = measure(one, runs);
      const Figures b_again = measure(two, runs);
      if (a_again.seconds < a.seconds) a.seconds = a_again.seconds;
      if (b_again.seconds < b.seconds) b.seconds = b_again.seconds;
    }
    std::printf("model: %ld layers x %ld blocks, %ld-op init, best of %d runs in each of %d rounds\n",
                layers, blocks, init_ops, runs, rounds);
    std::printf("  %9zu ops  %8.3f s  %6.2f M ops/s  peak RSS %7.1f MB  %5.0f B/op\n", a.ops,
                a.seconds, a.ops / a.seconds / 1e6, a.rss_mb, a.bytes_per_op);
    std::printf("  %9zu ops  %8.3f s  %6.2f M ops/s  peak RSS %7.1f MB  %5.0f B/op"
                "  (twice the layers)\n",
                b.ops, b.seconds, b.ops / b.seconds / 1e6, b.rss_mb, b.bytes_per_op);
    std::printf("  time ratio for twice the layers: %.2f\n", b.seconds / a.seconds);
  }
  return 0;
}
