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
constexpr int64_t kThreadedPlaneArea = int64_t{1} << 15;
// Regions the searches may run ahead of the coding, per thread: each has a
// tree of its own, kept allocated from one region to the next, which bounds
// the memory (docs/performance.md).
constexpr size_t kRingRegionsPerThread = 8;

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
  forward_transform_shared(state.pool.get(), state, origin, w, h);
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
// Every thread takes the next region not yet searched (building its tree
// and evaluating its nodes' likely directions with the rates of the latest
// region coded) as long as it lies within `ring` regions of the coding;
// the coding thread codes the regions in order, each once its search is
// done, and searches ahead itself while it waits. Only model-independent
// work is done ahead (the coding thread sums the rates and decides with the
// models as they stand), so the stream is the one encode_plane writes.
void code_steps_ahead(EncoderState& state, const std::vector<Step>& steps) {
  ThreadPool& pool = *state.pool;
  std::vector<size_t> regions;
  for (size_t i = 0; i < steps.size(); ++i)
    if (steps[i].kind == Step::kRegion) regions.push_back(i);
  const size_t ring = kRingRegionsPerThread * static_cast<size_t>(pool.threads());
  std::vector<std::shared_ptr<EstimateTree>>& trees = state.window_trees;
  while (trees.size() < ring) trees.push_back(std::make_shared<EstimateTree>());
  auto tree_of = [&](size_t r) -> EstimateTree& { return *trees[r % ring]; };

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
  // Regions handed out to be searched, regions coded, and per tree of the
  // ring one more than the region whose search in it is complete.
  std::atomic<size_t> next_search{0};
  std::atomic<size_t> coded{0};
  std::vector<std::atomic<size_t>> searched(ring);
  // Set when a thread leaves by an exception: the others stop waiting for
  // it (the pool then rethrows the exception).
  std::atomic<bool> failed{false};
  auto fail = [&] {
    failed.store(true, std::memory_order_release);
    next_search.store(regions.size(), std::memory_order_release);
    coded.fetch_add(1, std::memory_order_acq_rel);
    coded.notify_all();
    for (std::atomic<size_t>& slot : searched) {
      slot.store(~size_t{0}, std::memory_order_release);
      slot.notify_all();
    }
  };
  // Takes and searches the next region, if there is one the ring has room
  // for; false when there is none now.
  auto search_next = [&]() -> bool {
    size_t r = next_search.load(std::memory_order_acquire);
    do {
      if (r >= regions.size() || r >= coded.load(std::memory_order_acquire) + ring) return false;
    } while (!next_search.compare_exchange_weak(r, r + 1, std::memory_order_acq_rel));
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
    searched[r % ring].store(r + 1, std::memory_order_release);
    searched[r % ring].notify_all();
    return true;
  };
  auto search_ahead = [&] {
    try {
      while (next_search.load(std::memory_order_acquire) < regions.size()) {
        if (search_next()) continue;
        // The ring is full: wait for the coding to free a tree.
        const size_t seen = coded.load(std::memory_order_acquire);
        if (next_search.load(std::memory_order_acquire) >= seen + ring) coded.wait(seen, std::memory_order_acquire);
      }
    } catch (...) {
      fail();
      throw;
    }
  };
  int64_t evaluated = 0;
  auto code = [&] {
    double coding = 0;
    size_t r = 0;
    for (const Step& step : steps) {
      if (step.kind == Step::kDc) {
        code_dc(state, step.block.origin);
        continue;
      }
      if (step.kind == Step::kSplit) {
        write_bits(state.encoder, 1, 0);
        continue;
      }
      std::atomic<size_t>& done = searched[r % ring];
      for (size_t now = done.load(std::memory_order_acquire); now != r + 1; now = done.load(std::memory_order_acquire)) {
        if (failed.load(std::memory_order_acquire)) return;
        // Not searched yet: search ahead meanwhile, or wait for the thread that is.
        if (!search_next()) done.wait(now, std::memory_order_acquire);
      }
      const double start = thread_seconds();
      EstimateTree& tree = tree_of(r);
      code_tree_block(state, tree, 0);
      evaluated += static_cast<int64_t>(tree_evaluations(tree));
      publish_rates();
      coding += thread_seconds() - start;
      coded.store(++r, std::memory_order_release);
      coded.notify_all();
    }
    state.window_counts.coding_seconds += coding;
  };

  publish_rates();
  // The coding is task 0, taken before any other, so the threads searching
  // ahead never wait for a coding that has not begun.
  pool.parallel_for(static_cast<size_t>(pool.threads()), [&](size_t i) {
    if (i != 0) {
      search_ahead();
      return;
    }
    try {
      code();
    } catch (...) {
      fail();
      throw;
    }
  });
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
      int64_t{w} * h >= kThreadedPlaneArea) {
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
  forward_transform_shared(state.pool.get(), state, origin, w, h);
  encode_plane(state, origin, parts.part[0].width, parts.part[0].height, level + 2);
  if (w > 1) encode_subband_block(state, parts.part[1], level + 1);
  if (h > 1) encode_subband_block(state, parts.part[2], level + 1);
  if (w > 1 && h > 1) encode_subband_block(state, parts.part[3], level);
}

}  // namespace kv
