#include "cli/options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"

#ifndef KV_VERSION
#define KV_VERSION "unknown"
#endif

namespace cli {

bool parse_finite(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  // Underflow (1e-320) is a value near 0, not an error; overflow is one.
  return end == text.c_str() + text.size() && (errno != ERANGE || std::fabs(value) < 1) && std::isfinite(value);
}

bool parse_byte_count(const std::string& text, uint64_t& value) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 19 || text.size() > digits + 1) return false;
  value = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
  int shift = 0;
  if (text.size() == digits + 1) {
    switch (text[digits]) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
      default: return false;
    }
  }
  if (value > (UINT64_MAX >> shift)) return false;
  value <<= shift;
  return true;
}

namespace {

const char kVersion[] = "kelvane " KV_VERSION " (writes and reads Kelvane 2.0 streams)";

const char kQuantizationHelp[] =
    "Coarseness: the largest quantizer step, in units of the samples' 0..255. Steps halve every two "
    "wavelet levels down to 1. 1 or less codes losslessly; 2-4 is near-lossless, 8 (the default) "
    "good, 16-32 visibly coarse. A finite number.";

void add_batch_options(CLI::App& command, BatchSettings& settings, const std::string& extension) {
  command.add_option("INPUT", settings.inputs, "Input files or folders (with -r); '-' is standard input")
      ->type_name("PATH")
      ->required();
  command.add_option("-o,--output", settings.output, "Output file (one input only); '-' is standard output")
      ->type_name("PATH");
  command.add_option("--output-dir", settings.output_dir,
                     "Folder for the outputs (must exist); names keep the input's stem and take " + extension)
      ->type_name("DIR");
  command.add_flag("-r,--recursive", settings.recursive, "Code the files in folders given as INPUT, mirroring the "
                                                         "folder tree under --output-dir");
  command.add_flag("-f,--force", settings.force, "Overwrite existing outputs");
  command.add_flag("--skip-existing", settings.skip_existing, "Leave existing outputs alone and skip their inputs");
  command.add_option("-j,--jobs", settings.jobs, "Files coded at once (default 1)")
      ->type_name("N")
      ->check(CLI::Range(1, 64).description(""));
  command.add_option("-T,--threads", settings.threads,
                     "Threads per file; 0 (default): the cores divided among the jobs")
      ->type_name("N")
      ->check(CLI::Range(0, 1024).description(""));
  command.add_flag("--quiet", settings.quiet, "No messages but errors, no progress bar");
  command.add_flag("-v,--verbose", settings.verbose, "Say more about each file");
  command.add_flag("--json", settings.json, "One JSON object per file on standard output");
}

// The usage errors found after parsing: conflicts between options.
void check_batch(const CLI::App& command, const BatchSettings& settings) {
  // An empty name (an unset variable in a script) names no file: refused
  // rather than read as "not given".
  if (command.get_option("--output")->count() && settings.output.empty())
    throw CLI::ValidationError("-o: the name is empty");
  if (command.get_option("--output-dir")->count() && settings.output_dir.empty())
    throw CLI::ValidationError("--output-dir: the name is empty");
  if (!settings.output.empty() && !settings.output_dir.empty())
    throw CLI::ValidationError("-o and --output-dir cannot be combined");
  if (!settings.output.empty() && settings.inputs.size() > 1)
    throw CLI::ValidationError("-o takes one input; use --output-dir for several");
  if (settings.force && settings.skip_existing)
    throw CLI::ValidationError("--force and --skip-existing cannot be combined");
  if (settings.quiet && settings.verbose) throw CLI::ValidationError("--quiet and --verbose cannot be combined");
  int stdin_inputs = 0;
  for (const std::string& input : settings.inputs) stdin_inputs += input == "-";
  if (stdin_inputs > 1) throw CLI::ValidationError("standard input ('-') can be read once");
  if (settings.json && (settings.output == "-" || (stdin_inputs && settings.output.empty())))
    throw CLI::ValidationError("--json and the output on standard output both need it (use -o FILE)");
}

}  // namespace

int run_command_line(int argc, char** argv) {
  CLI::App app{"kelvane: a still-image codec for PNM and PNG images (.kv2 streams).\n"
               "The classic form 'kelvane IN OUT Q [--rdo]' and 'kelvane IN.kv2 OUT' still works.",
               "kelvane"};
  app.set_version_flag("--version", kVersion);
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 every file succeeded (or was skipped); 1 a file failed (the others still ran); "
      "2 the command line is wrong.\nRun 'kelvane COMMAND --help' for a command's options.");

  EncodeSettings encode;
  std::string quantization;
  bool lossless = false;
  std::string target_size, target_bpp, target_psnr;
  std::string alpha_quantization;
  CLI::App* encode_command = app.add_subcommand("encode", "Compress images (PNM, PAM or PNG) into .kv2 streams");
  add_batch_options(*encode_command, encode, ".kv2");
  auto* q_option = encode_command->add_option("-q,--quantization", quantization, kQuantizationHelp)->type_name("Q");
  auto* lossless_option = encode_command->add_flag("--lossless", lossless, "Code losslessly (the same as -q 1)");
  auto* size_option =
      encode_command
          ->add_option("--target-size", target_size,
                       "Best quality whose stream is at most BYTES (suffixes K, M, G: times 1024, 1024^2, "
                       "1024^3), never above; when even the coarsest setting is larger, nothing is written and the "
                       "run fails naming the smallest size")
          ->type_name("BYTES");
  auto* bpp_option =
      encode_command->add_option("--target-bpp", target_bpp, "As --target-size, in bits per pixel")->type_name("X");
  auto* psnr_option = encode_command
                          ->add_option("--target-psnr", target_psnr,
                                       "Smallest stream of at least DB dB PSNR (all channels, peak 255); beyond what "
                                       "lossy coding reaches, or 'inf', the lossless stream")
                          ->type_name("DB");
  auto* rdo_option = encode_command->add_flag("--rdo", encode.rate_distortion,
                                             "Rate-distortion-optimising encoder: slower, better quality for the size");
  encode_command
      ->add_option("--effort", encode.effort,
                   "With --rdo: 1 (the default) or 2, which also tries quantization values a quarter octave around "
                   "the one given and keeps the best: 4-5 times the encode time, smaller streams on smooth photographs")
      ->check(CLI::Range(1, 2))
      ->needs(rdo_option)
      ->type_name("N");
  auto* alpha_option = encode_command->add_option("--alpha-quantization", alpha_quantization,
                             "Coarseness of a translucent image's alpha plane, as -q is of its colour; 1 or less "
                             "(the default 1) keeps the alpha exact. A finite number.")
                         ->type_name("Q");
  encode_command->add_flag("--exact", encode.exact,
                           "Code the colour under fully transparent pixels as it is (as closely as -q allows, like "
                           "every other pixel); otherwise, above -q 1, the encoder may replace it with what codes "
                           "cheapest");
  encode_command->add_flag("--strip", encode.strip_metadata,
                           "Leave the image's ICC profile, EXIF and XMP out of the stream (kept by default)");
  auto* directions_option = encode_command->add_option("--directions", encode.directions,
                             "Write the diagnostic picture of the coded directions to PATH (one input only)")
      ->type_name("PATH");
  encode_command->footer(
      "Outputs are written beside the input (stem + .kv2) unless -o or --output-dir says otherwise; "
      "from standard input to standard output. An existing output is kept unless --force. "
      "A translucent image (2 or 4 channels: alpha last) keeps its alpha; a PNG's ICC, EXIF and XMP are kept "
      "unless --strip. Warnings about an input go to standard error (not with --quiet). "
      "--json fields: input, output, width, height, channels, alpha (true for a translucent image), quantization, "
      "tuned (true when a target tuned the stream, which -q with that quantization alone does not write), "
      "bytes, bits_per_pixel, "
      "psnr (dB, of the image decoders rebuild; null when exact), milliseconds; a file that failed has "
      "input, output and error, one skipped input, output and skipped.");

  DecodeSettings decode;
  std::string format = "";
  std::string max_memory;
  CLI::App* decode_command = app.add_subcommand("decode", "Decompress .kv2 streams into PNM, PAM or PNG images");
  add_batch_options(*decode_command, decode, ".pgm/.ppm, .pam or .png");
  decode_command->add_option("--format", format,
                             "png, pam or pnm; default: PNG for names ending in .png, PAM for .pam, else PNM. "
                             "PNG and PAM keep the alpha, PNM drops it")
      ->type_name("png|pam|pnm")
      ->check(CLI::IsMember({"png", "pam", "pnm"}).description(""));
  auto* max_memory_option = decode_command->add_option("--max-memory", max_memory,
                             "Refuse images whose samples (4 bytes each) would take more than BYTES (K, M, G suffixes)")
      ->type_name("BYTES");
  decode_command->footer(
      "Outputs are written beside the input (stem + .pgm, .ppm, .pam or .png) unless -o or --output-dir says "
      "otherwise; from standard input to standard output (PNM unless --format png or pam). "
      "A stream with alpha decodes to 2 or 4 channels: PNG and PAM keep the alpha (-o x.png, -o x.pam, --format png "
      "or --format pam; PNG also gets the ICC, EXIF and XMP), PNM leaves it out with a warning, as it does by "
      "default (.pgm, .ppm). An alpha plane that cannot be rebuilt for a PNG or PAM fails the file after the "
      "image is written without it. "
      "--json fields: input, output, width, height, channels (of the decoded image, alpha included), alpha "
      "(the image has alpha), alpha_dropped (left out of a PNM), bytes, milliseconds; a file that failed has "
      "input, output and error, one skipped input, output and skipped.");

  InfoSettings info;
  CLI::App* info_command =
      app.add_subcommand("info", "Show what .kv2 headers and trailers say (reads only the file's start and end)");
  info_command->add_option("FILE", info.files, "Streams to describe")->type_name("")->required();
  info_command->add_flag("--json", info.json, "One JSON object per file on standard output");
  info_command->footer(
      "Fields: file, width, height, channels (of the coded colour or grey image), quantization, colour_matrix "
      "(rows; colour streams), bytes, bits_per_pixel, alpha (the trailer holds an alpha plane), alpha_bytes, "
      "metadata (icc, exif and xmp byte counts), warnings (damage found in the trailer).");

  CompareSettings compare;
  CLI::App* compare_command =
      app.add_subcommand("compare", "PSNR and SSIM between two images (PNM, PNG, or .kv2 decoded first)");
  compare_command->add_option("A", compare.first, "First image ('-': standard input)")->type_name("IMAGE")->required();
  compare_command->add_option("B", compare.second, "Second image ('-': standard input, when A is not)")
      ->type_name("IMAGE")
      ->required();
  compare_command->add_flag("--json", compare.json, "The result as one JSON object");
  compare_command->footer(
      "PSNR (peak 255) over all samples and per channel; SSIM with an 11x11 Gaussian window "
      "(sigma 1.5, K1 0.01, K2 0.03) per channel, averaged over the channels. --json fields: a, b, width, height, "
      "channels, psnr (null when the images are equal), channel_psnr, ssim, channel_ssim, ssim_window; on a "
      "failure a, b and error.");

  try {
    app.parse(argc, argv);
    if (encode_command->parsed()) {
      check_batch(*encode_command, encode);
      if (q_option->count() + lossless_option->count() + size_option->count() + bpp_option->count() +
              psnr_option->count() > 1)
        throw CLI::ValidationError("-q, --lossless, --target-size, --target-bpp and --target-psnr exclude each other");
      double value = kDefaultQuantization;
      if (q_option->count() && !parse_finite(quantization, value))
        throw CLI::ValidationError("-q: '" + quantization + "' is not a finite number");
      if (q_option->count() && std::fabs(value) > 3.0e38)
        throw CLI::ValidationError("-q: '" + quantization + "' is out of range");
      encode.quantization = lossless ? 1.0f : static_cast<float>(value);
      if (size_option->count()) {
        uint64_t bytes = 0;
        if (!parse_byte_count(target_size, bytes) || bytes == 0)
          throw CLI::ValidationError("--target-size: '" + target_size + "' is not a positive byte count");
        encode.target = {kelvane::Target::Kind::kBytes, static_cast<double>(bytes)};
      }
      if (bpp_option->count()) {
        double bpp = 0;
        if (!parse_finite(target_bpp, bpp) || !(bpp > 0))
          throw CLI::ValidationError("--target-bpp: '" + target_bpp + "' is not a positive number");
        encode.target = {kelvane::Target::Kind::kBitsPerPixel, bpp};
      }
      if (psnr_option->count()) {
        double db = 0;
        if (target_psnr == "inf")
          db = HUGE_VAL;
        else if (!parse_finite(target_psnr, db) || !(db > 0))
          throw CLI::ValidationError("--target-psnr: '" + target_psnr + "' is not a positive number or 'inf'");
        encode.target = {kelvane::Target::Kind::kPsnr, db};
      }
      if (alpha_option->count()) {
        double alpha = 1;
        if (!parse_finite(alpha_quantization, alpha))
          throw CLI::ValidationError("--alpha-quantization: '" + alpha_quantization + "' is not a finite number");
        if (std::fabs(alpha) > 3.0e38)
          throw CLI::ValidationError("--alpha-quantization: '" + alpha_quantization + "' is out of range");
        encode.alpha_quantization = static_cast<float>(alpha);
      }
      if (directions_option->count() && encode.directions.empty())
        throw CLI::ValidationError("--directions: the name is empty");
      if (!encode.directions.empty() && encode.inputs.size() != 1)
        throw CLI::ValidationError("--directions takes one input");
      return run_encode(encode);
    }
    if (decode_command->parsed()) {
      check_batch(*decode_command, decode);
      if (format == "png") decode.format = DecodeSettings::Format::kPng;
      if (format == "pam") decode.format = DecodeSettings::Format::kPam;
      if (format == "pnm") decode.format = DecodeSettings::Format::kPnm;
      if (max_memory_option->count() &&
          (!parse_byte_count(max_memory, decode.memory_limit) || decode.memory_limit == 0))
        throw CLI::ValidationError("--max-memory: '" + max_memory + "' is not a positive byte count");
      return run_decode(decode);
    }
    if (info_command->parsed()) return run_info(info);
    if (compare.first == "-" && compare.second == "-")
      throw CLI::ValidationError("standard input ('-') can be read once");
    return run_compare(compare);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "kelvane: %s\nRun 'kelvane --help' for the command line.\n", e.what());
    return kUsageError;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "kelvane: %s\nRun 'kelvane --help' for the command line.\n", e.what());
    return kUsageError;
  }
}

}  // namespace cli
