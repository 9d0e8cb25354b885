// What the benchmark programs share: reading files, generating workloads with
// bench/gen_workload.py, and best-of-N timing. A failure here ends the program
// with a message on stderr.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <type_traits>

namespace quarvel::bench {

using Clock = std::chrono::steady_clock;

inline std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  std::stringstream buffer;
  buffer << file.rdbuf();
  return buffer.str();
}

// A new directory under the system's temporary directory, removed with
// everything in it when this goes out of scope.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix) {
    std::string name = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (!mkdtemp(name.data())) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    path_ = name;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs `gen_workload.py KIND OPTIONS --out OUT` and returns the text of the
// OUT/KIND.qrv it writes.
inline std::string generate_workload(const std::string& kind, const std::string& options,
                                     const std::filesystem::path& out) {
  const std::string command = "python3 '" QUARVEL_SOURCE_DIR "/bench/gen_workload.py' " + kind + " " +
                              options + " --out '" + out.string() + "'";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
  return read_file((out / (kind + ".qrv")).string());
}

// Keeps the results of timed steps alive, so that no step is optimised away.
inline volatile std::size_t sink = 0;

// Best wall time in seconds of `runs` calls of `step`; a step may return a
// size, which goes to `sink`.
template <class Step>
double best_of(int runs, const Step& step) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    if constexpr (std::is_void_v<decltype(step())>) {
      step();
    } else {
      sink = sink + static_cast<std::size_t>(step());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (seconds < best) best = seconds;
  }
  return best;
}

}  // namespace quarvel::bench
