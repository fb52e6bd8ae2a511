#include "entropy/magnitude.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "util/error.h"

namespace kv {

namespace {

// ceil(base^(i - 1)), pinned to INT32_MAX beyond int32.
int32_t bin_start_of(double log_base, int i) {
  const double start = std::ceil(std::exp(log_base * (i - 1)));
  return start < 2147483647.0 ? static_cast<int32_t>(start) : INT32_MAX;
}

}  // namespace

void build_decoding_bin_tables(BinTables& bins) {
  const double log_base = std::log(static_cast<double>(kBinBase));
  bins.bin_start[0] = 0;
  for (int i = 1; i <= 32; ++i) bins.bin_start[i] = bin_start_of(log_base, i);
  for (int b = 0; b < 32; ++b) {
    bins.bin_width[b] = static_cast<uint32_t>(bins.bin_start[b + 1] - bins.bin_start[b]);
    bins.bin_reciprocal[b] = bins.bin_width[b] >= 2 ? total_reciprocal(bins.bin_width[b]) : 0;
  }
}

void build_bin_tables(BinTables& bins) {
  build_decoding_bin_tables(bins);
  const double log_base = std::log(static_cast<double>(kBinBase));
  bins.inv_log_base = static_cast<float>(1.0 / log_base);
  // Only bins 0..32 are ever read; the starts beyond serve the encoder's
  // bin arithmetic on magnitudes it then refuses.
  for (int i = 33; i < 256; ++i) bins.bin_start[i] = bin_start_of(log_base, i);
  bins.bin_of[0] = 0;
  for (int j = 1; j < 256; ++j)
    bins.bin_of[j] = static_cast<int32_t>(std::log(static_cast<double>(j)) * bins.inv_log_base + 1.0);
  for (int m = 0; m <= 1024; ++m) bins.small_bin[m] = magnitude_bin(bins, m);
}

int32_t large_magnitude_bin(const BinTables& bins, int32_t v) {
  int64_t m = std::llabs(static_cast<int64_t>(v));
  return static_cast<int32_t>(std::log(static_cast<double>(m)) * bins.inv_log_base + 1.0);
}

void write_magnitude(Encoder& encoder, AdaptiveModel& model, const BinTables& bins, int32_t v) {
  int64_t m = std::llabs(static_cast<int64_t>(v));
  int32_t bin = magnitude_bin(bins, v);
  write_symbol(encoder, model, static_cast<uint32_t>(bin));  // refuses bins beyond 31
  write_fraction(encoder, static_cast<uint32_t>(bins.bin_start[bin + 1] - bins.bin_start[bin]),
                 static_cast<uint32_t>(m - bins.bin_start[bin]));
  update_context(model, static_cast<uint32_t>(bin), kModelIncrement);
}

int32_t read_magnitude(Decoder& decoder, BinModel& model, const BinTables& bins) {
  SymbolReader reader(decoder);
  const int32_t magnitude = read_magnitude(reader, model, bins);
  reader.store();
  return magnitude;
}

}  // namespace kv
