// The kelvane program. A first argument that is a subcommand (encode, decode,
// info, compare) or an option selects the command line of cli/options.h;
// anything else is the classic form, which behaves exactly as it always has.
#include <cstdio>
#include <cstring>

#include "cli/classic.h"
#include "cli/options.h"
#include "cli/output_file.h"

namespace {

bool is_new_form(const char* first) {
  for (const char* command : {"encode", "decode", "info", "compare"})
    if (std::strcmp(first, command) == 0) return true;
  return first[0] == '-';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && is_new_form(argv[1])) {
    cli::install_cleanup_handler();
    return cli::run_command_line(argc, argv);
  }
  if (argc == 1) std::fputs("Run 'kelvane --help' for the full command line.\n", stderr);
  return cli::run_classic(argc, argv);
}
