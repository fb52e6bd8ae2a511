// Many files in one run: expanding the inputs, naming the outputs, running
// the files on a few threads at once, and the summary.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/progress.h"

namespace cli {

struct Job {
  std::string input;
  std::string output;       // "-" for standard output
  uint64_t input_bytes = 0; // 0 for standard input
  std::string problem;      // when not empty, the job fails with this message without running
};

// The jobs of `settings`: every input, the files under folders with -r
// (those `wanted` accepts, in name order), each given its output: -o,
// --output-dir (mirroring folders), or beside the input; standard output for
// standard input. `output_name(input)` gives an output's file name without
// folder. A folder given without -r, one under it that cannot be read, and
// an output that another input's output already names (however spelled) are
// jobs that fail with their `problem`. Empty, with `error` set, when the
// output folder cannot be written; throws UsageError when -o is given and
// the inputs hold more than one file.
std::vector<Job> plan_jobs(const BatchSettings& settings, const std::function<bool(const std::string&)>& wanted,
                           const std::function<std::string(const std::string&)>& output_name, std::string& error);

// The result of one job.
struct Outcome {
  enum class Status { kDone, kSkipped, kFailed };
  Status status = Status::kFailed;
  std::string message;  // the failure, or the note, for standard error
  std::string json;     // the --json line, without newline
  // Things the user should hear of, whatever the status: one line each,
  // printed after "kelvane: " before the message unless --quiet.
  std::vector<std::string> warnings;
};

// What a job does; `single` is true when it is the only one, so that it may
// report its own progress through `progress`.
using JobWork = std::function<Outcome(const Job& job, int threads, bool single, Progress& progress)>;

// Runs `jobs` on settings.jobs threads (each job's library calls told to use
// `settings.threads`, or the cores divided among the jobs), printing JSON
// lines and messages as they finish, then a summary naming the failures.
// Returns kSuccess or kFailure.
int run_jobs(const std::vector<Job>& jobs, const BatchSettings& settings, const JobWork& work);

// Checks `job.output` before any work: an existing output is kept unless
// --force (skipped with --skip-existing), and never overwritten when it is the
// input. Empty outcome message and status kDone when the work may go on.
Outcome check_output(const Job& job, const BatchSettings& settings);

// True when the two names are one file, or would be once created (their
// folders' links followed).
bool same_place(const std::string& a, const std::string& b);

// The file name's last dot and what follows, lower-case ("" when none).
std::string extension_of(const std::string& path);
// The file name without folder and extension.
std::string stem_of(const std::string& path);

}  // namespace cli
