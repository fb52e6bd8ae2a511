#include "adaptive_model.h"

#include <new>

#include "failure.h"

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
  if (n < 2 || n > 16384) fail(1, "new_context: invalid number of symbols (%d)", static_cast<int>(n));
  if (limit < n) limit = n;
  try {
    model.tree.assign(n, 1);
  } catch (const std::bad_alloc&) {
    fail(1, "new_context: out of memory");
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

}  // namespace kv
