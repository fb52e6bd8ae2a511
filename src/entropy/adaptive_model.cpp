#include "entropy/adaptive_model.h"

#include <bit>
#include <new>
#include <utility>

#include "util/error.h"

namespace kv {

namespace {
inline uint32_t lowbit(uint32_t j) { return j & (~j + 1); }
}  // namespace

void build_tree(AdaptiveModel& model) {
  uint32_t* t = model.tree.data();
  // Descending, so that every element is complete before it joins its parent.
  for (uint32_t j = model.symbols - 1; j >= 1; --j) t[j & (j - 1)] += t[j];
}

void flatten_tree(AdaptiveModel& model) {
  uint32_t* t = model.tree.data();
  for (uint32_t j = 1; j < model.symbols; ++j) t[j & (j - 1)] -= t[j];
}

void new_context(AdaptiveModel& model, uint32_t n, uint32_t limit, const uint32_t* initial) {
  if (n < 2 || n > 16384) fail(ErrorCode::kEncodeFailed, "new_context: invalid number of symbols (%d)", static_cast<int>(n));
  if (limit < n) limit = n;
  try {
    model.tree.assign(n, 1);
  } catch (const std::bad_alloc&) {
    fail(ErrorCode::kEncodeFailed, "new_context: out of memory");
  }
  model.symbols = n;
  model.limit = limit;
  model.span = 1;
  while (model.span < n) model.span *= 2;
  reset_context(model, initial);
}

void kill_context(AdaptiveModel& model) {
  model.tree.clear();
  model.tree.shrink_to_fit();
}

void reset_context(AdaptiveModel& model, const uint32_t* initial) {
  for (uint32_t s = 0; s < model.symbols; ++s) model.tree[s] = initial ? initial[s] : 1;
  build_tree(model);
}

void halve_context(AdaptiveModel& model) {
  flatten_tree(model);
  for (uint32_t& f : model.tree) f = (f + 1) >> 1;
  build_tree(model);
}

uint32_t get_frequency(const AdaptiveModel& model, uint32_t symbol) {
  const uint32_t* t = model.tree.data();
  uint32_t r = t[symbol];
  if (symbol & 1) return r;
  // Subtract the children symbol + 1, + 2, + 4, ... below symbol + lowbit(symbol).
  for (uint32_t c = 1, k = symbol + 1; k < model.symbols; k = symbol + c) {
    r -= t[k];
    c *= 2;
    if (symbol & c) break;
  }
  return r;
}

uint32_t get_cumulative(const AdaptiveModel& model, uint32_t symbol) {
  if (symbol == 0) return 0;
  const uint32_t* t = model.tree.data();
  uint32_t r = t[0];
  for (uint32_t k = symbol; k < model.symbols; k += lowbit(k)) r -= t[k];
  return r;
}

uint32_t find_symbol(const AdaptiveModel& model, uint32_t target) {
  SymbolInterval unused;
  return find_symbol_interval(model, target, unused);
}

namespace {

// Levels of the tree below element 0 for the largest alphabet, 16384 symbols.
constexpr uint32_t kMaxLevels = 14;

// One level of symbol_interval; `p` is its bit, the step is 2^p.
template <uint32_t p>
inline void interval_level(const uint32_t* t, uint32_t n, uint32_t symbol, uint32_t lower_bits, uint32_t& above,
                           uint32_t& children) {
  constexpr uint32_t step = 1u << p;
  uint32_t k = (symbol & ~(2 * step - 1)) | step;
  if (k < n) {
    uint32_t x = t[k];
    // Bit p moved to the sign and spread over the word: a mask without a branch.
    above += x & static_cast<uint32_t>(static_cast<int32_t>(~symbol << (31 - p)) >> 31);
    children += x & static_cast<uint32_t>(static_cast<int32_t>(lower_bits << (31 - p)) >> 31);
  }
}

// symbol_interval for a model of 2^levels span, every level written out so
// that its masks are constants.
template <uint32_t... p>
SymbolInterval interval_of(const AdaptiveModel& model, uint32_t symbol, std::integer_sequence<uint32_t, p...>) {
  const uint32_t* t = model.tree.data();
  const uint32_t lower_bits = (symbol & (0u - symbol)) - 1;  // all ones for symbol 0
  uint32_t above = 0;     // f(symbol + 1) + ... + f(n - 1)
  uint32_t children = 0;  // the part of `above` inside element `symbol`
  (interval_level<p>(t, model.symbols, symbol, lower_bits, above, children), ...);
  uint32_t frequency = t[symbol] - children;
  return {t[0] - above - frequency, frequency};
}

template <uint32_t levels>
SymbolInterval interval_of(const AdaptiveModel& model, uint32_t symbol) {
  return interval_of(model, symbol, std::make_integer_sequence<uint32_t, levels>{});
}

}  // namespace

SymbolInterval symbol_interval(const AdaptiveModel& model, uint32_t symbol) {
  switch (std::countr_zero(model.span)) {
    case 1: return interval_of<1>(model, symbol);
    case 2: return interval_of<2>(model, symbol);
    case 3: return interval_of<3>(model, symbol);
    case 4: return interval_of<4>(model, symbol);
    case 5: return interval_of<5>(model, symbol);
    case 6: return interval_of<6>(model, symbol);
    case 7: return interval_of<7>(model, symbol);
    case 8: return interval_of<8>(model, symbol);
    case 9: return interval_of<9>(model, symbol);
    case 10: return interval_of<10>(model, symbol);
    case 11: return interval_of<11>(model, symbol);
    case 12: return interval_of<12>(model, symbol);
    case 13: return interval_of<13>(model, symbol);
    default: return interval_of<kMaxLevels>(model, symbol);
  }
}

}  // namespace kv
