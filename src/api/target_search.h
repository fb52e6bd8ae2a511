// Reaching a size or quality target (kelvane::Target) by searching for the
// quantization value (then, where values alone cannot get closer, for a
// tuning of the encoder's): every trial is one whole encode in memory, and
// the stream handed back is one of the trials', unchanged.
#pragma once

#include <cstdint>
#include <vector>

#include "enc/encode.h"
#include "kelvane/kelvane.h"

namespace kelvane::detail {

// The stream of `image` at the quantization value the search picks for
// options.target (whose kind is not kNone), as Target defines it:
//  - kBytes, kBitsPerPixel: the budget is the largest whole number of bytes
//    whose bits per pixel do not exceed the target; the stream handed back is
//    never above it, and the search stops once one lies within kSizeAccept of
//    it. Error kTargetUnreachable, naming the smallest size reachable, when
//    the coarsest quantization value (every coefficient quantised to zero)
//    still gives a larger stream; also for a target that is not a number.
//  - kPsnr: the stream with the largest quantization value found whose PSNR
//    is at least the target, searched until one lies within kPsnrAccept dB
//    above it; the lossless stream (quantization 1) for an infinite target
//    and when the finest lossy value stays below the target; the coarsest
//    value's stream when even that reaches the target.
// Among PSNR trials, one within kPsnrAccept of the target wins over a
// smaller stream further above it. When the value's search ends short of
// the band with two trials it cannot part (the two sides of a value where a
// quantizer step leaves 1.0, where size and PSNR jump; the finest lossy
// value and lossless; values too close to tell apart), it tunes the coarser
// one's stream (kv::EncodeTuning) towards the finer one's, and if that
// falls short, a lossy finer one's back towards the coarser one's; it may
// hand back a tuned trial: then report.tuned is set, and the plain encode at
// report.quantization writes another stream. At most kMaxEncodes encodes run.
//
// options.report, when set, describes the stream handed back (encodes: the
// trials run). Trials run with options' threads, mode and direction picture
// (the chosen trial's is handed back); they print nothing on options.console,
// and options.progress sees the trials' fractions scaled into one rising
// sequence ending at 1.
std::vector<uint8_t> encode_to_target(const Image& image, const EncodeOptions& options);

// encode() of `image` at `quantization` without a target (options.target
// is ignored), with the encoder's `tuning`: the search's trials. The image
// is one encode() or a file read has checked; it is not checked again.
std::vector<uint8_t> encode_tuned(const Image& image, float quantization, const EncodeOptions& options,
                                  const kv::EncodeTuning& tuning);

// The same, written to the file `stream_path` once the search is done: a
// search that fails writes nothing. The file's failures are the coder's
// (ErrorCode::kStreamFile).
void encode_file_to_target(const Image& image, const char* stream_path, const EncodeOptions& options);

inline constexpr int kMaxEncodes = 16;
inline constexpr double kSizeAccept = 0.97;  // fraction of the budget
inline constexpr double kPsnrAccept = 0.15;  // dB above the target

}  // namespace kelvane::detail
