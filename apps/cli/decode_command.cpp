// kelvane decode: streams to images.
#include <unistd.h>

#include <cerrno>
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

// The format `output` is written in: --format, else its name's extension
// (.png, .pam; anything else and standard output PNM).
DecodeSettings::Format format_of(const DecodeSettings& settings, const std::string& output) {
  if (settings.format != DecodeSettings::Format::kByName) return settings.format;
  const std::string extension = output == "-" ? std::string() : extension_of(output);
  if (extension == ".png") return DecodeSettings::Format::kPng;
  if (extension == ".pam") return DecodeSettings::Format::kPam;
  return DecodeSettings::Format::kPnm;
}

// The colour or grey part of `image`, its alpha (the last channel) left out.
kelvane::Image without_alpha(const kelvane::Image& image) {
  kelvane::Image colour{image.width, image.height, image.channels - 1, {}, image.metadata};
  const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  colour.samples.resize(pixels * static_cast<size_t>(colour.channels));
  for (size_t p = 0; p < pixels; ++p)
    for (int c = 0; c < colour.channels; ++c)
      colour.samples[p * colour.channels + c] = image.samples[p * image.channels + c];
  return colour;
}

// The output name for `input`: its stem and the extension of the format,
// .pgm or .ppm for PNM as the header's channels say (those of the colour or
// grey part: a stream's alpha is in its trailer).
std::string output_name(const DecodeSettings& settings, const std::string& input) {
  if (settings.format == DecodeSettings::Format::kPng) return stem_of(input) + ".png";
  if (settings.format == DecodeSettings::Format::kPam) return stem_of(input) + ".pam";
  std::vector<uint8_t> head;
  int channels = 0;
  // A pipe is not read ahead of its decode: its image is named .pnm.
  if (!read_once_only(input) && read_bytes(input, head, 64)) {
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
  const DecodeSettings::Format format = format_of(settings, job.output);
  const bool keeps_alpha = format != DecodeSettings::Format::kPnm;
  TempFile image_file;
  // The image goes through a temporary file whose extension chooses the
  // format (then, for standard output, copied there).
  const char* suffix = format == DecodeSettings::Format::kPng   ? ".png"
                       : format == DecodeSettings::Format::kPam ? ".pam"
                                                                 : ".pnm";
  if (!image_file.create(to_stdout ? std::string() : job.output, suffix))
    return failure((to_stdout ? std::string("a temporary file") : job.output) + ": cannot be written (" +
                   system_reason(errno) + ")");

  std::vector<uint8_t> stream;
  // What can be read only once is given up at once when it starts as no stream.
  if (!read_bytes(job.input, stream, SIZE_MAX, read_once_only(job.input) ? stream_start : nullptr))
    return failure((job.input == "-" ? std::string("standard input") : job.input) + ": " +
                   (errno ? system_reason(errno) : std::string("not a kelvane stream")));
  kelvane::DecodeOptions options;
  options.threads = threads;
  options.memory_limit = settings.memory_limit;
  kelvane::DecodeReport report;
  options.report = &report;
  kelvane::Image image;
  try {
    image = kelvane::decode(stream, options);
  } catch (const kelvane::Error& error) {
    return failure(describe(error, job.input, Role::kStreamInput, settings.memory_limit));
  }
  if (image.channels < 1 || image.channels > 4)
    return failure(job.input + ": images of " + std::to_string(image.channels) +
                   " channels cannot be written as PNM, PAM or PNG");
  for (const std::string& line : report.warnings) outcome.warnings.push_back(warning_line(job.input, line));
  const bool alpha = image.channels == 2 || image.channels == 4;
  const bool drop_alpha = alpha && !keeps_alpha;
  if (drop_alpha)
    outcome.warnings.push_back(warning_line(
        job.input, (to_stdout ? std::string("PNM") : job.output) +
                       " cannot hold alpha; the alpha plane was left out (-o NAME.png, -o NAME.pam, --format png or "
                       "--format pam keep it)"));
  if (!image.metadata.empty() && format != DecodeSettings::Format::kPng)
    outcome.warnings.push_back(warning_line(
        job.input, (to_stdout ? std::string(keeps_alpha ? "PAM" : "PNM") : job.output) +
                       " cannot hold the ICC profile, EXIF or XMP; they were left out (-o NAME.png or --format png "
                       "keeps them)"));
  errno = 0;
  try {
    kelvane::write_image(image_file.path(), drop_alpha ? without_alpha(image) : image);
  } catch (const kelvane::Error& error) {
    const int cause = errno;  // the failed write's (a full disk), when the system said why
    const std::string message = describe(error, to_stdout ? "-" : job.output, Role::kOutput);
    return failure(cause ? message + " (" + system_reason(cause) + ")" : message);
  }
  if (to_stdout) {
    std::vector<uint8_t> bytes;
    if (!read_bytes(image_file.path(), bytes) || !write_stdout(bytes))
      return failure("standard output: cannot be written (" + system_reason(errno) + ")");
  } else if (!image_file.commit()) {
    return failure(job.output + ": cannot be written (" + system_reason(errno) + ")");
  }

  const double milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const std::string input_shown = job.input == "-" ? std::string("standard input") : job.input;
  const std::string output_shown = to_stdout ? std::string("standard output") : job.output;
  char line[256];
  const int written = drop_alpha ? image.channels - 1 : image.channels;
  std::snprintf(line, sizeof line, ": %dx%d, %d channel%s%s", image.width, image.height, written,
                written == 1 ? "" : "s", !alpha ? "" : drop_alpha ? " (alpha left out)" : " (alpha last)");
  outcome.message = input_shown + " -> " + output_shown + line;
  if (settings.verbose) {
    std::snprintf(line, sizeof line, ", %.0f ms", milliseconds);
    outcome.message += line;
  }
  // The image is written, but without the alpha its format would have held.
  if (report.alpha_lost && keeps_alpha) {
    outcome.status = Outcome::Status::kFailed;
    outcome.message =
        input_shown + ": the alpha plane could not be rebuilt; " + output_shown + " holds the image without it";
  }
  if (settings.json) {
    JsonLine json;
    json.text("input", job.input)
        .text("output", job.output)
        .integer("width", image.width)
        .integer("height", image.height)
        .integer("channels", image.channels)
        .raw("alpha", alpha ? "true" : "false")
        .raw("alpha_dropped", drop_alpha ? "true" : "false")
        .integer("bytes", static_cast<int64_t>(stream.size()))
        .number("milliseconds", milliseconds);
    if (outcome.status == Outcome::Status::kFailed) json.text("error", outcome.message);
    outcome.json = json.str();
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
