// The subcommands, each given its parsed settings; each returns the exit
// status (cli::kSuccess, kFailure).
#pragma once

#include "cli/options.h"

namespace cli {

int run_encode(const EncodeSettings& settings);
int run_decode(const DecodeSettings& settings);
int run_info(const InfoSettings& settings);
int run_compare(const CompareSettings& settings);

}  // namespace cli
