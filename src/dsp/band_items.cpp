// The band items' scalar definition (band_items.h).
#include "dsp/band_items.h"

namespace kv::dsp_c {

int band_items(const BandItemTables& t, const int32_t* small_bin, int32_t* values, int p, int end, int& previous,
               uint16_t*& out) {
  for (; p < end; p += 8) {
    const int stop = end - p < 8 ? end : p + 8;
    uint32_t quotient[8];
    bool beyond = false;
    for (int k = p; k < stop; ++k) {
      const int32_t v = values[k];
      const int32_t sign = v >> 31;
      const uint32_t a = (static_cast<uint32_t>(v) ^ static_cast<uint32_t>(sign)) - static_cast<uint32_t>(sign);
      const bool listed = a >= t.least;
      const uint32_t q = t.exact || !listed ? a : static_cast<uint32_t>(static_cast<double>(a) / t.step);
      quotient[k - p] = q;
      beyond |= listed && (q >= t.past_limit || a > 0x7FFFFFFFu);
    }
    if (beyond) return p;
    for (int k = p; k < stop; ++k) {
      const int32_t v = values[k];
      const uint32_t q = quotient[k - p];
      if ((v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v)) < t.least) {
        if (!t.exact) values[k] = 0;
        continue;
      }
      out[0] = static_cast<uint16_t>(t.magnitude_item + small_bin[q]);
      out[1] = t.sign_item;
      out[2] = static_cast<uint16_t>(t.run_item + small_bin[k - previous - 1]);
      out += 3;
      previous = k;
      if (!t.exact) {
        const int32_t r = static_cast<int32_t>((q + 0.35) * t.step);
        values[k] = v < 0 ? -r : r;
      }
    }
  }
  return end;
}

}  // namespace kv::dsp_c
