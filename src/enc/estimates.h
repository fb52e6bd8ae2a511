// The encoder's quadtree decisions, computed once and reused. An estimate is
// a pure function of a block's samples and the models as they stand, so:
// - estimates are memoised per block and model version, and the same block
//   asked again before anything was coded costs nothing;
// - a block's quantised coefficients and distortion for a direction do not
//   depend on the models at all: they are kept, and only the rate is summed
//   again (from a table of bits per model and bin) once the models change;
// - the direction searches of a tree's blocks are independent: with more
//   than one thread they are made ahead, on the workers (enc/enc_plane.cpp),
//   and the results combined in the one fixed order.
// The rate-distortion mode, free of the defined decisions, follows the same
// memoisation and optimises the values of each search's winner only.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "common/block_geometry.h"
#include "util/chunk_arena.h"
#include "enc/enc_state.h"
#include "enc/direction_search.h"
#include "enc/rate_items.h"
#include "common/quadtree.h"

namespace kv {

struct DirectionEstimate {
  int32_t index;
  uint32_t events_begin;
  uint32_t events_count;
  double distortion;  // the cost's distortion term
  uint32_t coefficients_begin;  // optimised: the coefficients to code, in `coefficients`
  // Rate-distortion mode only:
  bool optimised = false;       // values chosen by the optimised quantiser (else plainly quantised)
  bool optimise_tried = false;  // plain values the optimised quantiser did not better
  bool zeroed = false;          // at the last costing, coding zeros instead cost less
};

inline constexpr uint64_t kNotEstimated = ~uint64_t{0};

struct EstimateNode {
  // Not copied: a copy would share the tree's storage of `events`.
  EstimateNode() = default;
  EstimateNode(const EstimateNode&) = delete;
  EstimateNode& operator=(const EstimateNode&) = delete;
  EstimateNode(EstimateNode&&) = default;
  EstimateNode& operator=(EstimateNode&&) = default;

  Block block;
  const BlockGeometry* geometry = nullptr;
  int32_t first_child = 0;  // children with samples are consecutive nodes
  int32_t child_count = 0;
  uint64_t version = kNotEstimated;  // model version of `estimate` and `choice`
  double estimate = 0;              // what code_block(block, false) returns
  DirectionChoice choice{};
  std::vector<int32_t> samples;  // the block's samples, row-major
  double energy = 0;             // their sum of squares: the error when every coefficient quantises to 0
  std::vector<int32_t> slot;     // per table entry: its position in `directions`, or -1
  std::vector<DirectionEstimate> directions;
  // Rate items of every evaluated direction: the first events_used of
  // events_capacity (the rest is room the writers may store into, left
  // uncleared: an evaluation reserves three items a sample and uses few).
  // The storage is the tree's; a node keeps it when reused.
  uint16_t* events = nullptr;
  size_t events_capacity = 0;
  size_t events_used = 0;
  std::vector<int32_t> coefficients;  // rate-distortion mode only
};

// The quadtree below one block of at most kSplitMaxArea samples.
struct EstimateTree {
  // Where the nodes, the rebuilt rows and the nodes' rate items grow (these
  // from any searching thread). What outgrows its room stays in the arena;
  // the tree reserves its nodes and rows once.
  mutable std::mutex store_mutex;
  mutable ChunkArena store;
  // node 0 is the root; nodes past `used` are spare
  std::vector<EstimateNode, ArenaAllocator<EstimateNode>> nodes{{store, store_mutex}};
  size_t used = 0;
  // Per quantizer table entry: how it quantises, and the value dequantised()
  // rebuilds from every magnitude up to its limit (at most kRebuiltTable).
  float steps[64] = {};  // the quantizer table these were made for
  BandQuantiser bands[64] = {};
  // rows of kRebuiltTable + 1: a shared row of 0s, then the entries' rows
  std::vector<int32_t, ArenaAllocator<int32_t>> rebuilt{{store, store_mutex}};
  uint64_t rows_made = 0;        // the entries whose rows are in `rebuilt`
  std::vector<int> subtree;  // ensure_estimates' list, reused
  const GeometryCache* geometry_source = nullptr;
  std::vector<const BlockGeometry*> geometries;  // the sizes met so far, from geometry_source
  int level = 0;  // the subband level of the root's block
};

// The tree below `root`, a block of subband `level`, with nothing estimated yet.
void build_estimate_tree(EncoderState& state, const Block& root, int level, EstimateTree& tree);
// Codes node `index` with the same decisions as code_block; returns its cost.
double code_tree_block(EncoderState& state, EstimateTree& tree, int index);
// Evaluates every node's likely directions (evaluate_ahead) with the rates
// of `bits`; reads the state only, and may run on any thread while another
// codes, each on its own tree.
void evaluate_tree_ahead(EncoderState& state, EstimateTree& tree, const double* bits);
// The directions evaluated in the tree's nodes so far.
size_t tree_evaluations(const EstimateTree& tree);


}  // namespace kv
