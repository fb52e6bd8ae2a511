// The command line's settings and their parsing: `kelvane encode`, `decode`,
// `info` and `compare` with their options, --help and --version.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelvane/kelvane.h"

namespace cli {

// Exit statuses of the subcommands.
inline constexpr int kSuccess = 0;    // every file succeeded (or was skipped on request)
inline constexpr int kFailure = 1;    // at least one file failed; the others still ran
inline constexpr int kUsageError = 2; // the command line itself is wrong; nothing was done

// A usage error found once the command runs (its files listed, say): the
// command line's status and message, as for an error found while parsing.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Settings every file-producing command shares.
struct BatchSettings {
  std::vector<std::string> inputs;
  std::string output;      // -o: one input's output; "-" is standard output
  std::string output_dir;  // --output-dir
  bool recursive = false;
  bool force = false;
  bool skip_existing = false;
  bool quiet = false;
  bool verbose = false;
  bool json = false;
  int jobs = 1;
  int threads = 0;          // per job; 0: every core divided among the jobs
};

struct EncodeSettings : BatchSettings {
  float quantization = 0;
  bool rate_distortion = false;
  int effort = 1;           // the rate-distortion mode's: 1 or 2
  std::string directions;   // where the diagnostic picture goes; empty: nowhere
  kelvane::Target target;
  float alpha_quantization = 1;  // the alpha plane's; 1 or less: exact
  bool exact = false;            // keep the colour under fully transparent pixels
  bool strip_metadata = false;   // leave ICC, EXIF and XMP out of the streams
};

struct DecodeSettings : BatchSettings {
  enum class Format { kByName, kPng, kPam, kPnm };
  Format format = Format::kByName;
  uint64_t memory_limit = 0;
};

struct InfoSettings {
  std::vector<std::string> files;
  bool json = false;
};

struct CompareSettings {
  std::string first, second;
  bool json = false;
};

// The quantization used when neither -q, --lossless nor a target is given.
inline constexpr float kDefaultQuantization = 8.0f;

// Parses the new form (the first argument is a subcommand or an option) and
// runs it; returns the exit status.
int run_command_line(int argc, char** argv);

// Checked conversions of option values; false when `text` is not wholly a
// value of the kind (the number checks also reject infinities and NaN
// unless said otherwise).
bool parse_finite(const std::string& text, double& value);
bool parse_byte_count(const std::string& text, uint64_t& value);  // digits with an optional K, M or G (powers of 1024)

}  // namespace cli
