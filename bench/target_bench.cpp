// target_bench [--rdo] [--threads N] [--bpp X,...] [--psnr DB,...] [--bytes N,...] image ...
// Encodes every image at every target through the library's target search and
// prints one tab-separated line per case: image, mode, kind, target, the value
// chosen, bytes, bits per pixel, PSNR of the decoded stream, the fraction of a
// size target reached or the dB above a PSNR target, encodes tried, processor seconds
// of the targeted encode, of one encode at the chosen value, and whether
// the reported figures match the decoded stream's and that one encode's
// stream matches the targeted one ("tuned" when the search tuned the stream
// past its value, which that encode cannot repeat: only the figures count).
// A size target the image cannot reach prints "unreachable" and the message.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kelvane/kelvane.h"

namespace {

std::vector<double> list_of(const char* text) {
  std::vector<double> values;
  for (const char* p = text; *p;) {
    char* end = nullptr;
    values.push_back(std::strtod(p, &end));
    p = *end == ',' ? end + 1 : end;
    if (end == p && *p) break;
  }
  return values;
}

// Processor time of the whole process (every thread): on a shared machine
// it moves far less with the load than wall time does.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double psnr_of(const kelvane::Image& a, const kelvane::Image& b) {
  double squares = 0;
  for (size_t i = 0; i < a.samples.size(); ++i) {
    const double d = static_cast<double>(a.samples[i]) - b.samples[i];
    squares += d * d;
  }
  return squares == 0 ? INFINITY : 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(a.samples.size()) / squares);
}

const char* basename_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  bool rdo = false;
  int threads = 1;
  std::vector<std::pair<kelvane::Target::Kind, double>> targets;
  std::vector<std::string> images;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto add = [&](kelvane::Target::Kind kind) {
      if (i + 1 < argc)
        for (double v : list_of(argv[++i])) targets.push_back({kind, v});
    };
    if (arg == "--rdo") rdo = true;
    else if (arg == "--threads" && i + 1 < argc) threads = std::atoi(argv[++i]);
    else if (arg == "--bpp") add(kelvane::Target::Kind::kBitsPerPixel);
    else if (arg == "--psnr") add(kelvane::Target::Kind::kPsnr);
    else if (arg == "--bytes") add(kelvane::Target::Kind::kBytes);
    else images.push_back(arg);
  }
  if (images.empty() || targets.empty()) {
    std::fprintf(stderr, "usage: target_bench [--rdo] [--threads N] [--bpp X,...] [--psnr DB,...] [--bytes N,...] image ...\n");
    return 2;
  }
  std::printf("image\tmode\tkind\ttarget\tq\tbytes\tbpp\tpsnr\treached\tencodes\ttargeted_s\tsingle_s\tchecks\n");
  for (const std::string& path : images) {
    const kelvane::Image image = kelvane::read_image(path);
    const double pixels = static_cast<double>(image.width) * image.height;
    for (const auto& [kind, value] : targets) {
      const char* kind_name = kind == kelvane::Target::Kind::kPsnr ? "psnr" : kind == kelvane::Target::Kind::kBytes ? "bytes" : "bpp";
      kelvane::EncodeOptions options;
      options.threads = threads;
      options.rate_distortion = rdo;
      options.target = {kind, value};
      kelvane::EncodeReport report;
      options.report = &report;
      std::vector<uint8_t> stream;
      const double start = cpu_seconds();
      try {
        stream = kelvane::encode(image, 0, options);
      } catch (const kelvane::Error& error) {
        std::printf("%s\t%s\t%s\t%g\tunreachable\t%s\n", basename_of(path), rdo ? "rdo" : "default", kind_name, value,
                    error.what());
        std::fflush(stdout);
        continue;
      }
      const double targeted = cpu_seconds() - start;

      kelvane::EncodeOptions single_options;
      single_options.threads = threads;
      single_options.rate_distortion = rdo;
      kelvane::EncodeReport single_report;
      single_options.report = &single_report;
      const double single_start = cpu_seconds();
      const std::vector<uint8_t> single = kelvane::encode(image, report.quantization, single_options);
      const double one = cpu_seconds() - single_start;

      const kelvane::Image decoded = kelvane::decode(stream);
      const double psnr = psnr_of(image, decoded);
      const double bpp = 8.0 * static_cast<double>(stream.size()) / pixels;
      const bool figures = report.bytes == stream.size() && report.bits_per_pixel == bpp &&
                           (report.psnr == psnr) && decoded.samples == report.rebuilt.samples;
      const double reached = kind == kelvane::Target::Kind::kPsnr ? psnr - value
                             : kind == kelvane::Target::Kind::kBytes ? static_cast<double>(stream.size()) / value
                                                                     : bpp / value;
      std::printf("%s\t%s\t%s\t%g\t%.9g\t%zu\t%.5f\t%.4f\t%.5f\t%d\t%.4f\t%.4f\t%s%s\n", basename_of(path),
                  rdo ? "rdo" : "default", kind_name, value, static_cast<double>(report.quantization), stream.size(), bpp,
                  psnr, reached, report.encodes, targeted, one, figures ? "report" : "REPORT-DIFFERS",
                  single == stream ? "+same" : report.tuned ? "+tuned" : "+STREAM-DIFFERS");
      std::fflush(stdout);
    }
  }
}
