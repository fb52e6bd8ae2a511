// kelvane encode: images to streams.
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

bool is_image_name(const std::string& path) {
  const std::string extension = extension_of(path);
  return extension == ".png" || extension == ".pam" || extension == ".pnm" || extension == ".pgm" ||
         extension == ".ppm" || extension == ".pbm";
}

Outcome failure(const std::string& message) {
  Outcome outcome;
  outcome.message = message;
  return outcome;
}

// Reads the image at `input` ("-": standard input, kept in a temporary file
// while it is read).
kelvane::Image read_input(const std::string& input) {
  if (input != "-") return kelvane::read_image(input);
  std::vector<uint8_t> bytes;
  TempFile spool;
  if (!read_bytes("-", bytes) || !spool.create("") || !write_bytes(spool.path(), bytes))
    throw kelvane::Error(kelvane::ErrorCode::kImageRead, "standard input cannot be read");
  return kelvane::read_image(spool.path());
}

Outcome encode_one(const EncodeSettings& settings, const Job& job, int threads, bool single, Progress& progress) {
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome = check_output(job, settings);
  if (outcome.status != Outcome::Status::kDone) return outcome;
  TempFile stream_file, picture_file;
  const bool to_stdout = job.output == "-";
  if (!to_stdout && !stream_file.create(job.output))
    return failure(job.output + ": cannot be written (" + system_reason(errno) + ")");
  if (!settings.directions.empty()) {
    Job picture_job{job.input, settings.directions, 0, {}};
    if (same_place(settings.directions, job.output)) return failure(settings.directions + ": is the stream's output");
    Outcome picture = check_output(picture_job, settings);
    if (picture.status != Outcome::Status::kDone) return picture;
    if (!picture_file.create(settings.directions, extension_of(settings.directions) == ".png" ? ".png" : ".pnm"))
      return failure(settings.directions + ": cannot be written (" + system_reason(errno) + ")");
  }

  kelvane::Image image;
  try {
    image = read_input(job.input);
  } catch (const kelvane::Error& error) {
    return failure(describe(error, job.input, Role::kImageInput));
  }
  kelvane::EncodeOptions options;
  options.threads = threads;
  options.rate_distortion = settings.rate_distortion;
  options.effort = settings.effort;
  options.target = settings.target;
  options.alpha_quantization = settings.alpha_quantization;
  options.exact = settings.exact;
  options.strip_metadata = settings.strip_metadata;
  std::vector<std::string> warnings;
  options.warnings = &warnings;
  kelvane::EncodeReport report;
  if (settings.json || settings.verbose || settings.target.kind != kelvane::Target::Kind::kNone)
    options.report = &report;
  kelvane::Image picture;
  if (!settings.directions.empty()) options.direction_picture = &picture;
  if (single) options.progress = [&progress](double fraction) { progress.fraction(fraction); };
  std::vector<uint8_t> stream;
  try {
    stream = kelvane::encode(image, settings.quantization, options);
  } catch (const kelvane::Error& error) {
    Outcome failed = failure(describe(error, job.input, Role::kImageInput));
    for (const std::string& line : warnings) failed.warnings.push_back(warning_line(job.input, line));
    return failed;
  }
  for (const std::string& line : warnings) outcome.warnings.push_back(warning_line(job.input, line));

  if (to_stdout) {
    if (!write_stdout(stream)) return failure("standard output: cannot be written (" + system_reason(errno) + ")");
  } else if (!write_bytes(stream_file.path(), stream) || !stream_file.commit()) {
    return failure(job.output + ": cannot be written (" + system_reason(errno) + ")");
  }
  if (!settings.directions.empty()) {
    try {
      kelvane::write_image(picture_file.path(), picture);
    } catch (const kelvane::Error& error) {
      return failure(describe(error, settings.directions, Role::kOutput));
    }
    if (!picture_file.commit())
      return failure(settings.directions + ": cannot be written (" + system_reason(errno) + ")");
  }

  const double milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  // A target leaves the choice to the encoder, which reports it.
  const double quantization =
      settings.target.kind == kelvane::Target::Kind::kNone ? settings.quantization : report.quantization;
  const double bpp = 8.0 * static_cast<double>(stream.size()) / (double(image.width) * image.height);
  const bool alpha = image.channels == 2 || image.channels == 4;
  outcome.status = Outcome::Status::kDone;
  if (settings.json)
    outcome.json = JsonLine()
                       .text("input", job.input)
                       .text("output", job.output)
                       .integer("width", image.width)
                       .integer("height", image.height)
                       .integer("channels", image.channels)
                       .raw("alpha", alpha ? "true" : "false")
                       .number("quantization", quantization)
                       .raw("tuned", report.tuned ? "true" : "false")
                       .integer("bytes", static_cast<int64_t>(stream.size()))
                       .number("bits_per_pixel", bpp)
                       .number("psnr", report.psnr)
                       .number("milliseconds", milliseconds)
                       .str();
  char line[512];
  std::snprintf(line, sizeof line, ": %dx%d, %d channel%s%s, %zu bytes, %.3f bpp", image.width, image.height,
                image.channels, image.channels == 1 ? "" : "s", alpha ? " (alpha last)" : "", stream.size(), bpp);
  outcome.message = (job.input == "-" ? std::string("standard input") : job.input) + " -> " +
                    (to_stdout ? std::string("standard output") : job.output) + line;
  if (settings.verbose) {
    std::snprintf(line, sizeof line, ", q %g, PSNR %.2f dB, %.0f ms", quantization, report.psnr, milliseconds);
    outcome.message += line;
    outcome.message += threads == 0 ? ", every core" : ", " + std::to_string(threads) + " thread(s)";
  }
  return outcome;
}

}  // namespace

int run_encode(const EncodeSettings& settings) {
  std::string error;
  std::vector<Job> jobs = plan_jobs(
      settings, is_image_name, [](const std::string& input) { return stem_of(input) + ".kv2"; }, error);
  if (!error.empty()) {
    message("kelvane: " + error);
    return kFailure;
  }
  if (!settings.directions.empty() && jobs.size() > 1)
    throw UsageError("--directions takes one input, and " + std::to_string(jobs.size()) + " were found");
  for (const Job& job : jobs)
    if (job.output == "-" && ::isatty(STDOUT_FILENO) == 1) {
      message("kelvane: refusing to write a compressed stream to a terminal (use -o FILE or redirect the output)");
      return kFailure;
    }
  return run_jobs(jobs, settings, [&settings](const Job& job, int threads, bool single, Progress& progress) {
    return encode_one(settings, job, threads, single, progress);
  });
}

}  // namespace cli
