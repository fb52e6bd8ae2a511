// The classic command line, `kelvane IN OUT Q [--rdo]` and `kelvane IN OUT`:
// its banner, console lines, diagnostic picture and statuses, unchanged.
#pragma once

namespace cli {

int run_classic(int argc, char** argv);

}  // namespace cli
