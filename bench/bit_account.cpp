// bit_account STREAM [ORIGINAL.ppm|pgm]: where a stream's bits go.
//
// Walks the stream as the decoder does (same order, same models) and charges
// every coded item its information content: -log2(f / total) of each modelled
// symbol with the model as it stands when the symbol is read, plus the raw
// bits of offsets within bins (log2 of the bin's width), signs and split flags
// (1 bit each), the header and the colour matrix. Items are counted per plane
// and subband level (level 0: the finest diagonal band; odd levels the
// horizontal and vertical bands of depth level / 2).
//
// With the original image, also the distortion per level: the original goes
// through the stream's colour matrix and the forward wavelet, its subband
// coefficients are compared with the ones the stream rebuilds (each leaf
// dequantised and lifted back, before any inverse wavelet), and each level's
// squared error is weighed by the pixel-domain energy of a unit coefficient
// of that level. The weighted shares approximate each level's part of the
// pixel-domain squared error; the PSNR printed beside is the real one (a full
// decode against the original).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/block_geometry.h"
#include "common/colour.h"
#include "common/format.h"
#include "common/plane.h"
#include "common/quadtree.h"
#include "dec/dec_state.h"
#include "dec/decode.h"
#include "enc/enc_rdo.h"
#include "enc/enc_state.h"
#include "entropy/adaptive_model.h"
#include "entropy/magnitude.h"
#include "entropy/range_decoder.h"
#include "io/pnm.h"
#include "util/error.h"

namespace {

using namespace kv;

enum Kind {
  kSplit,
  kDirection,
  kTerminator,
  kMag1,
  kMag2,
  kMag3to4,
  kMag5to8,
  kMag9up,
  kOffset,
  kSign,
  kRun,
  kRunOffset,
  kLowest,
  kKinds
};
const char* const kKindNames[kKinds] = {"split", "direction", "terminator", "mag 1", "mag 2", "mag 3-4", "mag 5-8",
                                        "mag 9+", "mag offset", "sign", "run", "run offset", "lowest"};

constexpr int kLevels = 40;

struct Account {
  double bits[kLevels][kKinds] = {};
  int64_t coefficients[kLevels] = {};
  int64_t nonzero[kLevels] = {};
  int64_t leaves[kLevels] = {};
  double sse[kLevels] = {};  // subband-domain squared error
};

struct Walker {
  DecoderState state;  // geometry, bins and steps; its models are unused
  AdaptiveModel models[kModelCount];
  Decoder& decoder = state.decoder;
  std::vector<Account> planes;
  int plane = 0;

  Account& account() { return planes[static_cast<size_t>(plane)]; }

  // A modelled symbol and its information content, the model then updated.
  uint32_t symbol(int model, double& bits) {
    AdaptiveModel& m = models[model];
    const uint32_t s = read_symbol(decoder, m);
    bits += std::log2(static_cast<double>(model_total(m)) / get_frequency(m, s));
    update_context(m, s, kModelIncrement);
    return s;
  }
  // The value within `bin` and the raw bits of its offset.
  int32_t in_bin(uint32_t bin, double& bits) {
    const uint32_t width = state.bins.bin_width[bin];
    bits += std::log2(static_cast<double>(width));
    return state.bins.bin_start[bin] + static_cast<int32_t>(read_fraction(decoder, width));
  }

  void leaf(const Block& block, int level) {
    Account& a = account();
    const int L = std::min(level, kLevels - 1);
    if (block.width * block.height > kSplitMaxArea) fail(ErrorCode::kCorruptStream, "leaf block too large");
    const BlockGeometry& g = state.geometry->geometry(block.width, block.height);
    double& dir = a.bits[L][kDirection];
    const int32_t direction = in_bin(symbol(kDirectionModel, dir), dir);
    if (direction >= static_cast<int32_t>(g.table.size())) fail(ErrorCode::kCorruptStream, "invalid direction");
    ++a.leaves[L];
    a.coefficients[L] += g.samples;
    std::vector<int32_t> values(static_cast<size_t>(g.samples), 0);
    const BandLayout& layout = g.layout;
    for (int j = layout.levels + 1; j >= 1; --j) {
      int32_t p = layout.end[j + 1];
      const int32_t end = layout.end[j];
      const double step = state.quant[level + j];
      while (p < end) {
        double bin_bits = 0;
        const uint32_t bin = symbol(j + level, bin_bits);
        if (bin == 0) {
          a.bits[L][kTerminator] += bin_bits;
          break;
        }
        const int32_t m = in_bin(bin, a.bits[L][kOffset]);
        const Kind kind = m == 1 ? kMag1 : m == 2 ? kMag2 : m <= 4 ? kMag3to4 : m <= 8 ? kMag5to8 : kMag9up;
        a.bits[L][kind] += bin_bits;
        const bool negative = read_bits(decoder, 1) != 0;
        a.bits[L][kSign] += 1;
        const uint32_t run_bin = symbol(63 - j - level, a.bits[L][kRun]);
        const int32_t run = run_bin == 0 ? 0 : in_bin(run_bin, a.bits[L][kRunOffset]);
        if (run >= end - p) fail(ErrorCode::kCorruptStream, "zero run past the end of a band");
        p += run;
        ++a.nonzero[L];
        values[static_cast<size_t>(p++)] = negative ? -dequantised(m, step) : dequantised(m, step);
      }
    }
    place_leaf(state, g, direction, values.data(), view_of(state, block));
  }

  void block(const Block& b, int level) {
    if (!has_samples(b)) return;
    account().bits[std::min(level, kLevels - 1)][kSplit] += 1;
    if (read_bits(decoder, 1) == 0) {
      if (b.width == 1 && b.height == 1) fail(ErrorCode::kCorruptStream, "split of a single sample");
      for (const Block& q : quadrants_of(state, b).part) block(q, level);
      return;
    }
    leaf(b, level);
  }

  void plane_at(int32_t* origin, int w, int h, int level) {
    if (w * h == 1) {
      double& bits = account().bits[std::min(level, kLevels - 1)][kLowest];
      const int32_t m = in_bin(symbol(kDcModel, bits), bits);
      bits += 1;
      *origin = read_bits(decoder, 1) ? -m : m;
      return;
    }
    const Quadrants parts = quadrants_of(state, {origin, w, h});
    plane_at(origin, parts.part[0].width, parts.part[0].height, level + 2);
    if (w > 1) block(parts.part[1], level + 1);
    if (h > 1) block(parts.part[2], level + 1);
    if (w > 1 && h > 1) block(parts.part[3], level);
  }
};

// Adds the squared differences of every subband of a plane to its account:
// `coded` in the decoder's layout (plane rows), `original` interleaved.
void measure_plane(Account& a, const CodingState& coded, const int32_t* c, const CodingState& original,
                   const int32_t* o, int w, int h, int level) {
  auto sse_of = [&](const Block& cb, const Block& ob, int l) {
    double sum = 0;
    for (int y = 0; y < cb.height; ++y)
      for (int x = 0; x < cb.width; ++x) {
        const double d = static_cast<double>(cb.origin[y * coded.row_step + x * coded.pixel_step]) -
                         ob.origin[y * original.row_step + x * original.pixel_step];
        sum += d * d;
      }
    a.sse[std::min(l, kLevels - 1)] += sum;
  };
  if (w * h == 1) {
    const double d = static_cast<double>(*c) - *o;
    a.sse[std::min(level, kLevels - 1)] += d * d;
    return;
  }
  // Both layouts split the region the same way; only the steps differ.
  const Quadrants cp = quadrants_of(coded, {const_cast<int32_t*>(c), w, h});
  const Quadrants op = quadrants_of(original, {const_cast<int32_t*>(o), w, h});
  measure_plane(a, coded, c, original, o, cp.part[0].width, cp.part[0].height, level + 2);
  if (w > 1) sse_of(cp.part[1], op.part[1], level + 1);
  if (h > 1) sse_of(cp.part[2], op.part[2], level + 1);
  if (w > 1 && h > 1) sse_of(cp.part[3], op.part[3], level);
}

void forward_plane(const CodingState& state, int32_t* origin, int w, int h) {
  if (w * h == 1) return;
  const Quadrants parts = quadrants_of(state, {origin, w, h});
  forward_transform_region(state, origin, w, h);
  forward_plane(state, origin, parts.part[0].width, parts.part[0].height);
}

std::vector<uint8_t> read_all(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double sum_kind(const Account& a, int kind) {
  double s = 0;
  for (int l = 0; l < kLevels; ++l) s += a.bits[l][kind];
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bit_account STREAM [ORIGINAL.ppm|pgm]\n");
    return 2;
  }
  try {
    const std::vector<uint8_t> stream = read_all(argv[1]);
    Walker w;
    build_bin_tables(w.state.bins);
    prepare_decoder(w.state);
    for (AdaptiveModel& m : w.models) new_context(m, kModelSymbols, kModelLimit, nullptr);
    new_memory_decoder(w.decoder, stream.data(), stream.size());
    Decoder& d = w.decoder;
    if (read_bits(d, 8) != kMagicFirst || read_bits(d, 8) != kMagicSecond) fail(ErrorCode::kNotAStream, "not a stream");
    w.state.width = static_cast<int32_t>(read_bits(d, 16));
    w.state.height = static_cast<int32_t>(read_bits(d, 16));
    w.state.channels = static_cast<int32_t>(read_bits(d, 8));
    const float base_q = std::bit_cast<float>(read_float(d));
    const int W = w.state.width, H = w.state.height, C = w.state.channels;
    if (W == 0 || H == 0 || C == 0 || uint64_t(W) * H * C > (uint64_t{1} << 28)) fail(ErrorCode::kNotAStream, "bad header");
    build_quantizer_table(base_q, w.state.quant);
    w.state.pixel_step = 1;
    w.state.row_step = C * W;
    w.state.image.assign(static_cast<size_t>(W) * H * C, 0);
    std::vector<double> matrix(C == 1 ? 0 : static_cast<size_t>(C) * C);  // a grey stream has none
    for (double& e : matrix) e = std::bit_cast<float>(read_float(d));
    const double matrix_bits = C == 1 ? 0.0 : 32.0 * C * C;
    w.planes.resize(static_cast<size_t>(C));
    for (w.plane = 0; w.plane < C; ++w.plane) w.plane_at(w.state.image.data() + w.plane * W, W, H, 0);

    double psnr = 0;
    bool measured = false;
    EncoderState weights;  // the level weights only
    weights.width = W;
    weights.height = H;
    prepare_rate_distortion(weights, base_q > 1.0f ? base_q : 2.0f);
    if (argc >= 3) {
      Image original;
      if (!read_pnm(argv[2], original) || original.width != W || original.height != H || original.channels != C)
        fail(ErrorCode::kImageRead, "the original does not match the stream");
      DecoderState decoding;
      const Image decoded = decode_from_memory(decoding, stream.data(), stream.size(), 0);
      double sse = 0;
      for (size_t i = 0; i < original.samples.size(); ++i) {
        const double e = static_cast<double>(decoded.samples[i]) - original.samples[i];
        sse += e * e;
      }
      psnr = sse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 * original.samples.size() / sse);
      EncoderState o;
      o.width = W;
      o.height = H;
      o.channels = C;
      o.image = original.samples;
      o.pixel_step = C;
      o.row_step = C * W;
      if (C != 1) apply_colour_transform(o, matrix, true);
      for (int c = 0; c < C; ++c) {
        forward_plane(o, o.image.data() + c, W, H);
        measure_plane(w.planes[static_cast<size_t>(c)], w.state, w.state.image.data() + c * W, o, o.image.data() + c,
                      W, H, 0);
      }
      measured = true;
    }

    const double total_bits = 8.0 * static_cast<double>(stream.size());
    const double pixels = static_cast<double>(W) * H;
    std::printf("%s: %dx%d, %d channel%s, q = %g, %zu bytes, %.4f bpp", argv[1], W, H, C, C == 1 ? "" : "s",
                static_cast<double>(base_q), stream.size(), total_bits / pixels);
    if (measured) std::printf(", PSNR %.3f dB", psnr);
    std::printf("\n\n");
    // Whole-image summary by kind.
    double kind_total[kKinds] = {};
    for (const Account& a : w.planes)
      for (int k = 0; k < kKinds; ++k) kind_total[k] += sum_kind(a, k);
    double counted = 88 + matrix_bits;
    for (double b : kind_total) counted += b;
    std::printf("| item | bits | %% of stream |\n|---|---:|---:|\n");
    std::printf("| header | 88 | %.2f |\n", 100 * 88 / total_bits);
    if (C != 1) std::printf("| colour matrix | %.0f | %.2f |\n", matrix_bits, 100 * matrix_bits / total_bits);
    for (int k = 0; k < kKinds; ++k)
      std::printf("| %s | %.0f | %.2f |\n", kKindNames[k], kind_total[k], 100 * kind_total[k] / total_bits);
    std::printf("| counted | %.0f | %.2f |\n\n", counted, 100 * counted / total_bits);

    for (int c = 0; c < C; ++c) {
      const Account& a = w.planes[static_cast<size_t>(c)];
      double plane_total = 0;
      for (int k = 0; k < kKinds; ++k) plane_total += sum_kind(a, k);
      double weighted_total = 0;
      for (int l = 0; l < kLevels; ++l) weighted_total += weights.level_weight[l] * a.sse[l];
      std::printf("Plane %d: %.0f bits (%.1f %% of the stream)\n\n", c, plane_total, 100 * plane_total / total_bits);
      std::printf("| level | step | coefs | nonzero | leaves |");
      for (int k = 0; k < kKinds; ++k) std::printf(" %s |", kKindNames[k]);
      std::printf(" bits | %% plane |%s\n|---:|---:|---:|---:|---:|", measured ? " distortion % |" : "");
      for (int k = 0; k < kKinds + 2 + (measured ? 1 : 0); ++k) std::printf("---:|");
      std::printf("\n");
      for (int l = 0; l < kLevels; ++l) {
        double level_bits = 0;
        for (int k = 0; k < kKinds; ++k) level_bits += a.bits[l][k];
        if (level_bits == 0 && a.coefficients[l] == 0) continue;
        std::printf("| %d | %.2f | %lld | %lld | %lld |", l, static_cast<double>(w.state.quant[std::min(l + 1, 63)]),
                    static_cast<long long>(a.coefficients[l]), static_cast<long long>(a.nonzero[l]),
                    static_cast<long long>(a.leaves[l]));
        for (int k = 0; k < kKinds; ++k) std::printf(" %.0f |", a.bits[l][k]);
        std::printf(" %.0f | %.1f |", level_bits, 100 * level_bits / plane_total);
        if (measured)
          std::printf(" %.1f |", weighted_total > 0 ? 100 * weights.level_weight[l] * a.sse[l] / weighted_total : 0.0);
        std::printf("\n");
      }
      std::printf("\n");
    }
  } catch (const kelvane::Error& e) {
    std::fprintf(stderr, "bit_account: %s\n", e.what());
    return 1;
  }
  return 0;
}
