// The kernel table (dsp/dsp.h), entry by entry, at every processor level this
// machine has (the others are skipped, by name): each level's versions
// against the plain definitions they stand for (lift_block, lift_line, the
// scalar per-pixel and per-band kernels), on random and extreme inputs. Then
// the codec as a whole with the table forced to scalar and at its best.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <memory>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "common/block_transform.h"
#include "common/wavelet.h"
#include "dsp/colour_kernels.h"
#include "dsp/dsp.h"
#include "kelvane/kelvane.h"
#include "util/cpu.h"

namespace kv {
namespace {

struct Level {
  const char* name;
  unsigned flags;
};
void PrintTo(const Level& level, std::ostream* os) { *os << level.name; }
const Level kLevels[] = {{"scalar", 0}, {"sse2", kCpuSse2}, {"avx2", kCpuSse2 | kCpuAvx2}};

class Kernels : public testing::TestWithParam<Level> {
 protected:
  void SetUp() override {
    if ((cpu_flags() & GetParam().flags) != GetParam().flags) GTEST_SKIP() << "no " << GetParam().name << " here";
    f = dsp_functions(GetParam().flags);
  }
  DspFunctions f{};
  std::mt19937 random{7};
};
INSTANTIATE_TEST_SUITE_P(Levels, Kernels, testing::ValuesIn(kLevels),
                         [](const testing::TestParamInfo<Level>& info) { return std::string(info.param.name); });

// Samples of one kind: image-like, any int32 (lifting sums wrap), or only
// the extremes.
enum class Kind { image, any, extreme };
constexpr Kind kKinds[] = {Kind::image, Kind::any, Kind::extreme};
int32_t draw(Kind kind, std::mt19937& random) {
  static constexpr int32_t kExtremes[] = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX};
  switch (kind) {
    case Kind::image: return std::uniform_int_distribution<int32_t>(-300, 300)(random);
    case Kind::any: return std::uniform_int_distribution<int32_t>(INT32_MIN, INT32_MAX)(random);
    case Kind::extreme: return kExtremes[random() % 6];
  }
  return 0;
}

// Every length up to 40 (the small ones have code of their own), the powers
// of 4 (likewise) and lengths around them, and the longest.
const std::vector<int> kSizes = [] {
  std::vector<int> sizes;
  for (int n = 1; n <= 40; ++n) sizes.push_back(n);
  for (int n : {63, 64, 65, 100, 255, 256, 257, 456, 511, 1023, 1024}) sizes.push_back(n);
  return sizes;
}();

struct Case {
  BandLayout layout;
  std::vector<int32_t> samples;
  std::vector<uint16_t> order;
  std::vector<int32_t> gathered;  // samples by scan position
};
Case make_case(int n, Kind kind, std::mt19937& random) {
  Case c{band_layout(n), {}, std::vector<uint16_t>(static_cast<size_t>(n)), {}};
  for (int k = 0; k < n; ++k) c.samples.push_back(draw(kind, random));
  std::iota(c.order.begin(), c.order.end(), uint16_t{0});
  std::shuffle(c.order.begin(), c.order.end(), random);
  for (uint16_t k : c.order) c.gathered.push_back(c.samples[k]);
  return c;
}

std::vector<int32_t> lifted(std::vector<int32_t> values, const BandLayout& layout, bool forward) {
  lift_block(values.data(), layout, forward);
  return values;
}

TEST_P(Kernels, GatheredLiftIsLiftBlock) {
  for (Kind kind : kKinds)
    for (int n : kSizes) {
      const Case c = make_case(n, kind, random);
      const std::vector<int32_t> expected = lifted(c.gathered, c.layout, true);
      std::vector<int32_t> values(static_cast<size_t>(n), 12345);
      ScanSamples kept{};
      f.lift_block_gathered(c.samples.data(), c.order.data(), c.layout, values.data(), &kept);
      ASSERT_EQ(values, expected) << "n " << n;
      for (int k = 0; k < n; ++k) ASSERT_EQ(k % 2 ? kept.odd[k / 2] : kept.even[k / 2], c.gathered[k]) << "n " << n;
      f.lift_block_gathered(c.samples.data(), c.order.data(), c.layout, values.data(), nullptr);
      ASSERT_EQ(values, expected) << "n " << n << " without kept samples";
    }
}

TEST_P(Kernels, ScatteredInverseIsLiftBlockThenPlacement) {
  for (Kind kind : kKinds)
    for (int n : kSizes) {
      const Case c = make_case(n, kind, random);
      const std::vector<int32_t> rebuilt = lifted(c.samples, c.layout, false);  // any coefficients will do
      std::vector<int32_t> expected(static_cast<size_t>(n));
      for (int k = 0; k < n; ++k) expected[c.order[k]] = rebuilt[k];
      std::vector<int32_t> out(static_cast<size_t>(n), 12345);
      f.inverse_lift_scattered(c.samples.data(), c.layout, c.order.data(), out.data());
      ASSERT_EQ(out, expected) << "n " << n;
    }
}

// The exact squared error of lift_block's inverse of `values` against
// `samples`, and whether every difference is below 2^21 (the error is then
// what the kernels report).
struct Error {
  uint64_t sse = 0;  // wraps where not summable
  bool small = true;
  bool narrow = true;  // values and samples in [-2^29, 2^29)
};
Error reconstruction_error(const int32_t* values, const std::vector<int32_t>& samples, const BandLayout& layout) {
  const std::vector<int32_t> rebuilt =
      lifted(std::vector<int32_t>(values, values + samples.size()), layout, false);
  Error e;
  for (size_t p = 0; p < samples.size(); ++p) {
    const int64_t d = int64_t{rebuilt[p]} - samples[p];
    const uint64_t distance = static_cast<uint64_t>(d < 0 ? -d : d);
    e.sse += distance * distance;
    e.small = e.small && distance < (1u << 21);
    for (int32_t v : {rebuilt[p], samples[p]}) e.narrow = e.narrow && v >= -(1 << 29) && v < (1 << 29);
  }
  return e;
}

// Image-like samples with quantising noise on the coefficients; samples or
// errors too large to sum, which must be refused.
constexpr std::pair<int32_t, int32_t> kNoisy[] = {{255, 0}, {255, 3}, {255, 40000}, {1 << 30, 3}, {255, 1 << 30}};

TEST_P(Kernels, InverseErrorIsTheReconstructionsError) {
  for (int n : kSizes)
    for (auto [range, noise] : kNoisy) {
      Case c = make_case(n, Kind::image, random);
      std::uniform_int_distribution<int32_t> sample(-range, range), change(-noise, noise);
      for (int32_t& s : c.samples) s = sample(random);
      for (int k = 0; k < n; ++k) c.gathered[k] = c.samples[c.order[k]];
      std::vector<int32_t> values(static_cast<size_t>(n));
      ScanSamples kept{};
      f.lift_block_gathered(c.samples.data(), c.order.data(), c.layout, values.data(), &kept);
      for (int32_t& v : values) v += change(random);
      const std::vector<int32_t> coefficients = values;
      const Error expected = reconstruction_error(values.data(), c.gathered, c.layout);
      int64_t sse = -1;
      ASSERT_EQ(f.inverse_squared_error(values.data(), c.layout, kept, sse), expected.small) << "n " << n;
      if (expected.small) {
        EXPECT_EQ(static_cast<uint64_t>(sse), expected.sse) << "n " << n << " noise " << noise;
      }
      EXPECT_EQ(values, coefficients) << "n " << n;
    }
}

// The working storage is large: on the heap, as the encoder keeps it.
struct Batch {
  BatchWork work;
  LaneValues values;
  LaneSamples kept;
};

// Each lane of a batch (full, or partial: the rest repeat lane 0) lifts as
// lift_block, and its error is its reconstruction's.
TEST_P(Kernels, EachBatchLaneIsLiftBlock) {
  auto b = std::make_unique<Batch>();
  for (int n : kSizes) {
    if (!batchable(n)) continue;
    for (auto [range, noise] : kNoisy) {
      const int count = n % 2 ? kBatchLanes : 5;
      const std::vector<int32_t> samples = make_case(n, Kind::any, random).samples;
      std::vector<Case> lanes;
      const uint16_t* orders[kBatchLanes];
      for (int k = 0; k < count; ++k) {
        lanes.push_back(make_case(n, Kind::image, random));
        for (int p = 0; p < n; ++p) lanes[k].gathered[p] = samples[lanes[k].order[p]];
        orders[k] = lanes[k].order.data();
      }
      std::vector<int32_t> scaled = samples;  // the range under test
      for (int32_t& s : scaled) s = static_cast<int32_t>(s % (range + 1));
      for (Case& c : lanes)
        for (int p = 0; p < n; ++p) c.gathered[p] = scaled[c.order[p]];
      const BandLayout layout = band_layout(n);
      f.lift_directions(scaled.data(), orders, count, layout, &b->kept, b->work);
      f.lanes_to_arrays(b->work.out, n, b->values);
      std::uniform_int_distribution<int32_t> change(-noise, noise);
      for (int k = 0; k < count; ++k) {
        ASSERT_EQ(std::vector<int32_t>(b->values.of[k], b->values.of[k] + n), lifted(lanes[k].gathered, layout, true))
            << "n " << n << " lane " << k;
        for (int p = 0; p < n; ++p) ASSERT_EQ(b->kept.at[p][k], lanes[k].gathered[p]);
        for (int p = 0; p < n; ++p) b->values.of[k][p] += change(random);
      }
      const LaneValues coefficients = b->values;
      int64_t sse[kBatchLanes];
      const unsigned valid = f.inverse_squared_errors(b->values, count, layout, b->kept, sse, b->work);
      for (int k = 0; k < count; ++k) {
        ASSERT_TRUE(std::equal(b->values.of[k], b->values.of[k] + n, coefficients.of[k])) << "values changed";
        const Error e = reconstruction_error(b->values.of[k], lanes[k].gathered, layout);
        const bool summable = e.narrow && e.small;
        EXPECT_EQ((valid >> k & 1) != 0, summable) << "n " << n << " lane " << k << " range " << range;
        EXPECT_EQ(static_cast<uint64_t>(sse[k]), summable ? e.sse : 0) << "n " << n << " lane " << k;
      }
    }
  }
}

TEST_P(Kernels, BatchValuesBelowTheirBandsThresholdsAreCleared) {
  auto b = std::make_unique<Batch>();
  for (int n : {2, 5, 30, 64, 456}) {
    const BandLayout layout = band_layout(n);
    // Thresholds per band from 1 to far above every value; the most
    // negative value counts as 2^31.
    for (uint32_t scale : {1u, 7u, 30u, 1000u, 1u << 31}) {
      for (int p = 0; p < n; ++p)
        for (int k = 0; k < kBatchLanes; ++k) b->work.out[p][k] = draw(scale > 1000 ? Kind::extreme : Kind::image, random);
      f.lanes_to_arrays(b->work.out, n, b->values);
      const LaneValues before = b->values;
      uint32_t least[16] = {};
      for (int j = 1; j <= layout.levels + 1; ++j) least[j] = scale > 1000 ? scale : scale * static_cast<uint32_t>(j);
      uint32_t bands[kBatchLanes];
      const unsigned kept = f.clear_below(b->work, layout, least, bands);
      f.lanes_to_arrays(b->work.out, n, b->values);
      for (int k = 0; k < kBatchLanes; ++k) {
        uint32_t expected_bands = 0;
        for (int j = 1; j <= layout.levels + 1; ++j)
          for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) {
            const int64_t v = before.of[k][p];
            const bool above = static_cast<uint64_t>(v < 0 ? -v : v) >= least[j];
            if (above) expected_bands |= 1u << j;
            ASSERT_EQ(b->values.of[k][p], above ? v : 0) << "n " << n << " lane " << k << " position " << p;
          }
        EXPECT_EQ(bands[k], expected_bands) << "n " << n << " lane " << k << " scale " << scale;
        EXPECT_EQ((kept >> k & 1) != 0, expected_bands != 0) << "n " << n << " lane " << k;
      }
    }
  }
}

// The plane's inverse along rows at the steps it knows (1, 3) and others,
// and down columns, against lift_line; samples between must stay.
TEST_P(Kernels, PlaneInverseIsLiftLine) {
  for (Kind kind : kKinds)
    for (int step : {1, 2, 3, 4})
      for (int n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17, 40, 41, 100}) {
        std::vector<int32_t> buffer(static_cast<size_t>(n * step + 2));
        for (int32_t& v : buffer) v = draw(kind, random);
        std::vector<int32_t> expected = buffer;
        lift_line(expected.data(), n, step, kPlaneFilter, extend_symmetric, false);
        f.inverse_plane_row(buffer.data(), n, step);
        ASSERT_EQ(buffer, expected) << "step " << step << ", n " << n;
      }
  for (Kind kind : kKinds)
    for (int pixel : {1, 3})
      for (auto [w, h] : {std::pair{1, 2}, {5, 3}, {16, 7}, {17, 16}, {40, 33}}) {
        const int row = w * pixel + 1;
        std::vector<int32_t> region(static_cast<size_t>(row * h));
        for (int32_t& v : region) v = draw(kind, random);
        std::vector<int32_t> expected = region;
        for (int x = 0; x < w; ++x)
          lift_line(expected.data() + x * pixel, h, row, kPlaneFilter, extend_symmetric, false);
        f.inverse_plane_columns(region.data(), w, h, pixel, row);
        ASSERT_EQ(region, expected) << w << " x " << h << ", pixel step " << pixel;
      }
}

// Factorised matrices of every shape the checks meet: mild ones, and large
// factors that make pixels leave 32 bits (refused, untouched).
struct Factors {
  double m[9];
  int32_t permutation[3];
};
Factors make_factors(double scale, std::mt19937& random) {
  std::uniform_real_distribution<double> factor(-scale, scale);
  Factors f{};
  for (double& x : f.m) x = factor(random);
  if (std::fabs(f.m[8]) < 0.25) f.m[8] = 0.5;
  f.permutation[0] = static_cast<int32_t>(random() % 3);
  f.permutation[1] = static_cast<int32_t>(1 + random() % 2);
  f.permutation[2] = 2;
  return f;
}

TEST_P(Kernels, ColourInverseIsThePixelInverse) {
  for (double scale : {1.0, 3.0, 1e6})
    for (Kind kind : kKinds) {
      const Factors m = make_factors(scale, random);
      const int w = 61;
      std::vector<int32_t> planes(3 * w);
      for (int32_t& v : planes) v = draw(kind, random);
      // Expected: each pixel through the scalar definition; the refused
      // ones keep their samples.
      std::vector<int32_t> expected(3 * w);
      std::vector<int> refused;
      for (int x = 0; x < w; ++x) {
        int32_t* pixel = expected.data() + 3 * x;
        for (int c = 0; c < 3; ++c) pixel[c] = planes[c * w + x];
        if (!inverse_pixel3(m.m, m.permutation, pixel)) refused.push_back(x);
      }
      std::vector<int32_t> interleaved(3 * w);
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) interleaved[3 * x + c] = planes[c * w + x];
      std::vector<int> stops;
      for (int64_t p = 0; (p = f.inverse_colour3(m.m, m.permutation, interleaved.data(), p, w)) < w; ++p)
        stops.push_back(static_cast<int>(p));
      EXPECT_EQ(stops, refused) << "scale " << scale;
      EXPECT_EQ(interleaved, expected) << "scale " << scale;
      if (!f.inverse_colour3_planes) continue;
      std::vector<int32_t> out(3 * w);
      stops.clear();
      for (int x = 0; (x = f.inverse_colour3_planes(m.m, m.permutation, planes.data(), planes.data() + w,
                                                     planes.data() + 2 * w, x, w, out.data())) < w;
           ++x) {
        stops.push_back(x);
        std::copy(expected.begin() + 3 * x, expected.begin() + 3 * x + 3, out.begin() + 3 * x);
      }
      EXPECT_EQ(stops, refused) << "scale " << scale;
      EXPECT_EQ(out, expected) << "scale " << scale;
    }
}

// Bands of every length up to a few groups, steps that keep values (1),
// small and large ones, thresholds with and without rebuilt rows beyond;
// against the scalar definition, with a group it leaves handled alike.
TEST_P(Kernels, BandItemsAreTheScalarItems) {
  const DspFunctions reference = dsp_functions(0);
  int32_t small_bin[1025];
  for (int a = 0; a <= 1024; ++a) small_bin[a] = std::min(31, a < 16 ? a : 12 + static_cast<int>(std::bit_width(unsigned(a))));
  for (double step : {1.0, 1.5, 3.0, 7.25, 100.0, 16777216.0})
    for (Kind kind : kKinds)
      for (int length : {1, 3, 7, 8, 9, 16, 23, 64}) {
        int limit = 1;
        while (limit < 1024 && (limit + 1.35) * step < 2147483648.0) ++limit;
        const BandItemTables tables = {static_cast<uint32_t>(std::ceil(step)),
                                       step == 1.0 ? 1025u : static_cast<uint32_t>(limit + 1 - (random() % 2) * limit / 2),
                                       step, 64, 640, 2112, step == 1.0};
        std::vector<int32_t> values(static_cast<size_t>(length) + 5);
        for (int32_t& v : values) v = draw(kind, random) / (kind == Kind::image ? 1 : 1 << (random() % 24));
        auto run = [&](BandItemsFunction kernel, std::vector<int32_t> v, std::vector<int>& stops) {
          std::vector<uint16_t> items(3 * values.size() + 64);
          uint16_t* out = items.data();
          int previous = 1;
          for (int p = 2; (p = kernel(tables, small_bin, v.data(), p, length + 2, previous, out)) < length + 2;) {
            stops.push_back(p);
            p = std::min(p + 8, length + 2);
            *out++ = 9999;  // what the caller writes instead
          }
          items.resize(static_cast<size_t>(out - items.data()));
          items.push_back(static_cast<uint16_t>(previous));
          v.insert(v.end(), items.begin(), items.end());
          return v;
        };
        std::vector<int> stops, expected_stops;
        EXPECT_EQ(run(f.band_items, values, stops), run(reference.band_items, values, expected_stops))
            << "step " << step << " length " << length;
        EXPECT_EQ(stops, expected_stops);
      }
}

// The codec with every kernel at the scalar level writes and reads the same
// bytes as with the best ones this processor has.
TEST(DspDispatch, ScalarAndBestLevelsCodeAlike) {
  const std::string images = std::string(KV_TEST_DATA) + "/images/";
  for (auto [name, rdo] : {std::pair{"chelsea.ppm", false}, {"coins.pgm", true}}) {
    const kelvane::Image image = kelvane::read_image(images + name);
    std::vector<uint8_t> streams[2];
    std::vector<int32_t> decoded[2];
    for (unsigned mask : {0u, kCpuAll}) {
      dsp_init(mask);
      kelvane::EncodeOptions options;
      options.rate_distortion = rdo;
      streams[mask != 0] = kelvane::encode(image, 8, options);
      decoded[mask != 0] = kelvane::decode(streams[mask != 0]).samples;
    }
    EXPECT_EQ(streams[0], streams[1]) << name;
    EXPECT_EQ(decoded[0], decoded[1]) << name;
  }
  EXPECT_EQ(dsp_flags(), cpu_flags());
}

}  // namespace
}  // namespace kv
