// Every non-negative integer of the plane data travels as a logarithmic bin
// (base 1.36, 32 bins) coded with one adaptive model, plus a flat offset
// inside the bin.
#pragma once

#include <cstdint>

#include "common/codec_state.h"
#include "entropy/symbol_reader.h"

namespace kv {

inline constexpr int32_t kLargestMagnitude = 13794;  // last magnitude of bin 31

// Every table of the bins, the encoder's included.
void build_bin_tables(CodecState& state);
// Only what reading needs: the starts of bins 0 to 32, the widths and their
// reciprocals (the encoder's bin lookups take a thousand logarithms).
void build_decoding_bin_tables(CodecState& state);
// The bin of |v|; above 31 for magnitudes that cannot be coded.
int32_t large_magnitude_bin(const CodecState& state, int32_t v);
inline int32_t magnitude_bin(const CodecState& state, int32_t v) {
  if (v >= -255 && v <= 255) return state.bin_of[v < 0 ? -v : v];
  return large_magnitude_bin(state, v);
}
void write_magnitude(CodecState& state, int model, int32_t v);
// Reads through the decoder's bank (decoding_models), which ends up with the
// counts the encoder's models have.
int32_t read_magnitude(CodecState& state, int model);
// The value of `bin`: its start plus the offset read within its width.
inline int32_t read_in_bin(SymbolReader& reader, const CodecState& state, uint32_t bin) {
  const uint32_t offset = reader.read_fraction(state.bin_width[bin], state.bin_reciprocal[bin]);
  return state.bin_start[bin] + static_cast<int32_t>(offset);
}
// read_magnitude with the decoder's registers held by `reader`; bins below
// `First` are found fastest (SymbolReader::read_symbol).
template <uint32_t First = 8>
inline int32_t read_magnitude(SymbolReader& reader, CodecState& state, int model) {
  BinModel& context = state.decoding_models[model];
  return read_in_bin(reader, state, reader.template read_symbol<First>(context, kModelIncrement, kModelLimit));
}
// read_magnitude<4> for a run of zeros, most often none (bin 0, no offset).
inline int32_t read_run(SymbolReader& reader, CodecState& state, int model) {
  BinModel& context = state.decoding_models[model];
  const uint32_t bin = reader.read_symbol_zero_first(context, kModelIncrement, kModelLimit);
  if (bin == 0) return 0;
  return read_in_bin(reader, state, bin);
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
inline uint32_t read_grouped_bin(SymbolReader& reader, CodecState& state, int model) {
  return reader.read_symbol<kSingleValueBins, true>(state.decoding_models[model], kModelIncrement, kModelLimit);
}
// The magnitude in `bin`, reading its offset where the bin has one.
inline int32_t read_grouped_value(SymbolReader& reader, const CodecState& state, uint32_t bin) {
  if (bin < kSingleValueBins) return state.bin_start[bin];
  const uint32_t offset = bin < kSmallWidthBins
                              ? reader.read_small_fraction(factor_of(state.bin_reciprocal[bin]))
                              : reader.read_large_fraction(state.bin_width[bin], state.bin_reciprocal[bin]);
  return state.bin_start[bin] + static_cast<int32_t>(offset);
}
void show_progress(CodecState& state, int32_t count);

}  // namespace kv
