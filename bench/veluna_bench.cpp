// Throughput of veluna on a real file, and how close its output comes to the
// ideal code length of its adaptive model.
//
//   veluna_bench [file] [runs]
//
// Without a file, a corpus of at least 8 MB is assembled from the license
// texts and a large binary that every Debian machine carries. Each figure is
// the best of `runs` (default 5), in processor time like veluna's own timing
// line, so that other work on the machine disturbs it less.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "entropy/adaptive_model.h"
#include "veluna/veluna.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// About 4 MB of text, then binaries up to at least 8 MB: a mix of the
// skewed and the nearly flat statistics that real files have.
Bytes assemble_corpus() {
  Bytes text;
  std::vector<fs::path> licenses;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator("/usr/share/common-licenses", ignored))
    if (entry.is_regular_file()) licenses.push_back(entry.path());
  std::sort(licenses.begin(), licenses.end());
  while (!licenses.empty() && text.size() < (4u << 20)) {
    for (const auto& path : licenses) {
      Bytes b = read_file(path);
      text.insert(text.end(), b.begin(), b.end());
    }
  }
  Bytes corpus = text;
  const char* binaries[] = {"/usr/bin/cmake", "/usr/lib/x86_64-linux-gnu/libstdc++.so.6",
                            "/usr/lib/x86_64-linux-gnu/libc.so.6", "/bin/bash", "/proc/self/exe"};
  while (corpus.size() < (8u << 20)) {
    size_t before = corpus.size();
    for (const char* path : binaries) {
      Bytes b = read_file(path);
      corpus.insert(corpus.end(), b.begin(), b.end());
      if (corpus.size() >= (8u << 20)) break;
    }
    if (corpus.size() == before) break;
  }
  return corpus;
}

// Sum of -log2 p over every coded symbol, the end symbol included, with p
// the model's probability at the moment the symbol is coded.
double ideal_bits(const Bytes& data) {
  kv::AdaptiveModel model;
  kv::new_context(model, 257, 4096, nullptr);
  double bits = 0;
  auto cost = [&](uint32_t s) {
    return std::log2(static_cast<double>(kv::model_total(model)) / kv::get_frequency(model, s));
  };
  for (uint8_t b : data) {
    bits += cost(b);
    kv::update_context(model, b, 1);
  }
  return bits + cost(256);
}

template <typename Action>
double best_seconds(int runs, Action&& action) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    std::clock_t start = std::clock();
    action();
    best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  Bytes input = argc > 1 ? read_file(argv[1]) : assemble_corpus();
  int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  if (input.empty()) {
    std::puts("no input data");
    return 1;
  }
  const double megabytes = static_cast<double>(input.size()) / 1e6;
  std::printf("input: %zu bytes (%s)\n", input.size(), argc > 1 ? argv[1] : "assembled corpus");

  Bytes compressed, expanded;
  double compress_memory = best_seconds(runs, [&] { compressed = kv::veluna_compress(input); });
  double expand_memory = best_seconds(runs, [&] { expanded = kv::veluna_expand(compressed); });
  if (expanded != input) {
    std::puts("expanded data differs from the input");
    return 1;
  }

  fs::path dir = fs::temp_directory_path() / ("veluna_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "in").string(), packed = (dir / "in.vl").string(), out = (dir / "out").string();
  write_file(in, input);
  double compress_file = best_seconds(runs, [&] { kv::veluna_compress_file(in.c_str(), packed.c_str()); });
  double expand_file = best_seconds(runs, [&] { kv::veluna_expand_file(packed.c_str(), out.c_str()); });
  bool files_agree = read_file(packed) == compressed && read_file(out) == input;
  fs::remove_all(dir);
  if (!files_agree) {
    std::puts("file and memory paths disagree");
    return 1;
  }

  std::printf("compress, memory: %8.2f MB/s\n", megabytes / compress_memory);
  std::printf("expand,   memory: %8.2f MB/s\n", megabytes / expand_memory);
  std::printf("compress, files:  %8.2f MB/s\n", megabytes / compress_file);
  std::printf("expand,   files:  %8.2f MB/s\n", megabytes / expand_file);

  double ideal = ideal_bits(input);
  double actual = 8.0 * static_cast<double>(compressed.size());
  std::printf("compressed: %zu bytes (%.2f%% of the input), ideal code length %.0f bytes\n", compressed.size(),
              100.0 * static_cast<double>(compressed.size()) / static_cast<double>(input.size()), ideal / 8);
  std::printf("compressed size against ideal: %+.4f%%\n", 100.0 * (actual - ideal) / ideal);
  return 0;
}
