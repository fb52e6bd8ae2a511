// Codes a small picture and some bytes through the installed library and
// checks that everything comes back; prints "consumer ok" when it does.
#include <cstdio>
#include <vector>

#include <kelvane/kelvane.h>
#include <kelvane/veluna.h>

int main() {
  std::vector<uint8_t> pixels;
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x)
      for (int c = 0; c < 3; ++c) pixels.push_back(static_cast<uint8_t>(x * 7 + y * 5 + c * 40));
  const kelvane::Image image = kelvane::Image::from_8bit(pixels, 32, 24, 3);
  kelvane::EncodeOptions options;
  options.threads = 1;
  const std::vector<uint8_t> stream = kelvane::encode(image, 1.0f, options);
  if (kelvane::decode(stream).to_8bit() != pixels) return 1;

  const std::vector<uint8_t> text{'k', 'e', 'l', 'v', 'a', 'n', 'e'};
  if (kelvane::veluna_expand(kelvane::veluna_compress(text)) != text) return 2;

  try {
    kelvane::decode(std::vector<uint8_t>{'n', 'o', 't', ' ', 'a', ' ', 's', 't', 'r', 'e', 'a', 'm'});
    return 3;
  } catch (const kelvane::Error& error) {
    if (error.message() != "Not a Kelvane 2.0 file." || kelvane::classic_status(error.code()) != 255) return 4;
  }
  std::puts("consumer ok");
  return 0;
}
