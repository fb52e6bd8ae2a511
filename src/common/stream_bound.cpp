#include "common/stream_bound.h"

#include <array>
#include <utility>

#include "common/format.h"

namespace kv {

namespace {

// Blocks of the same depth in a quadtree have sides floor or ceil of the
// root's over 2^depth: at most two widths and two heights, counted together.
struct ShapeCount {
  uint32_t width = 0, height = 0;
  uint64_t count = 0;
};

void add_shape(std::array<ShapeCount, 4>& shapes, int& used, uint32_t width, uint32_t height, uint64_t count) {
  if (width == 0 || height == 0 || count == 0) return;
  for (int i = 0; i < used; ++i)
    if (shapes[i].width == width && shapes[i].height == height) {
      shapes[i].count += count;
      return;
    }
  shapes[used++] = {width, height, count};
}

}  // namespace

uint64_t forced_subband_flags(uint32_t width, uint32_t height) {
  std::array<ShapeCount, 4> level{};
  int used = 0;
  add_shape(level, used, width, height, 1);
  uint64_t flags = 0;
  while (used > 0) {
    std::array<ShapeCount, 4> next{};
    int next_used = 0;
    for (int i = 0; i < used; ++i) {
      const ShapeCount& s = level[i];
      flags += s.count;  // every block with samples reads its flag
      if (uint64_t{s.width} * s.height <= static_cast<uint64_t>(kSplitMaxArea)) continue;
      const uint32_t wl = (s.width + 1) / 2, wr = s.width / 2, ht = (s.height + 1) / 2, hb = s.height / 2;
      add_shape(next, next_used, wl, ht, s.count);
      add_shape(next, next_used, wr, ht, s.count);
      add_shape(next, next_used, wl, hb, s.count);
      add_shape(next, next_used, wr, hb, s.count);
    }
    level = next;
    used = next_used;
  }
  return flags;
}

uint64_t least_stream_bytes(uint32_t width, uint32_t height, uint32_t channels) {
  // One plane: its lowest coefficient's sign, then the subbands of every
  // level, as code_plane visits them.
  uint64_t plane_choices = 1;
  for (uint32_t w = width, h = height; uint64_t{w} * h > 1; w = (w + 1) / 2, h = (h + 1) / 2) {
    const uint32_t wl = (w + 1) / 2, wh = w / 2, hl = (h + 1) / 2, hh = h / 2;
    if (w > 1) plane_choices += forced_subband_flags(wh, hl);
    if (h > 1) plane_choices += forced_subband_flags(wl, hh);
    if (w > 1 && h > 1) plane_choices += forced_subband_flags(wh, hh);
  }
  const uint64_t choices = plane_choices * channels;
  const uint64_t header_bits = 8 + 8 + 16 + 16 + 8 + 32;
  const uint64_t matrix_bits = channels > 1 ? uint64_t{32} * channels * channels : 0;
  const uint64_t slack = (choices + 8191) / 8192 + 2;
  const uint64_t choice_bits = choices > slack ? choices - slack : 0;
  return (header_bits + matrix_bits + choice_bits + 7) / 8;
}

}  // namespace kv
