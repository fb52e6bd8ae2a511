// The veluna program: the library's file calls behind a command line.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "kelvane/veluna.h"

int main(int argc, char** argv) {
  std::clock_t start = std::clock();
  std::puts("VELUNA: a simple arithmetic coder");
  if (argc != 4 || std::strlen(argv[1]) < 2 || (argv[1][1] != 'c' && argv[1][1] != 'd')) {
    std::puts("Usage:\n veluna -c infile compressedfile\n veluna -d compressedfile outfile");
    return 2;
  }
  try {
    if (argv[1][1] == 'd')
      kelvane::veluna_expand_file(argv[2], argv[3]);
    else
      kelvane::veluna_compress_file(argv[2], argv[3]);
  } catch (const kelvane::Error& error) {
    std::fputs(error.message().c_str(), stdout);
    std::fflush(stdout);
    return kelvane::classic_status(error.code());
  }
  std::printf("%.3fs", static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
  std::fflush(stdout);
  return 0;
}
