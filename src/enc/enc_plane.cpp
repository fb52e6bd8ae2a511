#include "enc/enc_plane.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <mutex>

#include "common/plane.h"
#include "enc/estimates.h"
#include "util/thread_pool.h"

namespace kv {

namespace {

// Planes of fewer samples are coded on one thread, as they are transformed:
// their searches are few, and sharing them costs more processor time than
// it saves wall time (docs/performance.md, "Small planes on one thread").
constexpr int64_t kWindowArea = int64_t{1} << 15;
// Regions a window holds per thread: the workers search this many ahead of
// the coding thread (and the window's trees, twice as many, stay allocated).
constexpr size_t kWindowRegionsPerThread = 4;

void code_dc(EncoderState& state, int32_t* origin) {
  if (state.rebuild) state.rebuilt[static_cast<size_t>(origin - state.image.data())] = *origin;
  write_magnitude(state, kDcModel, *origin);
  write_bits(state.encoder, 1, *origin < 0 ? 1 : 0);
}

// What the coding of a plane does, in its order: a DC value, a split flag of
// 0 ahead of a subband block's quadrants, or a region (a subband block of at
// most kSplitMaxArea samples) searched and coded.
struct Step {
  enum Kind : uint8_t { kDc, kSplit, kRegion } kind;
  int level;
  Block block;
};

void list_subband_block(EncoderState& state, const Block& block, int level, std::vector<Step>& steps) {
  if (block.width * block.height > kSplitMaxArea) {
    steps.push_back({Step::kSplit, level, block});
    for (const Block& quadrant : quadrants_of(state, block).part)
      if (has_samples(quadrant)) list_subband_block(state, quadrant, level, steps);
    return;
  }
  steps.push_back({Step::kRegion, level, block});
}

// Transforms every depth of the w x h region at origin (rows and columns
// shared between the threads) and lists its steps as encode_plane takes them.
void transform_and_list(EncoderState& state, int32_t* origin, int w, int h, int level, std::vector<Step>& steps) {
  if (w == 1 && h == 1) {
    steps.push_back({Step::kDc, level, {origin, 1, 1}});
    return;
  }
  const Quadrants parts = quadrants_of(state, {origin, w, h});
  transform_region_shared(state.pool.get(), state, origin, w, h, true);
  transform_and_list(state, origin, parts.part[0].width, parts.part[0].height, level + 2, steps);
  if (w > 1) list_subband_block(state, parts.part[1], level + 1, steps);
  if (h > 1) list_subband_block(state, parts.part[2], level + 1, steps);
  if (w > 1 && h > 1) list_subband_block(state, parts.part[3], level, steps);
}

double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Codes `steps` with the regions' searches run ahead on the worker threads.
// The regions are taken in windows of `batch`: while the coding thread codes
// the regions of one window, the other threads build the trees of the next
// and evaluate their nodes' likely directions with the rates of the latest
// region coded. Only model-independent work is done ahead (the
// coding thread sums the rates and decides with the models as they stand),
// so the stream is the one encode_plane writes.
void code_steps_ahead(EncoderState& state, const std::vector<Step>& steps) {
  ThreadPool& pool = *state.pool;
  std::vector<size_t> regions;
  for (size_t i = 0; i < steps.size(); ++i)
    if (steps[i].kind == Step::kRegion) regions.push_back(i);
  const size_t batch = kWindowRegionsPerThread * static_cast<size_t>(pool.threads());
  std::vector<std::shared_ptr<EstimateTree>>& trees = state.window_trees;
  while (trees.size() < 2 * batch) trees.push_back(std::make_shared<EstimateTree>());
  auto tree_of = [&](size_t r) -> EstimateTree& { return *trees[r % (2 * batch)]; };

  // The rates the searches ahead read: the coding thread publishes a copy
  // after each region, and each search ahead takes its own copy of the
  // latest (the closer its rates to those of the coding, the fewer
  // evaluations the coding thread must add).
  std::mutex published_mutex;
  std::vector<double> published(std::size(state.item_bits));
  auto publish_rates = [&] {
    refresh_rate_table(state);
    std::lock_guard<std::mutex> lock(published_mutex);
    std::copy(std::begin(state.item_bits), std::end(state.item_bits), published.begin());
  };
  std::atomic<int64_t> ahead{0};
  auto search_ahead = [&](size_t r) {
    thread_local std::vector<double> bits;
    {
      std::lock_guard<std::mutex> lock(published_mutex);
      bits = published;
    }
    const Step& step = steps[regions[r]];
    EstimateTree& tree = tree_of(r);
    build_estimate_tree(state, step.block, step.level, tree);
    evaluate_tree_ahead(state, tree, bits.data());
    ahead += static_cast<int64_t>(tree_evaluations(tree));
  };
  size_t next_step = 0;
  int64_t evaluated = 0;
  auto code = [&](size_t end_step) {
    const double start = thread_seconds();
    for (; next_step < end_step; ++next_step) {
      const Step& step = steps[next_step];
      if (step.kind == Step::kDc) {
        code_dc(state, step.block.origin);
      } else if (step.kind == Step::kSplit) {
        write_bits(state.encoder, 1, 0);
      } else {
        const size_t r = static_cast<size_t>(std::lower_bound(regions.begin(), regions.end(), next_step) - regions.begin());
        EstimateTree& tree = tree_of(r);
        code_tree_block(state, tree, 0);
        evaluated += static_cast<int64_t>(tree_evaluations(tree));
        publish_rates();
      }
    }
    state.window_counts.coding_seconds += thread_seconds() - start;
  };

  publish_rates();
  pool.parallel_for(std::min(batch, regions.size()), search_ahead);
  for (size_t first = 0; first < regions.size(); first += batch) {
    const size_t last = std::min(first + batch, regions.size());
    const size_t ahead_end = std::min(last + batch, regions.size());
    const size_t end_step = last == regions.size() ? steps.size() : regions[last];
    pool.parallel_for(1 + ahead_end - last, [&](size_t i) {
      if (i == 0)
        code(end_step);
      else
        search_ahead(last + i - 1);
    });
  }
  code(steps.size());
  state.window_counts.evaluated_ahead += ahead;
  state.window_counts.evaluated += evaluated;
}

}  // namespace

void encode_subband_block(EncoderState& state, const Block& block, int level) {
  if (block.width * block.height > kSplitMaxArea) {
    write_bits(state.encoder, 1, 0);
    for (const Block& quadrant : quadrants_of(state, block).part)
      if (has_samples(quadrant)) encode_subband_block(state, quadrant, level);
    return;
  }
  state.search(state, block, level);
}

void encode_plane(EncoderState& state, int32_t* origin, int w, int h, int level) {
  if (level == 0 && state.search == search_with_estimates && state.pool && state.pool->threads() > 1 &&
      int64_t{w} * h >= kWindowArea) {
    std::vector<Step> steps;
    transform_and_list(state, origin, w, h, 0, steps);
    code_steps_ahead(state, steps);
    return;
  }
  if (w == 1 && h == 1) {  // not w * h == 1: the product overflows an int at 65535 x 65535
    code_dc(state, origin);
    return;
  }
  const Quadrants parts = quadrants_of(state, {origin, w, h});
  transform_region_shared(state.pool.get(), state, origin, w, h, true);
  encode_plane(state, origin, parts.part[0].width, parts.part[0].height, level + 2);
  if (w > 1) encode_subband_block(state, parts.part[1], level + 1);
  if (h > 1) encode_subband_block(state, parts.part[2], level + 1);
  if (w > 1 && h > 1) encode_subband_block(state, parts.part[3], level);
}

}  // namespace kv
