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
void update_context(AdaptiveModel& model, uint32_t symbol, uint32_t increment);
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
SymbolInterval symbol_interval(const AdaptiveModel& model, uint32_t symbol);
// The symbol whose interval holds `target`, with its interval, in one walk.
uint32_t find_symbol_interval(const AdaptiveModel& model, uint32_t target, SymbolInterval& interval);

}  // namespace kv
