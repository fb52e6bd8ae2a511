// The veluna program: the library's byte coder behind a command line.
// `veluna -c IN OUT` compresses, `veluna -d IN OUT` expands; either name may
// be "-" for standard input or output, and then the banner and messages go to
// standard error. Outputs appear under their names only when complete.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli/output_file.h"
#include "kelvane/veluna.h"

#ifndef KV_VERSION
#define KV_VERSION "unknown"
#endif

namespace {

const char kUsage[] = "Usage:\n veluna -c infile compressedfile\n veluna -d compressedfile outfile";

// Replaces every `from` in `text` by `to`: the library names the temporary
// file where the user knows only the output.
std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

// True when `path` names something other than a regular file (a device, a
// pipe): written in place, as no temporary file can stand in for it.
bool special_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// Codes `input` into `output` (either may be "-"). Throws kelvane::Error
// with the library's messages.
void run(bool expand, const std::string& input, const std::string& output) {
  using kelvane::Error;
  using kelvane::ErrorCode;
  if (!cli::is_stdio(output) && cli::same_file(input, output))
    throw Error(ErrorCode::kStreamFile, "main: input and output are the same file");
  if (cli::is_stdio(input) || cli::is_stdio(output)) {
    std::vector<uint8_t> bytes;
    if (!cli::read_bytes(input, bytes)) {
      if (!cli::is_stdio(input) && errno == ENOENT) throw Error(ErrorCode::kStreamFile, "main: Cannot open \"" + input + "\"");
      throw Error(ErrorCode::kStreamFile, "main: read error");
    }
    const std::vector<uint8_t> coded = expand ? kelvane::veluna_expand(bytes) : kelvane::veluna_compress(bytes);
    if (cli::is_stdio(output)) {
      if (!cli::write_stdout(coded)) throw Error(ErrorCode::kStreamFile, "main: write error");
      return;
    }
    cli::TempFile temp;
    if (!temp.create(output) || !cli::write_bytes(temp.path(), coded) || !temp.commit())
      throw Error(ErrorCode::kStreamFile, "main: Cannot open \"" + output + "\"");
    return;
  }
  cli::TempFile temp;
  if (special_file(output) || !temp.create(output)) {
    // The library's own failures for a folder that does not exist, or a device.
    expand ? kelvane::veluna_expand_file(input, output) : kelvane::veluna_compress_file(input, output);
    return;
  }
  try {
    expand ? kelvane::veluna_expand_file(input, temp.path()) : kelvane::veluna_compress_file(input, temp.path());
  } catch (const Error& error) {
    throw Error(error.code(), replace_all(error.message(), temp.path(), output));
  }
  if (!temp.commit()) throw Error(ErrorCode::kStreamFile, "main: Cannot open \"" + output + "\"");
}

}  // namespace

int main(int argc, char** argv) {
  std::clock_t start = std::clock();
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::printf("VELUNA: a simple arithmetic coder\n%s\n"
                "Either file may be '-' for standard input or output; the messages then go to standard error.\n"
                "A failed run leaves no output file. Exit status: 0 done, 1 a file or data problem, 2 usage.\n",
                kUsage);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("veluna %s\n", KV_VERSION);
    return 0;
  }
  // With standard output carrying the data, everything else goes to standard error.
  const bool data_on_stdout = argc == 4 && cli::is_stdio(argv[3]);
  std::FILE* console = data_on_stdout ? stderr : stdout;
  std::fputs("VELUNA: a simple arithmetic coder\n", console);
  if (argc != 4 || std::strlen(argv[1]) < 2 || (argv[1][1] != 'c' && argv[1][1] != 'd')) {
    std::fprintf(console, "%s\n", kUsage);
    return 2;
  }
  const bool expand = argv[1][1] == 'd';
  if (data_on_stdout && !expand && ::isatty(STDOUT_FILENO) == 1) {
    std::fputs("refusing to write compressed data to a terminal", console);
    std::fflush(console);
    return 1;
  }
  cli::install_cleanup_handler();
  try {
    run(expand, argv[2], argv[3]);
  } catch (const kelvane::Error& error) {
    std::fputs(error.message().c_str(), console);
    std::fflush(console);
    return kelvane::classic_status(error.code());
  }
  std::fprintf(console, "%.3fs", static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
  std::fflush(console);
  return 0;
}
