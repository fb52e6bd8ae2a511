#include "veluna/veluna.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../entropy/test_support.h"

namespace kv {
namespace {

using Bytes = std::vector<uint8_t>;

const char* const kVectors[] = {"empty", "a", "abc", "allbytes", "text"};

std::string vector_path(const std::string& name) { return std::string(KV_TEST_DATA) + "/veluna_vectors/" + name; }

// Text-like data whose statistics change from section to section, with a
// stretch of binary noise, so that the model halves many times over.
Bytes generated_data(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  const std::vector<std::string> vocabulary = {"the ", "model ", "of ", "and ", "symbol ", "a ", "interval ",
                                               "code ", "bits\n", "to ", "frequency ", "halving ", "end. "};
  Bytes out;
  while (out.size() < size) {
    uint32_t section = random() % 4;
    size_t length = 20000 + random() % 60000;
    for (size_t i = 0; i < length && out.size() < size; ++i) {
      if (section == 3) {
        out.push_back(static_cast<uint8_t>(random()));
        continue;
      }
      // Favour a few words, differently in each section.
      size_t w = (random() % 3 == 0 ? random() % vocabulary.size() : (random() % 4 + section * 3)) % vocabulary.size();
      const std::string& word = vocabulary[w];
      out.insert(out.end(), word.begin(), word.end());
      i += word.size() - 1;
    }
  }
  out.resize(size);
  return out;
}

TEST(VelunaTest, ReferenceFilesByteForByte) {
  test::ScratchDir dir;
  for (const char* name : kVectors) {
    SCOPED_TRACE(name);
    Bytes input = test::read_file(vector_path(name));
    Bytes compressed = test::read_file(vector_path(std::string(name) + ".vl"));
    ASSERT_FALSE(compressed.empty());
    EXPECT_EQ(veluna_compress(input), compressed);
    EXPECT_EQ(veluna_expand(compressed), input);

    veluna_compress_file(vector_path(name).c_str(), dir.file("c").c_str());
    EXPECT_EQ(test::read_file(dir.file("c")), compressed);
    veluna_expand_file(vector_path(std::string(name) + ".vl").c_str(), dir.file("e").c_str());
    EXPECT_EQ(test::read_file(dir.file("e")), input);
  }
}

TEST(VelunaTest, SmallestFiles) {
  EXPECT_EQ(veluna_compress({}), (Bytes{0xFF, 0x40}));
  EXPECT_EQ(veluna_compress(Bytes{'a'}), (Bytes{0x61, 0x9D, 0x40}));
  EXPECT_EQ(veluna_compress(Bytes{'a', 'b', 'c'}), (Bytes{0x61, 0x01, 0x3C, 0x05, 0x40}));
  EXPECT_TRUE(veluna_expand(Bytes{0xFF, 0x40}).empty());
}

TEST(VelunaTest, EveryByteValueAlone) {
  for (int b = 0; b < 256; ++b) {
    Bytes input{static_cast<uint8_t>(b)};
    EXPECT_EQ(veluna_expand(veluna_compress(input)), input) << b;
    Bytes run(5000, static_cast<uint8_t>(b));
    EXPECT_EQ(veluna_expand(veluna_compress(run)), run) << b;
  }
}

TEST(VelunaTest, LongDataHalvingManyTimes) {
  test::ScratchDir dir;
  Bytes input = generated_data(1500000, 3);
  Bytes compressed = veluna_compress(input);
  // Skewed text sections compress; the noise costs a little over 8 bits a byte.
  EXPECT_LT(compressed.size(), input.size() * 3 / 4);
  EXPECT_EQ(veluna_expand(compressed), input);

  test::write_file(dir.file("in"), input);
  veluna_compress_file(dir.file("in").c_str(), dir.file("in.vl").c_str());
  EXPECT_EQ(test::read_file(dir.file("in.vl")), compressed);
  veluna_expand_file(dir.file("in.vl").c_str(), dir.file("out").c_str());
  EXPECT_EQ(test::read_file(dir.file("out")), input);
}

TEST(VelunaTest, MemoryAndFilesAgreeOnRandomData) {
  test::ScratchDir dir;
  std::mt19937 random(9);
  for (size_t size : {1u, 2u, 255u, 4000u, 65535u, 65536u, 65537u, 200000u}) {
    Bytes input(size);
    for (auto& b : input) b = static_cast<uint8_t>(random() % (1 + random() % 256));
    Bytes compressed = veluna_compress(input);
    test::write_file(dir.file("in"), input);
    veluna_compress_file(dir.file("in").c_str(), dir.file("in.vl").c_str());
    ASSERT_EQ(test::read_file(dir.file("in.vl")), compressed) << size;
    veluna_expand_file(dir.file("in.vl").c_str(), dir.file("out").c_str());
    ASSERT_EQ(test::read_file(dir.file("out")), input) << size;
    ASSERT_EQ(veluna_expand(compressed), input) << size;
  }
  // A missing input leaves an existing output as it was.
  const Bytes kept = test::read_file(dir.file("in.vl"));
  EXPECT_THROW(veluna_compress_file(dir.file("missing").c_str(), dir.file("in.vl").c_str()), Error);
  EXPECT_EQ(test::read_file(dir.file("in.vl")), kept);
}

TEST(VelunaTest, BytesAfterTheEndSymbolAreIgnored) {
  for (const char* name : kVectors) {
    Bytes input = test::read_file(vector_path(name));
    Bytes compressed = test::read_file(vector_path(std::string(name) + ".vl"));
    for (Bytes tail : {Bytes{0x00}, Bytes{0xFF, 0xFF, 0xFF}, Bytes(1000, 0x5A)}) {
      Bytes longer = compressed;
      longer.insert(longer.end(), tail.begin(), tail.end());
      EXPECT_EQ(veluna_expand(longer), input) << name;
    }
  }
}

// Cut short or damaged data either fails with one of the decoder's messages
// or decodes to something; it never reads out of bounds or hangs.
TEST(VelunaTest, TruncatedAndCorruptedData) {
  Bytes compressed = test::read_file(vector_path("text.vl"));
  Bytes input = test::read_file(vector_path("text"));
  auto outcome = [&](const Bytes& data) -> std::string {
    try {
      Bytes out = veluna_expand(data);
      return out == input ? "same" : "different";
    } catch (const Error& failure) {
      EXPECT_EQ(classic_status(failure.code()), 1);
      return failure.message();
    }
  };
  int read_errors = 0;
  for (size_t length = 0; length < compressed.size(); length += length < 64 ? 1 : 97) {
    std::string result = outcome(Bytes(compressed.begin(), compressed.begin() + length));
    EXPECT_TRUE(result == "get_bit: read error" || result == "read_symbol: out of range" || result == "different")
        << length << ": " << result;
    read_errors += result == "get_bit: read error";
  }
  EXPECT_GT(read_errors, 0);
  std::mt19937 random(4);
  for (int i = 0; i < 200; ++i) {
    Bytes damaged = compressed;
    damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1 + random() % 255);
    std::string result = outcome(damaged);
    EXPECT_TRUE(result == "get_bit: read error" || result == "read_symbol: out of range" || result == "different")
        << result;
  }
}

}  // namespace
}  // namespace kv
