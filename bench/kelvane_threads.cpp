// kelvane_threads: one whole encode or decode through the library with a
// chosen number of threads, as a fresh process (file input and output
// included), for timing runs against each other:
//   kelvane_threads encode IMAGE STREAM Q THREADS [--rdo]
//   kelvane_threads decode STREAM IMAGE THREADS
//   kelvane_threads window IMAGE Q THREADS [--rdo]
//   kelvane_threads decodes STREAM ROUNDS
// `window` encodes in memory and prints what the window of regions searched
// ahead did: the coding thread's processor time in it against the whole
// process's, and the evaluations made ahead against those the trees held.
// `decodes` decodes the stream in memory ROUNDS times with 1 and with 2
// threads in turn and prints each count's median and least wall time, and
// their ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kelvane/error.h"
#include "kelvane/kelvane.h"
#include "enc/enc_state.h"
#include "enc/encode.h"

int main(int argc, char** argv) {
  try {
    if (argc >= 6 && std::strcmp(argv[1], "encode") == 0) {
      kelvane::EncodeOptions options;
      options.threads = std::atoi(argv[5]);
      options.rate_distortion = argc > 6 && std::strcmp(argv[6], "--rdo") == 0;
      kelvane::encode_file(argv[2], argv[3], static_cast<float>(std::atof(argv[4])), options);
      return 0;
    }
    if (argc >= 5 && std::strcmp(argv[1], "window") == 0) {
      const kelvane::Image image = kelvane::read_image(argv[2]);
      kv::EncoderState state;
      state.threads = std::atoi(argv[4]);
      state.rdo = argc > 5 && std::strcmp(argv[5], "--rdo") == 0;
      const std::clock_t start = std::clock();
      const std::vector<uint8_t> stream = kv::encode_to_memory(
          state, kv::Image{image.width, image.height, image.channels, image.samples}, static_cast<float>(std::atof(argv[3])));
      const double process = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
      const auto& counts = state.window_counts;
      std::printf("bytes %zu process_cpu_s %.3f coding_thread_s %.3f evaluated_ahead %lld evaluated %lld\n",
                  stream.size(), process, counts.coding_seconds, static_cast<long long>(counts.evaluated_ahead),
                  static_cast<long long>(counts.evaluated));
      return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "decodes") == 0) {
      std::ifstream file(argv[2], std::ios::binary);
      const std::vector<uint8_t> stream((std::istreambuf_iterator<char>(file)), {});
      std::vector<double> seconds[3];
      for (int round = 0; round < std::atoi(argv[3]); ++round)
        for (int threads : {1, 2}) {
          kelvane::DecodeOptions options;
          options.threads = threads;
          const auto start = std::chrono::steady_clock::now();
          kelvane::decode(stream, options);
          seconds[threads].push_back(
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
      if (seconds[1].empty()) return 2;
      for (std::vector<double>& times : seconds) std::sort(times.begin(), times.end());
      const auto median = [&](int threads) { return seconds[threads][seconds[threads].size() / 2]; };
      std::printf("1 thread median %.3f s least %.3f s; 2 threads median %.3f s least %.3f s; ratio %.3f, %.3f\n",
                  median(1), seconds[1][0], median(2), seconds[2][0], median(2) / median(1),
                  seconds[2][0] / seconds[1][0]);
      return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "decode") == 0) {
      kelvane::DecodeOptions options;
      options.threads = std::atoi(argv[4]);
      kelvane::decode_file(argv[2], argv[3], options);
      return 0;
    }
  } catch (const kelvane::Error& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  std::fprintf(stderr,
               "usage: kelvane_threads encode IMAGE STREAM Q THREADS [--rdo]\n"
               "       kelvane_threads decode STREAM IMAGE THREADS\n"
               "       kelvane_threads window IMAGE Q THREADS [--rdo]\n"
               "       kelvane_threads decodes STREAM ROUNDS\n");
  return 2;
}
