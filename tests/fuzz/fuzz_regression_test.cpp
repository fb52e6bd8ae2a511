// Every input the fuzzers ever tripped over, and the seed corpora, run
// through the fuzz targets' own entry functions: a finding aborts the test
// process, a defined failure is swallowed, so each input passes only when
// it is handled as the codec promises.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "entries.h"
#include "util/error.h"
#include "dec/decode.h"
#include "enc/encode.h"
#include "entropy/magnitude.h"
#include "io/pnm.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

using Entry = void (*)(const uint8_t*, size_t);

struct Target {
  const char* name;
  Entry entry;
};

const Target kTargets[] = {{"kelvane_decode", fuzz_kelvane_decode},
                           {"pnm_encode", fuzz_pnm_encode},
                           {"veluna", fuzz_veluna},
                           {"colour", fuzz_colour},
                           {"trailer", fuzz_trailer},
                           {"png", fuzz_png}};

fs::path fuzz_data() { return fs::path(KV_TEST_DATA) / "fuzz"; }

// Decodes `stream` as the decode target does, expecting that failure;
// returns the sample buffer the failed decode left behind.
std::vector<int32_t> decode_expecting_failure(const std::vector<uint8_t>& stream, int status,
                                              const std::string& message) {
  DecoderState state;
  build_decoding_bin_tables(state.bins);
  new_memory_decoder(state.decoder, stream.data(), stream.size());
  try {
    decode_image(state, kFuzzDecodeMemory, "", "");
    ADD_FAILURE() << "decoded; expected " << message;
  } catch (const Error& failure) {
    EXPECT_EQ(classic_status(failure.code()), status);
    EXPECT_EQ(failure.message(), message);
  }
  return state.image;
}

std::vector<uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<fs::path> files_in(const fs::path& directory) {
  std::vector<fs::path> files;
  if (fs::is_directory(directory))
    for (const auto& entry : fs::directory_iterator(directory))
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

void replay(const Target& target, const fs::path& file) {
  SCOPED_TRACE(file.string());
  std::vector<uint8_t> bytes = read_bytes(file);
  // An empty vector's data() may be null; the fuzzer hands over a valid pointer.
  const uint8_t empty = 0;
  target.entry(bytes.empty() ? &empty : bytes.data(), bytes.size());
}

// --- Saved inputs -------------------------------------------------------

TEST(FuzzReplay, EveryRegressionInputIsHandled) {
  int replayed = 0;
  for (const Target& target : kTargets) {
    for (const fs::path& file : files_in(fuzz_data() / "regressions" / target.name)) {
      replay(target, file);
      ++replayed;
    }
  }
  RecordProperty("replayed", replayed);
}

TEST(FuzzReplay, EverySeedIsHandled) {
  for (const Target& target : kTargets) {
    std::vector<fs::path> seeds = files_in(fuzz_data() / "corpus" / target.name);
    // A missing corpus would make this test, and the fuzzers, vacuous.
    EXPECT_GE(seeds.size(), 5u) << target.name;
    for (const fs::path& file : seeds) replay(target, file);
  }
}

TEST(FuzzReplay, EmptyAndTinyInputsAreHandled) {
  const uint8_t bytes[] = {0, 'P', '5', ' ', '1', ' ', '1', ' ', '2', '5', '5', ' ', 7};
  for (const Target& target : kTargets)
    for (size_t size = 0; size <= sizeof bytes; ++size) target.entry(bytes, size);
}

// A damaged stream that marks a subband of more than 1024 samples as one leaf
// block: the decoder's leaf scratch holds 1024 samples, so it must be refused.
TEST(FuzzReplay, OversizedLeafBlockIsRefused) {
  std::vector<uint8_t> stream = read_bytes(fuzz_data() / "regressions/kelvane_decode/leaf-above-1024-samples");
  ASSERT_FALSE(stream.empty());
  decode_expecting_failure(stream, 1, "decode_block: leaf block too large");
}

// A damaged stream whose split flags go on splitting a single sample: its
// first quadrant is the same sample, so the decoder recursed until the stack
// ran out (a fuzzer finding). It must be refused.
TEST(FuzzReplay, SplitOfOneSampleIsRefused) {
  std::vector<uint8_t> stream = read_bytes(fuzz_data() / "regressions/kelvane_decode/split-of-one-sample");
  ASSERT_FALSE(stream.empty());
  decode_expecting_failure(stream, 1, "decode_block: split of a single sample");
}

// --- The harness's bounds -------------------------------------------------

// A header asking for more than the harness's memory must be refused before
// the buffer exists, with the codec's own message.
TEST(FuzzBounds, DecoderRefusesImagesAboveTheHarnessLimit) {
  std::vector<uint8_t> stream;
  {
    Encoder encoder;
    new_memory_encoder(encoder, stream);
    write_bits(encoder, 8, kMagicFirst);
    write_bits(encoder, 8, kMagicSecond);
    write_bits(encoder, 16, 4097);  // 4097 x 4096 x 1 samples of 4 bytes: just over 64 MiB
    write_bits(encoder, 16, 4096);
    write_bits(encoder, 8, 1);
    write_float(encoder, 0x3F800000u);
    kill_encoder(encoder);
  }
  EXPECT_TRUE(decode_expecting_failure(stream, 255, "Not enough memory.").empty());
}

// The image target's limit admits a full 64 x 64 colour image and nothing larger.
TEST(FuzzBounds, ImageTargetLimitIsSixtyFourSquareColour) {
  auto header = [](int w, int h) {
    std::string text = "P6 " + std::to_string(w) + " " + std::to_string(h) + " 255\n";
    text.append(static_cast<size_t>(w) * h * 3, '\x40');
    return text;
  };
  ReadLimits limits;
  limits.max_dimension = kFuzzImageDimension;
  limits.max_bytes = kFuzzImageBytes;
  Image image;
  std::string fits = header(64, 64), too_big = header(65, 64);
  EXPECT_TRUE(read_pnm_memory(reinterpret_cast<const uint8_t*>(fits.data()), fits.size(), image, limits));
  EXPECT_FALSE(read_pnm_memory(reinterpret_cast<const uint8_t*>(too_big.data()), too_big.size(), image, limits));
}

}  // namespace
}  // namespace kv
