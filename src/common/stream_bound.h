// The least length of a stream that declares a given image shape: what the
// decoder must have before it allocates the image.
#pragma once

#include <cstdint>

namespace kv {

// A lower bound on the bytes of any stream that decodes without error to an
// image of width x height x channels samples (each 1..65535, channels
// 1..255). A stream shorter than this cannot be decoded to its end: the
// coder runs out of bits (or finds the data corrupt) before the last plane.
//
// Why it holds: the header reads 88 bits and a colour matrix (channels > 1)
// 32 bits per entry, all at the full 16-bit range, so each of them shifts
// exactly one code bit in. After that every plane reads the sign of its
// lowest coefficient and one split-or-leaf flag per block of each subband
// whose quadtree the encoder must split (every block above the largest leaf
// is split, and every block with samples reads its flag), each an even
// choice whose narrowing keeps at most a (r + 1) / 2r share of a range r >
// 2^14: at least 1 - 2^-13 code bits each. Every other read takes no less
// than 0 bits, and the final range, between 2^14 and 2^16, gives back
// less than 2 bits. The decoder starts with 16 code bits and pads at most
// 16 past the end of the data, so N such choices need 8 bytes * B >= 88 +
// matrix + N - ceil(N / 8192) - 2.
uint64_t least_stream_bytes(uint32_t width, uint32_t height, uint32_t channels);

// The split-or-leaf flags of the blocks every stream of a subband of
// width x height samples holds (0 for an empty subband).
uint64_t forced_subband_flags(uint32_t width, uint32_t height);

}  // namespace kv
