// The rebuilding of a large image beside the decoding's one chain.
//
// The chain reads the stream and only reads it: each leaf's dequantised
// values wait in a batch, and the chain hands over, in stream order, the
// batches of leaves to place and the regions to inverse-transform. The other
// threads do that work in the same order, each item in pieces shared by
// whichever threads are free, while the chain reads on:
//
//   chain:    read plane 0 ........ read plane 1 ........ read plane 2 ... | helps
//   others:      place, transform plane 0's depths | plane 1's ...          | ...
//
// Items run one after another, so everything an item depends on (a depth's
// leaves before its transform, a deeper depth's transform before a shallower
// one's) is done before it starts; pieces of one item touch disjoint samples.
// The chain writes no sample but each plane's deepest one, before any item
// of that plane exists. The output is what the one-thread decode writes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "common/block_geometry.h"
#include "common/block_transform.h"
#include "common/coding_state.h"

namespace kv {

// A leaf read but not yet placed: its values are in its batch's `values`.
struct PendingLeaf {
  const BlockGeometry* geometry;
  int32_t direction_index;
  uint32_t values_begin;
  BlockView target;
};

class RebuildQueue {
 public:
  // `state` must outlive the queue; `threads` is how many take part.
  RebuildQueue(const CodingState& state, int threads) : state_(state), threads_(threads) {}

  // The chain's side. Each hands over one item, and returns once the leaf
  // values waiting are within a few MiB (the chain does items itself
  // meanwhile). They throw Abandoned once another thread has failed.
  void add_leaves(std::vector<PendingLeaf>&& leaves, std::vector<int32_t>&& values);
  void add_inverse_transform(int32_t* origin, int w, int h);
  // No more items will come.
  void finish();

  // Every taking part thread, the chain's after finish(): does pieces until
  // every item is done (or a thread failed).
  void work();
  // Records the first failure of any thread (the others then stop); rethrow()
  // throws it once every thread is out.
  void fail(std::exception_ptr error);
  void rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

  struct Abandoned {};

 private:
  struct Item {
    enum class Kind { kLeaves, kColumns, kRows, kWhole } kind;
    std::vector<PendingLeaf> leaves;
    std::vector<int32_t> values;
    int32_t* origin = nullptr;
    int w = 0, h = 0;
    int64_t count = 0;   // leaves, column batches or rows
    int64_t pieces = 0;
    int64_t handed = 0;  // pieces handed out
    int64_t done = 0;    // pieces finished
  };
  void add(std::unique_ptr<Item> item);
  void run_piece(const Item& item, int64_t piece) const;
  // Hands out and does one piece of the first item; false, without waiting,
  // when it has none left. `lock` holds mutex_ before and after.
  bool do_piece(std::unique_lock<std::mutex>& lock);

  const CodingState& state_;
  const int threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Item>> items_;
  size_t waiting_values_ = 0;  // leaf values held by items_
  bool finished_ = false;
  bool failed_ = false;
  std::exception_ptr error_;
};

}  // namespace kv
