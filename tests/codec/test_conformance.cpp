// Streams, console output, diagnostic pictures and decoded images of an
// independent implementation of the format, reproduced byte for byte through
// the command line.
#include <gtest/gtest.h>

#include "support.h"

namespace kv::test {
namespace {

std::vector<std::string> vector_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(data_path("kelvane_vectors")))
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class Conformance : public ScratchDir, public ::testing::WithParamInterface<std::string> {
 protected:
  fs::path vector_dir() const { return data_path("kelvane_vectors/" + GetParam()); }
  std::string extension() const { return fs::exists(vector_dir() / "input.ppm") ? "ppm" : "pgm"; }
  std::string quantization() const { return GetParam().substr(GetParam().rfind("-q") + 2); }
};

TEST_P(Conformance, EncoderWritesTheReferenceStreamOutputAndPicture) {
  const std::string input = "input." + extension();
  fs::copy_file(vector_dir() / input, dir / input);
  RunResult r = run(dir, KV_KELVANE, {input, "stream.kv2", quantization()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, read_text(vector_dir() / "encode-stdout.txt"));
  EXPECT_EQ(read_file(dir / "stream.kv2"), read_file(vector_dir() / "stream.kv2"));
  EXPECT_EQ(read_file(dir / ("dir." + extension())), read_file(vector_dir() / ("dir." + extension())));
}

TEST_P(Conformance, DecoderRebuildsTheReferenceImage) {
  fs::copy_file(vector_dir() / "stream.kv2", dir / "stream.kv2");
  const std::string output = "decoded." + extension();
  RunResult r = run(dir, KV_KELVANE, {"stream.kv2", output});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, read_text(vector_dir() / "decode-stdout.txt"));
  EXPECT_EQ(read_file(dir / output), read_file(vector_dir() / output));
}

INSTANTIATE_TEST_SUITE_P(Vectors, Conformance, ::testing::ValuesIn(vector_names()),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace kv::test
