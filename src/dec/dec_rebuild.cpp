#include "dec/dec_rebuild.h"

#include <algorithm>

#include "common/plane.h"
#include "common/quadtree.h"

namespace kv {

namespace {

// Leaf values the chain may leave waiting before it does items itself.
constexpr size_t kWaitingValues = size_t{1} << 20;

}  // namespace

void RebuildQueue::add_leaves(std::vector<PendingLeaf>&& leaves, std::vector<int32_t>&& values) {
  auto item = std::make_unique<Item>();
  item->kind = Item::Kind::kLeaves;
  item->count = static_cast<int64_t>(leaves.size());
  item->leaves = std::move(leaves);
  item->values = std::move(values);
  add(std::move(item));
}

void RebuildQueue::add_inverse_transform(int32_t* origin, int w, int h) {
  const auto region = [&](Item::Kind kind, int64_t count) {
    auto item = std::make_unique<Item>();
    item->kind = kind;
    item->origin = origin;
    item->w = w;
    item->h = h;
    item->count = count;
    add(std::move(item));
  };
  if (int64_t{w} * h < kSharedTransformArea) {
    region(Item::Kind::kWhole, 1);
    return;
  }
  region(Item::Kind::kColumns, (w + kInverseColumnBatch - 1) / kInverseColumnBatch);
  region(Item::Kind::kRows, h);
}

void RebuildQueue::add(std::unique_ptr<Item> item) {
  item->pieces = std::min<int64_t>(item->count, 4 * int64_t{threads_});
  std::unique_lock<std::mutex> lock(mutex_);
  if (failed_) throw Abandoned{};
  if (item->pieces == 0) return;
  waiting_values_ += item->values.size();
  items_.push_back(std::move(item));
  changed_.notify_all();
  while (waiting_values_ > kWaitingValues) {
    if (failed_) throw Abandoned{};
    if (!do_piece(lock)) changed_.wait(lock);
  }
}

void RebuildQueue::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

void RebuildQueue::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (failed_) return;
    if (do_piece(lock)) continue;
    if (items_.empty() && finished_) return;
    changed_.wait(lock);
  }
}

void RebuildQueue::fail(std::exception_ptr error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!error_) error_ = error;
  failed_ = true;
  changed_.notify_all();
}

bool RebuildQueue::do_piece(std::unique_lock<std::mutex>& lock) {
  if (failed_ || items_.empty()) return false;
  // The first item stays first until its last piece is done: the reference
  // holds while the lock is let go.
  Item& item = *items_.front();
  if (item.handed == item.pieces) return false;
  const int64_t piece = item.handed++;
  lock.unlock();
  run_piece(item, piece);
  lock.lock();
  if (++item.done == item.pieces) {
    waiting_values_ -= item.values.size();
    items_.pop_front();
    changed_.notify_all();
  }
  return true;
}

void RebuildQueue::run_piece(const Item& item, int64_t piece) const {
  const int64_t first = item.count * piece / item.pieces;
  const int64_t end = item.count * (piece + 1) / item.pieces;
  switch (item.kind) {
    case Item::Kind::kLeaves:
      for (int64_t i = first; i < end; ++i) {
        const PendingLeaf& leaf = item.leaves[static_cast<size_t>(i)];
        place_leaf(state_, *leaf.geometry, leaf.direction_index, item.values.data() + leaf.values_begin, leaf.target);
      }
      break;
    case Item::Kind::kColumns:
      inverse_columns(state_, item.origin, item.w, item.h, first, end);
      break;
    case Item::Kind::kRows:
      inverse_rows(state_, item.origin, item.w, first, end);
      break;
    case Item::Kind::kWhole:
      inverse_transform_region(state_, item.origin, item.w, item.h);
      break;
  }
}

}  // namespace kv
