// api_timing IMAGE QUANTIZATION RUNS THREADS: the public library's calls as the
// Python module makes them, timed in process: from_8bit + encode of the
// image's bytes, and decode + to_8bit of the stream. Prints one line per
// run: "encode_ms decode_ms" of processor time (the process's, all threads),
// for python/bench/overhead.py.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "kelvane/kelvane.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s IMAGE QUANTIZATION RUNS THREADS\n", argv[0]);
    return 2;
  }
  try {
    const kelvane::Image image = kelvane::read_image(argv[1]);
    const std::vector<uint8_t> bytes = image.to_8bit();
    const float quantization = static_cast<float>(std::atof(argv[2]));
    kelvane::EncodeOptions encoding;
    encoding.threads = std::atoi(argv[4]);
    kelvane::DecodeOptions decoding;
    decoding.threads = encoding.threads;
    const auto ms = [](std::clock_t from, std::clock_t to) { return 1000.0 * static_cast<double>(to - from) / CLOCKS_PER_SEC; };
    for (int run = 0, runs = std::atoi(argv[3]); run < runs; ++run) {
      const std::clock_t start = std::clock();
      const std::vector<uint8_t> stream = kelvane::encode(
          kelvane::Image::from_8bit(bytes, image.width, image.height, image.channels), quantization, encoding);
      const std::clock_t encoded = std::clock();
      const std::vector<uint8_t> back = kelvane::decode(stream, decoding).to_8bit();
      const std::clock_t decoded = std::clock();
      std::printf("%.3f %.3f\n", ms(start, encoded), ms(encoded, decoded));
      std::fflush(stdout);
    }
  } catch (const kelvane::Error& error) {
    std::fprintf(stderr, "%s\n", error.message().c_str());
    return 1;
  }
  return 0;
}
