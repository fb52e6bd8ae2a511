#include "enc/enc_plane.h"

#include "common/plane.h"

namespace kv {

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
  if (w == 1 && h == 1) {  // not w * h == 1: the product overflows an int at 65535 x 65535
    if (state.rebuild) state.rebuilt[static_cast<size_t>(origin - state.image.data())] = *origin;
    write_magnitude(state, kDcModel, *origin);
    write_bits(state.encoder, 1, *origin < 0 ? 1 : 0);
    return;
  }
  const Quadrants parts = quadrants_of(state, {origin, w, h});
  forward_transform_region(state, origin, w, h);
  encode_plane(state, origin, parts.part[0].width, parts.part[0].height, level + 2);
  if (w > 1) encode_subband_block(state, parts.part[1], level + 1);
  if (h > 1) encode_subband_block(state, parts.part[2], level + 1);
  if (w > 1 && h > 1) encode_subband_block(state, parts.part[3], level);
}

}  // namespace kv
