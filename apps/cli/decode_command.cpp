// kelvane decode: streams to images.
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "cli/batch.h"
#include "cli/commands.h"
#include "cli/json.h"
#include "cli/messages.h"
#include "cli/output_file.h"

namespace cli {

namespace {

Outcome failure(const std::string& message) {
  Outcome outcome;
  outcome.message = message;
  return outcome;
}

bool writes_png(const DecodeSettings& settings, const std::string& output) {
  if (settings.format != DecodeSettings::Format::kByName) return settings.format == DecodeSettings::Format::kPng;
  return output != "-" && extension_of(output) == ".png";
}

// The output name for `input`: its stem and the extension of the format,
// .pgm or .ppm for PNM as the header's channels say.
std::string output_name(const DecodeSettings& settings, const std::string& input) {
  if (settings.format == DecodeSettings::Format::kPng) return stem_of(input) + ".png";
  std::vector<uint8_t> head;
  int channels = 0;
  if (read_bytes(input, head, 64)) {
    try {
      channels = kelvane::read_info(head).channels;
    } catch (const kelvane::Error&) {
    }
  }
  return stem_of(input) + (channels == 1 ? ".pgm" : channels == 3 ? ".ppm" : ".pnm");
}

Outcome decode_one(const DecodeSettings& settings, const Job& job, int threads) {
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome = check_output(job, settings);
  if (outcome.status != Outcome::Status::kDone) return outcome;
  const bool to_stdout = job.output == "-";
  const bool png = writes_png(settings, job.output);
  TempFile image_file;
  // Standard output gets the image through a temporary file of the format.
  if (!image_file.create(to_stdout ? std::string() : job.output, png ? ".png" : ".pnm"))
    return failure((to_stdout ? std::string("a temporary file") : job.output) + ": cannot be written (" +
                   system_reason(errno) + ")");

  std::vector<uint8_t> stream;
  if (!read_bytes(job.input, stream))
    return failure((job.input == "-" ? std::string("standard input") : job.input) + ": " + system_reason(errno));
  kelvane::DecodeOptions options;
  options.threads = threads;
  options.memory_limit = settings.memory_limit;
  kelvane::Image image;
  try {
    image = kelvane::decode(stream, options);
  } catch (const kelvane::Error& error) {
    return failure(describe(error, job.input, Role::kStreamInput, settings.memory_limit));
  }
  if (image.channels != 1 && image.channels != 3)
    return failure(job.input + ": images of " + std::to_string(image.channels) +
                   " channels cannot be written as PNM or PNG");
  try {
    kelvane::write_image(image_file.path(), image);
  } catch (const kelvane::Error& error) {
    return failure(describe(error, to_stdout ? "-" : job.output, Role::kOutput));
  }
  if (to_stdout) {
    std::vector<uint8_t> bytes;
    if (!read_bytes(image_file.path(), bytes) || !write_stdout(bytes))
      return failure("standard output: cannot be written (" + system_reason(errno) + ")");
  } else if (!image_file.commit(job.output)) {
    return failure(job.output + ": cannot be written (" + system_reason(errno) + ")");
  }

  const double milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (settings.json)
    outcome.json = JsonLine()
                       .text("input", job.input)
                       .text("output", job.output)
                       .integer("width", image.width)
                       .integer("height", image.height)
                       .integer("channels", image.channels)
                       .integer("bytes", static_cast<int64_t>(stream.size()))
                       .number("milliseconds", milliseconds)
                       .str();
  char line[256];
  std::snprintf(line, sizeof line, ": %dx%d, %d channel%s", image.width, image.height, image.channels,
                image.channels == 1 ? "" : "s");
  outcome.message = (job.input == "-" ? std::string("standard input") : job.input) + " -> " +
                    (to_stdout ? std::string("standard output") : job.output) + line;
  if (settings.verbose) {
    std::snprintf(line, sizeof line, ", %.0f ms", milliseconds);
    outcome.message += line;
  }
  return outcome;
}

}  // namespace

int run_decode(const DecodeSettings& settings) {
  std::string error;
  std::vector<Job> jobs = plan_jobs(
      settings, [](const std::string& path) { return extension_of(path) == ".kv2"; },
      [&settings](const std::string& input) { return output_name(settings, input); }, error);
  if (!error.empty()) {
    message("kelvane: " + error);
    return kFailure;
  }
  for (const Job& job : jobs)
    if (job.output == "-" && ::isatty(STDOUT_FILENO) == 1) {
      message("kelvane: refusing to write an image to a terminal (use -o FILE or redirect the output)");
      return kFailure;
    }
  return run_jobs(jobs, settings, [&settings](const Job& job, int threads, bool, Progress&) {
    return decode_one(settings, job, threads);
  });
}

}  // namespace cli
