#include "cli/batch.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include "cli/json.h"
#include "cli/messages.h"
#include "cli/output_file.h"

namespace cli {

namespace fs = std::filesystem;

std::string extension_of(const std::string& path) {
  std::string extension = fs::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

std::string stem_of(const std::string& path) { return fs::path(path).stem().string(); }

namespace {

// Where `path` leads: its absolute form with the links of its existing part
// followed, so that two spellings of one file give one place.
std::string place_of(const std::string& path) {
  std::error_code code;
  fs::path place = fs::weakly_canonical(fs::absolute(path, code), code);
  if (code) place = fs::path(path).lexically_normal();
  return place.string();
}

// The files under `dir` that `wanted` accepts, and the folders below it that
// cannot be read (with the reason). Links to folders are not followed, so a
// link loop cannot recur.
void collect_files(const fs::path& dir, const std::function<bool(const std::string&)>& wanted,
                   std::vector<fs::path>& files, std::vector<std::pair<fs::path, std::string>>& unreadable) {
  std::error_code code;
  fs::directory_iterator it(dir, code), end;
  for (; !code && it != end; it.increment(code)) {
    std::error_code kind;
    const fs::file_status status = it->symlink_status(kind);
    if (fs::is_directory(status))
      collect_files(it->path(), wanted, files, unreadable);
    else if (it->is_regular_file(kind) && wanted(it->path().string()))
      files.push_back(it->path());
  }
  if (code) unreadable.emplace_back(dir, code.message());
}

}  // namespace

std::vector<Job> plan_jobs(const BatchSettings& settings, const std::function<bool(const std::string&)>& wanted,
                           const std::function<std::string(const std::string&)>& output_name, std::string& error) {
  std::vector<Job> jobs;
  if (!settings.output_dir.empty()) {
    const std::string reason = check_writable_dir(settings.output_dir);
    if (!reason.empty()) {
      error = settings.output_dir + ": the output folder cannot be written (" + reason + ")";
      return {};
    }
  }
  auto output_for = [&](const std::string& input, const fs::path& relative_dir) -> std::string {
    if (!settings.output.empty()) return settings.output;
    if (input == "-") return "-";
    const std::string name = output_name(input);
    if (settings.output_dir.empty()) return (fs::path(input).parent_path() / name).string();
    return (fs::path(settings.output_dir) / relative_dir / name).lexically_normal().string();
  };
  for (const std::string& input : settings.inputs) {
    std::error_code code;
    if (input != "-" && fs::is_directory(input, code)) {
      if (!settings.recursive) {
        jobs.push_back(Job{input, output_for(input, {}), 0, input + ": is a folder (use -r to code the files in it)"});
        continue;
      }
      std::vector<fs::path> files;
      std::vector<std::pair<fs::path, std::string>> unreadable;
      collect_files(input, wanted, files, unreadable);
      std::sort(files.begin(), files.end());
      for (const fs::path& file : files) {
        const fs::path relative = file.lexically_relative(input).parent_path();
        jobs.push_back(Job{file.string(), output_for(file.string(), relative), fs::file_size(file, code), {}});
      }
      // A folder that cannot be read fails like a file, so that nothing is left out unsaid.
      for (const auto& [dir, reason] : unreadable)
        jobs.push_back(Job{dir.string(), "", 0, dir.string() + ": the folder cannot be read (" + reason + ")"});
      continue;
    }
    Job job{input, output_for(input, {}), 0, {}};
    if (input != "-") {
      const auto size = fs::file_size(input, code);
      job.input_bytes = code ? 0 : size;
    }
    jobs.push_back(job);
  }
  const auto files = std::count_if(jobs.begin(), jobs.end(), [](const Job& job) { return job.problem.empty(); });
  if (!settings.output.empty() && files > 1)
    throw UsageError("-o takes one input, and " + std::to_string(files) + " were found; use --output-dir for several");
  // Two inputs named onto one output, however spelled: the later ones fail
  // instead of overwriting.
  std::map<std::string, std::string> owners;
  for (Job& job : jobs) {
    if (job.output == "-" || job.output.empty() || !job.problem.empty()) continue;
    auto [it, fresh] = owners.emplace(place_of(job.output), job.input);
    if (!fresh) job.problem = job.output + ": also the output of " + it->second + "; not written twice";
  }
  // Folders mirrored under --output-dir are made as needed.
  if (!settings.output_dir.empty())
    for (const Job& job : jobs) {
      const fs::path parent = fs::path(job.output).parent_path();
      std::error_code ignored;  // a folder that cannot be made fails its job at the output
      if (!parent.empty() && job.problem.empty()) fs::create_directories(parent, ignored);
    }
  return jobs;
}

bool same_place(const std::string& a, const std::string& b) { return same_file(a, b) || place_of(a) == place_of(b); }

Outcome check_output(const Job& job, const BatchSettings& settings) {
  Outcome outcome;
  outcome.status = Outcome::Status::kDone;
  if (job.output == "-") return outcome;
  struct stat st;
  if (::stat(job.output.c_str(), &st) != 0) return outcome;
  if (same_file(job.input, job.output)) {
    outcome.status = Outcome::Status::kFailed;
    outcome.message = job.output + ": is the input file; it is never overwritten";
  } else if (S_ISDIR(st.st_mode)) {
    outcome.status = Outcome::Status::kFailed;
    outcome.message = job.output + ": is a folder";
  } else if (!S_ISREG(st.st_mode)) {
    // A device or pipe holds no file to keep: it is written into.
  } else if (settings.skip_existing) {
    outcome.status = Outcome::Status::kSkipped;
    outcome.message = job.output + ": exists, skipped";
  } else if (!settings.force) {
    outcome.status = Outcome::Status::kFailed;
    outcome.message = job.output + ": already exists (use --force to overwrite it, or --skip-existing)";
  }
  return outcome;
}

int run_jobs(const std::vector<Job>& jobs, const BatchSettings& settings, const JobWork& work) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int workers = std::max(1, std::min<int>(settings.jobs, static_cast<int>(jobs.size())));
  const int threads = settings.threads > 0 ? settings.threads : (workers > 1 ? std::max(1, cores / workers) : 0);
  uint64_t total_bytes = 0;
  for (const Job& job : jobs) total_bytes += job.input_bytes;
  Progress progress(Progress::terminal() && !settings.quiet, jobs.size(), total_bytes);

  std::mutex results_mutex;
  std::vector<std::string> failed;
  size_t done = 0, skipped = 0;
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t i; (i = next.fetch_add(1)) < jobs.size();) {
      const Job& job = jobs[i];
      Outcome outcome;
      if (!job.problem.empty()) {
        outcome.message = job.problem;
      } else {
        try {
          outcome = work(job, threads, jobs.size() == 1, progress);
        } catch (const std::bad_alloc&) {
          outcome.status = Outcome::Status::kFailed;
          outcome.message = (job.input == "-" ? std::string("standard input") : job.input) +
                            ": not enough memory to read and code it";
        } catch (const std::exception& e) {
          outcome.status = Outcome::Status::kFailed;
          outcome.message = (job.input == "-" ? std::string("standard input") : job.input) + ": " + e.what();
        }
      }
      // Every file has its line: a failure or a skip says so.
      if (settings.json && outcome.json.empty()) {
        JsonLine line;
        line.text("input", job.input).text("output", job.output);
        if (outcome.status == Outcome::Status::kFailed)
          line.text("error", outcome.message);
        else
          line.raw("skipped", "true");
        outcome.json = line.str();
      }
      {
        std::lock_guard lock(results_mutex);
        if (!outcome.json.empty()) {
          std::fputs((outcome.json + "\n").c_str(), stdout);
          std::fflush(stdout);
        }
        if (!settings.quiet)
          for (const std::string& line : outcome.warnings) message("kelvane: " + line);
        if (outcome.status == Outcome::Status::kFailed) {
          failed.push_back(job.input);
          message("kelvane: " + outcome.message);
        } else {
          if (outcome.status == Outcome::Status::kSkipped) ++skipped;
          ++done;
          if (!settings.quiet && !outcome.message.empty()) message(outcome.message);
        }
      }
      progress.file_done(job.input_bytes);
    }
  };
  std::vector<std::thread> pool;
  for (int i = 1; i < workers; ++i) pool.emplace_back(worker);
  worker();
  for (std::thread& thread : pool) thread.join();

  if (jobs.size() > 1 && (!settings.quiet || !failed.empty())) {
    std::string summary = "kelvane: " + std::to_string(done) + " of " + std::to_string(jobs.size()) + " files done";
    if (skipped) summary += " (" + std::to_string(skipped) + " skipped)";
    if (!failed.empty()) {
      summary += "; failed:";
      for (const std::string& input : failed) summary += " " + input;
    }
    message(summary);
  }
  return failed.empty() ? kSuccess : kFailure;
}

}  // namespace cli
