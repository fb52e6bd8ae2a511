#include "dec/dec_plane.h"

#include "common/plane.h"
#include "dec/dec_subband.h"

namespace kv {

void decode_plane(DecoderState& state, int32_t* origin, int w, int h, int level) {
  if (w == 1 && h == 1) {  // not w * h == 1: the product overflows an int at 65535 x 65535
    const int32_t magnitude = read_magnitude(state.decoder, state.models[kDcModel], state.bins);
    *origin = read_bits(state.decoder, 1) ? -magnitude : magnitude;
    return;
  }
  const Quadrants parts = quadrants_of(state, {origin, w, h});
  decode_plane(state, origin, parts.part[0].width, parts.part[0].height, level + 2);
  if (w > 1) decode_block(state, parts.part[1], level + 1);
  if (h > 1) decode_block(state, parts.part[2], level + 1);
  if (w > 1 && h > 1) decode_block(state, parts.part[3], level);
  if (state.parse_only) return;
  if (!state.rebuild) {
    inverse_transform_region(state, origin, w, h);
    return;
  }
  hand_over_leaves(state);
  state.rebuild->add_inverse_transform(origin, w, h);
}

}  // namespace kv
