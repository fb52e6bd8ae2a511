// Adaptive order-0 frequency table over 2..16384 symbols, held as an implicit
// tree of partial sums: element 0 is the total, element j >= 1 the sum of the
// lowbit(j) frequencies starting at symbol j (cut off at the alphabet's end).
#pragma once

#include <cstdint>
#include <vector>

namespace kv {

struct AdaptiveModel {
  uint32_t symbols = 0;
  uint32_t limit = 0;  // the total above which every frequency is halved
  uint32_t span = 0;   // smallest power of two not below `symbols`
  std::vector<uint32_t> tree;
};

// `initial` holds `n` frequencies, or is null for all ones.
void new_context(AdaptiveModel& model, uint32_t n, uint32_t limit, const uint32_t* initial);
void kill_context(AdaptiveModel& model);
void reset_context(AdaptiveModel& model, const uint32_t* initial);
void halve_context(AdaptiveModel& model);
void build_tree(AdaptiveModel& model);
void flatten_tree(AdaptiveModel& model);

uint32_t get_frequency(const AdaptiveModel& model, uint32_t symbol);
uint32_t get_cumulative(const AdaptiveModel& model, uint32_t symbol);
uint32_t find_symbol(const AdaptiveModel& model, uint32_t target);

inline uint32_t model_total(const AdaptiveModel& model) { return model.tree[0]; }

// cum(symbol) and f(symbol) together; the coders need both ends of a
// symbol's interval, and cum(s + 1) = cum(s) + f(s).
struct SymbolInterval {
  uint32_t cumulative;
  uint32_t frequency;
};

// Walking from element 0 down to `symbol`, every level splits the range in
// two at element k = (symbol & ~(2 step - 1)) | step. Where the symbol lies in
// the lower half, the upper half (element k, if k < n) is part of the
// frequencies above the symbol; those levels below lowbit(symbol) are the
// symbol's children, which element `symbol` includes. The levels do not
// depend on each other, so their loads and sums all proceed at once; the
// symbol's bits select with masks, since a branch on them would be
// mispredicted half the time on data of high entropy.
SymbolInterval symbol_interval(const AdaptiveModel& model, uint32_t symbol);

// The symbol whose interval holds `target`, with its interval, in one walk
// down the tree.
inline uint32_t find_symbol_interval(const AdaptiveModel& model, uint32_t target, SymbolInterval& interval) {
  const uint32_t* t = model.tree.data();
  const uint32_t n = model.symbols;
  uint32_t base = 0;
  uint32_t c = t[0];  // sum of the frequencies of the range `base` stands for
  uint32_t left = target;
  for (uint32_t step = model.span / 2; step != 0; step /= 2) {
    uint32_t k = base + step;
    if (k < n) {
      c -= t[k];
      if (c <= left) {
        left -= c;
        c = t[k];
        base = k;
      }
    }
  }
  // The range has narrowed to the one symbol: c is its frequency, and what was
  // taken off the target is its cumulative count.
  interval.cumulative = target - left;
  interval.frequency = c;
  return base;
}

// Division of x < 2^32 by a total below 2^16 as a multiplication: with
// m = ceil(2^48 / total), floor(x * m / 2^48) = floor(x / total). Writing
// x = q total + rho and m total = 2^48 + d (0 <= d < total), the product is
// (q + rho / total + x d / (total 2^48)) 2^48, and x d < 2^48 keeps the last
// term below 1 / total, too little to reach q + 1. The coders compute m, a
// division that does not wait for the coder's state, and their divisions
// of the range products become multiplications.
inline uint64_t total_reciprocal(uint32_t total) { return ((uint64_t{1} << 48) + total - 1) / total; }

inline uint32_t divide_by_total(uint32_t x, uint64_t reciprocal) {
  return static_cast<uint32_t>((static_cast<unsigned __int128>(x) * reciprocal) >> 48);
}

// Adds `increment` to the frequency of `symbol`: to the element of the
// symbol and of each of its ancestors, element 0 last. Halves once if the
// total then exceeds the limit.
inline void update_context(AdaptiveModel& model, uint32_t symbol, uint32_t increment) {
  uint32_t* t = model.tree.data();
  for (uint32_t j = symbol; j != 0; j &= j - 1) t[j] += increment;
  t[0] += increment;
  if (t[0] > model.limit) halve_context(model);
}

}  // namespace kv
