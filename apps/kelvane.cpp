// The kelvane program. A first argument that is a subcommand (encode, decode,
// info, compare) or an option selects the command line of cli/options.h;
// anything else is the classic form, which behaves exactly as it always has.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "cli/classic.h"
#include "cli/options.h"
#include "cli/output_file.h"

namespace {

constexpr const char* kCommands[] = {"encode", "decode", "info", "compare"};

bool is_new_form(const char* first) {
  for (const char* command : kCommands)
    if (std::strcmp(first, command) == 0) return true;
  return first[0] == '-';
}

// Edits (insertions, deletions, substitutions) between a and b.
size_t distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// A first argument that is no file but nearly a command's name was most
// likely meant as that command: said on standard error, before the classic
// form answers as it always has.
void hint_at_command(const char* first) {
  struct stat st;
  if (std::strpbrk(first, "./") || ::stat(first, &st) == 0) return;
  for (const char* command : kCommands)
    if (distance(first, command) <= 2) {
      std::fprintf(stderr, "kelvane: '%s' is not a command; did you mean '%s'? (kelvane --help)\n", first, command);
      return;
    }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && is_new_form(argv[1])) {
    cli::install_cleanup_handler();
    return cli::finish_stdout(cli::run_command_line(argc, argv));
  }
  if (argc == 1) std::fputs("Run 'kelvane --help' for the full command line.\n", stderr);
  if (argc > 1) hint_at_command(argv[1]);
  return cli::run_classic(argc, argv);
}
