// Random mixes of symbols, raw values and fractions: the encoder must produce
// exactly the bits of a plain bit-by-bit coder over plain frequency arrays,
// the file and memory paths must agree, and the decoder must recover every
// value with its models updated the same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "entropy/range_decoder.h"
#include "entropy/range_encoder.h"
#include "test_support.h"

namespace kv {
namespace {

struct ModelSetup {
  uint32_t symbols;
  uint32_t limit;
  uint32_t max_increment;
  uint32_t nonzero;  // when not 0: only this many symbols start at frequency 5, the rest at 0
};

const ModelSetup kSetups[] = {
    {2, 2, 1, 0},         {3, 60, 9, 0},          {32, 16384, 320, 0},     {257, 4096, 1, 0},
    {257, 8192, 2000, 0}, {1000, 16000, 300, 0},  {16384, 16384, 1, 0},    {16384, 16384, 3000, 100},
};

// Frequencies as a plain array, updated by the rule the model follows.
struct PlainModel {
  std::vector<uint32_t> f;
  uint32_t limit;
  uint32_t total() const { return std::accumulate(f.begin(), f.end(), 0u); }
  uint32_t below(uint32_t s) const { return std::accumulate(f.begin(), f.begin() + s, 0u); }
  void update(uint32_t s, uint32_t increment) {
    f[s] += increment;
    if (total() > limit)
      for (auto& x : f) x = (x + 1) >> 1;
  }
};

// The coder written out bit by bit, one renormalisation step at a time.
struct PlainEncoder {
  uint32_t low = 0, high = 0xFFFF;
  uint64_t pending = 0;
  uint32_t byte = 0;
  int bits = 0;
  std::vector<uint8_t> out;

  void put(uint32_t bit) {
    byte = (byte << 1) | bit;
    if (++bits == 8) {
      out.push_back(static_cast<uint8_t>(byte));
      bits = 0;
    }
  }
  void emit(uint32_t bit) {
    put(bit);
    for (; pending; --pending) put(bit ^ 1);
  }
  void narrow(uint64_t low_offset, uint64_t high_offset) {
    high = static_cast<uint32_t>(low + high_offset - 1);
    low = static_cast<uint32_t>(low + low_offset);
    for (;;) {
      if (high <= 0x7FFF) {
        emit(0);
      } else if (low >= 0x8000) {
        emit(1);
        low -= 0x8000;
        high -= 0x8000;
      } else if (low >= 0x4000 && high <= 0xBFFF) {
        ++pending;
        low -= 0x4000;
        high -= 0x4000;
      } else {
        break;
      }
      low = 2 * low;
      high = 2 * high + 1;
    }
  }
  uint64_t range() const { return uint64_t{high} - low + 1; }
  void symbol(const PlainModel& m, uint32_t s) {
    uint64_t a = m.below(s), b = a + m.f[s], t = m.total();
    narrow(range() * a / t, range() * b / t);
  }
  void raw(int n, uint32_t v) {
    uint64_t t = uint64_t{v} * range();
    narrow(t >> n, (t + range()) >> n);
  }
  void fraction(uint32_t n, uint32_t v) {
    uint64_t t = uint64_t{v} * range();
    narrow(t / n, (t + range()) / n);
  }
  void finish() {
    ++pending;
    emit(low < 0x4000 ? 0 : 1);
    for (int i = 0; i < 7; ++i) put(0);
  }
};

enum class Kind { kSymbol, kBits, kFraction };
struct Item {
  Kind kind;
  uint32_t model;  // for symbols
  uint32_t n;      // bit count or fraction count
  uint32_t value;
  uint32_t increment;
};

// A script of items, drawn against plain models so that every symbol is
// codable when its turn comes.
std::vector<Item> make_script(uint32_t seed, size_t count) {
  std::mt19937 random(seed);
  std::vector<PlainModel> models;
  for (const auto& setup : kSetups) {
    PlainModel m{std::vector<uint32_t>(setup.symbols, setup.nonzero ? 0 : 1), std::max(setup.limit, setup.symbols)};
    for (uint32_t i = 0; i < setup.nonzero; ++i) m.f[(i * 163) % setup.symbols] = 5;
    models.push_back(m);
  }
  std::vector<Item> script;
  // Raw values of up to 16 bits only while the interval is the full range.
  for (int i = random() % 5; i > 0; --i) {
    uint32_t n = 1 + random() % 16;
    script.push_back({Kind::kBits, 0, n, static_cast<uint32_t>(random()) & ((1u << n) - 1), 0});
  }
  while (script.size() < count) {
    uint32_t choice = random() % 20;
    if (choice < 14) {
      uint32_t k = random() % std::size(kSetups);
      PlainModel& m = models[k];
      uint32_t n = static_cast<uint32_t>(m.f.size());
      uint32_t s;
      do {
        // Mostly a few favourite symbols, so the models grow skewed.
        s = random() % 4 ? (random() % 5) * 37 % n : random() % n;
        if (kSetups[k].nonzero) s = (s % kSetups[k].nonzero) * 163 % n;
      } while (m.f[s] == 0);
      uint32_t increment = 1 + random() % kSetups[k].max_increment;
      script.push_back({Kind::kSymbol, k, n, s, increment});
      m.update(s, increment);
    } else if (choice < 17) {
      uint32_t n = 1 + random() % 14;
      script.push_back({Kind::kBits, 0, n, static_cast<uint32_t>(random()) & ((1u << n) - 1), 0});
    } else {
      uint32_t n = 2 + random() % 16385;
      if (random() % 3 == 0) n = 2 + random() % 6;
      script.push_back({Kind::kFraction, 0, n, static_cast<uint32_t>(random()) % n, 0});
    }
  }
  return script;
}

std::vector<AdaptiveModel> new_models() {
  std::vector<AdaptiveModel> models(std::size(kSetups));
  for (size_t k = 0; k < models.size(); ++k) {
    const ModelSetup& setup = kSetups[k];
    std::vector<uint32_t> initial(setup.symbols, setup.nonzero ? 0 : 1);
    for (uint32_t i = 0; i < setup.nonzero; ++i) initial[(i * 163) % setup.symbols] = 5;
    new_context(models[k], setup.symbols, setup.limit, initial.data());
  }
  return models;
}

std::vector<uint8_t> plain_encode(const std::vector<Item>& script) {
  std::vector<PlainModel> models;
  for (const AdaptiveModel& m : new_models()) {
    AdaptiveModel copy = m;
    flatten_tree(copy);
    models.push_back({copy.tree, m.limit});
  }
  PlainEncoder e;
  for (const Item& item : script) {
    if (item.kind == Kind::kSymbol) {
      EXPECT_LE(models[item.model].total(), 16384u);
      e.symbol(models[item.model], item.value);
      models[item.model].update(item.value, item.increment);
    } else if (item.kind == Kind::kBits) {
      e.raw(static_cast<int>(item.n), item.value);
    } else {
      e.fraction(item.n, item.value);
    }
  }
  e.finish();
  return e.out;
}

void encode(Encoder& encoder, const std::vector<Item>& script) {
  std::vector<AdaptiveModel> models = new_models();
  for (const Item& item : script) {
    if (item.kind == Kind::kSymbol) {
      write_symbol(encoder, models[item.model], item.value);
      update_context(models[item.model], item.value, item.increment);
    } else if (item.kind == Kind::kBits) {
      write_bits(encoder, static_cast<int>(item.n), item.value);
    } else {
      write_fraction(encoder, item.n, item.value);
    }
  }
}

void decode(Decoder& decoder, const std::vector<Item>& script) {
  std::vector<AdaptiveModel> models = new_models();
  for (size_t i = 0; i < script.size(); ++i) {
    const Item& item = script[i];
    uint32_t value;
    if (item.kind == Kind::kSymbol) {
      value = read_symbol(decoder, models[item.model]);
      update_context(models[item.model], value, item.increment);
    } else if (item.kind == Kind::kBits) {
      value = read_bits(decoder, static_cast<int>(item.n));
    } else {
      value = read_fraction(decoder, item.n);
    }
    ASSERT_EQ(value, item.value) << "item " << i;
  }
}

TEST(RoundTripTest, RandomMixes) {
  test::ScratchDir dir;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    std::vector<Item> script = make_script(seed, seed % 3 == 0 ? 200 : 30000);
    std::vector<uint8_t> expected = plain_encode(script);

    std::vector<uint8_t> memory;
    Encoder to_memory;
    new_memory_encoder(to_memory, memory);
    encode(to_memory, script);
    EXPECT_EQ(kill_encoder(to_memory), expected.size());
    ASSERT_EQ(memory, expected);

    std::string path = dir.file("stream");
    Encoder to_file;
    new_encoder(to_file, path.c_str());
    encode(to_file, script);
    EXPECT_EQ(kill_encoder(to_file), expected.size());
    ASSERT_EQ(test::read_file(path), expected);

    Decoder from_memory;
    new_memory_decoder(from_memory, memory.data(), memory.size());
    decode(from_memory, script);
    uint32_t fetched = kill_decoder(from_memory);
    EXPECT_LE(fetched, memory.size() + 2);

    Decoder from_file;
    new_decoder(from_file, path.c_str());
    decode(from_file, script);
    EXPECT_EQ(kill_decoder(from_file), fetched);
  }
}

// Pending runs of every length up to well past a machine word, each ended
// by a decided bit and followed by more coding, give the plain coder's bits.
TEST(RoundTripTest, PendingRunsOfEveryLength) {
  std::mt19937 random(17);
  for (uint64_t length = 1; length <= 150; ++length) {
    std::vector<uint8_t> out;
    Encoder encoder;
    new_memory_encoder(encoder, out);
    std::vector<Item> script;
    auto add = [&](uint32_t n, uint32_t v) {
      script.push_back({Kind::kFraction, 0, n, v, 0});
      write_fraction(encoder, n, v);
    };
    // Random decided bits first, so that the run starts anywhere in a byte.
    for (int i = random() % 4; i > 0; --i) add(16386, random() % 16386);
    while (encoder.pending < length) {
      // The fraction whose interval holds both 0x7FFF and 0x8000 decides nothing.
      uint64_t r = encoder.high - encoder.low + 1;
      uint32_t n = 3 + random() % 5, v = 0;
      while (v < n && encoder.low + (v + 1) * r / n - 1 < 0x8000) ++v;
      ASSERT_LT(v, n);
      if (encoder.low + v * r / n > 0x7FFF) continue;
      add(n, v);
    }
    add(16386, random() % 2 ? 0 : 16385);
    for (int i = 0; i < 20; ++i) add(2 + random() % 100, random() % 2);
    kill_encoder(encoder);
    ASSERT_EQ(out, plain_encode(script)) << length;
    Decoder decoder;
    new_memory_decoder(decoder, out.data(), out.size());
    decode(decoder, script);
  }
}

// A heavily skewed model codes many symbols per output bit, with long
// stretches where the interval straddles the middle.
TEST(RoundTripTest, SkewedModel) {
  std::mt19937 random(5);
  std::vector<uint32_t> symbols;
  for (int i = 0; i < 200000; ++i) symbols.push_back(random() % 200 ? 7 : random() % 32);
  AdaptiveModel model;
  new_context(model, 32, 16384, nullptr);
  std::vector<uint8_t> out;
  Encoder encoder;
  new_memory_encoder(encoder, out);
  uint64_t longest_pending = 0;
  for (uint32_t s : symbols) {
    write_symbol(encoder, model, s);
    update_context(model, s, 320);
    longest_pending = std::max(longest_pending, encoder.pending);
  }
  kill_encoder(encoder);
  EXPECT_LT(out.size(), symbols.size() / 40);
  EXPECT_GT(longest_pending, 8u);
  AdaptiveModel mirror;
  new_context(mirror, 32, 16384, nullptr);
  Decoder decoder;
  new_memory_decoder(decoder, out.data(), out.size());
  for (size_t i = 0; i < symbols.size(); ++i) {
    ASSERT_EQ(read_symbol(decoder, mirror), symbols[i]) << i;
    update_context(mirror, symbols[i], 320);
  }
}

}  // namespace
}  // namespace kv
