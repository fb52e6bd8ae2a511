// kelvane_threads: one whole encode or decode through the library with a
// chosen number of threads, as a fresh process (file input and output
// included), for timing runs against each other:
//   kelvane_threads encode IMAGE STREAM Q THREADS [--rdo]
//   kelvane_threads decode STREAM IMAGE THREADS
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kelvane/error.h"
#include "kelvane/kelvane.h"

int main(int argc, char** argv) {
  try {
    if (argc >= 6 && std::strcmp(argv[1], "encode") == 0) {
      kelvane::EncodeOptions options;
      options.threads = std::atoi(argv[5]);
      options.rate_distortion = argc > 6 && std::strcmp(argv[6], "--rdo") == 0;
      kelvane::encode_file(argv[2], argv[3], static_cast<float>(std::atof(argv[4])), options);
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
               "       kelvane_threads decode STREAM IMAGE THREADS\n");
  return 2;
}
