// Every non-negative integer of the plane data travels as a logarithmic bin
// (base 1.36, 32 bins) coded with one adaptive model, plus a flat offset
// inside the bin.
#pragma once

#include <cstdint>

#include "entropy/adaptive_model.h"
#include "entropy/bin_model.h"
#include "entropy/range_encoder.h"
#include "entropy/symbol_reader.h"

namespace kv {

// Every model of the image codec's bank: 32 bins, each count raised by
// kModelIncrement per coded bin and all halved once the total would pass
// kModelLimit. Bin b starts at ceil(kBinBase^(b - 1)).
inline constexpr uint32_t kModelIncrement = 320;
inline constexpr uint32_t kModelLimit = 16384;
inline constexpr int kModelSymbols = 32;
inline constexpr float kBinBase = 1.36f;
inline constexpr int32_t kLargestMagnitude = 13794;  // last magnitude of bin 31

// Bin b holds the magnitudes bin_start[b] .. bin_start[b + 1] - 1.
struct BinTables {
  float inv_log_base = 0.0f;
  int32_t bin_start[256] = {};
  int32_t bin_of[256] = {};
  int32_t small_bin[1025] = {};  // bin of every magnitude up to 1024 (zero runs and most coefficients)
  uint32_t bin_width[32] = {};
  uint64_t bin_reciprocal[32] = {};  // total_reciprocal(bin_width[b]) where the width is at least 2
};

// Every table of the bins, the encoder's included.
void build_bin_tables(BinTables& bins);
// Only what reading needs: the starts of bins 0 to 32, the widths and their
// reciprocals (the encoder's bin lookups take a thousand logarithms).
void build_decoding_bin_tables(BinTables& bins);
// The bin of |v|; above 31 for magnitudes that cannot be coded.
int32_t large_magnitude_bin(const BinTables& bins, int32_t v);
inline int32_t magnitude_bin(const BinTables& bins, int32_t v) {
  if (v >= -255 && v <= 255) return bins.bin_of[v < 0 ? -v : v];
  return large_magnitude_bin(bins, v);
}
// Codes |v| as its bin with `model` and its offset within the bin; refuses
// magnitudes beyond bin 31.
void write_magnitude(Encoder& encoder, AdaptiveModel& model, const BinTables& bins, int32_t v);
// The value of `bin`: its start plus the offset read within its width.
inline int32_t read_in_bin(SymbolReader& reader, const BinTables& bins, uint32_t bin) {
  const uint32_t offset = reader.read_fraction(bins.bin_width[bin], bins.bin_reciprocal[bin]);
  return bins.bin_start[bin] + static_cast<int32_t>(offset);
}
// A magnitude written by write_magnitude, read through the decoder's copy of
// its model, which ends up with the counts the encoder's has; bins below
// `First` are found fastest (SymbolReader::read_symbol).
template <uint32_t First = 8>
inline int32_t read_magnitude(SymbolReader& reader, BinModel& model, const BinTables& bins) {
  return read_in_bin(reader, bins, reader.template read_symbol<First>(model, kModelIncrement, kModelLimit));
}
// The same with the decoder's registers loaded and stored around the read.
int32_t read_magnitude(Decoder& decoder, BinModel& model, const BinTables& bins);
// read_magnitude for a run of zeros, most often none (bin 0, no offset).
inline int32_t read_run(SymbolReader& reader, BinModel& model, const BinTables& bins) {
  const uint32_t bin = reader.read_symbol_zero_first(model, kModelIncrement, kModelLimit);
  if (bin == 0) return 0;
  return read_in_bin(reader, bins, bin);
}
// The bins in three groups by width, which the coefficients' magnitudes
// are read by: up to kSingleValueBins they hold at most one magnitude (no
// offset is read), up to kSmallWidthBins from 2 to 8, beyond more than 8.
inline constexpr uint32_t kSingleValueBins = 6;
inline constexpr uint32_t kSmallWidthBins = 12;

// read_magnitude with the read's first test telling the groups apart: its
// first six bins, then its next six, then any (see read_symbol). The tests
// for the offset repeat that outcome, so they follow it rather than being
// guessed again from the width. The bin comes first, on its own: a caller
// whose loop ends at magnitude 0 tests the bin, which bin 0 returns as a
// constant, and does not wait for the value.
inline uint32_t read_grouped_bin(SymbolReader& reader, BinModel& model) {
  return reader.read_symbol<kSingleValueBins, true>(model, kModelIncrement, kModelLimit);
}
// The magnitude in `bin`, reading its offset where the bin has one.
inline int32_t read_grouped_value(SymbolReader& reader, const BinTables& bins, uint32_t bin) {
  if (bin < kSingleValueBins) return bins.bin_start[bin];
  const uint32_t offset = bin < kSmallWidthBins
                              ? reader.read_small_fraction(factor_of(bins.bin_reciprocal[bin]))
                              : reader.read_large_fraction(bins.bin_width[bin], bins.bin_reciprocal[bin]);
  return bins.bin_start[bin] + static_cast<int32_t>(offset);
}

}  // namespace kv
