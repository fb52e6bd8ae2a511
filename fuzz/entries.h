// What each fuzz target does with one input. The libFuzzer executables and
// the regression tests of the normal build call the same functions, so a
// saved input replays exactly as it was found.
//
// A defined failure (Failure with one of the codec's statuses) is an answer,
// not a fault: the functions swallow it. Anything else that goes wrong — a
// round trip that does not come back, a failure with the wrong status — ends
// the process through `fuzz_finding`, which is what the fuzzer records.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// Images whose sample buffer would exceed this are refused by the decoder.
inline constexpr uint64_t kFuzzDecodeMemory = uint64_t{64} << 20;
// The decoder's image never exceeds this many bytes per input byte: a
// stream holds at least one code bit (less 1 in 8192) per 1024 samples, and
// the decoder refuses shorter ones before it allocates.
inline constexpr uint64_t kDecodeBytesPerInputByte = 32773;
// Encoded images stay small (at most 64 x 64 pixels of three channels) so
// that one input codes in milliseconds.
inline constexpr uint64_t kFuzzImageBytes = 64 * 64 * 3 * sizeof(int32_t);
inline constexpr int64_t kFuzzImageDimension = 4096;
// The png target reads under this limit of the reader's buffers (samples and
// rows together), well above the images it codes.
inline constexpr uint64_t kFuzzReadBytes = uint64_t{16} << 20;

// Arbitrary bytes as a kelvane stream, its trailer (when it ends in a
// footer) and the trailer's alpha plane.
void fuzz_kelvane_decode(const uint8_t* data, size_t size);
// Arbitrary bytes as a file's end: the trailer reader's bounds, and what it
// kept written again and read back unchanged.
void fuzz_trailer(const uint8_t* data, size_t size);
// First byte: quantization choice (low 4 bits) and the rate-distortion mode
// (bit 4); the rest: a PNM image, coded, decoded and compared with the image
// the encoder rebuilt (and with the input when the quantization is lossless
// and the samples fit in 8 bits).
void fuzz_pnm_encode(const uint8_t* data, size_t size);
// Arbitrary bytes expanded as veluna data, then compressed and expanded back.
void fuzz_veluna(const uint8_t* data, size_t size);
// First byte: channel count 2..4; then the matrix as float32 patterns; then pixels.
void fuzz_colour(const uint8_t* data, size_t size);
// Arbitrary bytes as a PNG file, read as they are and again with every
// chunk's checksum made right (so that changed chunks reach their readers);
// what is read and small enough is coded losslessly and must decode to the
// same samples.
void fuzz_png(const uint8_t* data, size_t size);

[[noreturn]] void fuzz_finding(const char* what);

}  // namespace kv
