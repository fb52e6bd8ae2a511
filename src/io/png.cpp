#include "io/png.h"

#include "io/file_bytes.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace kv {

namespace {

// libpng reports an error by a long jump back to the setjmp of the call in
// progress. Each function that sets one up holds only trivially destructible
// locals, so the jump skips no destructor; every C++ object (buffers, row
// tables, the structures' owners) lives in its caller.

[[noreturn]] void on_png_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// What a read learns from libpng's warnings (its error pointer; null when
// writing): whether it complained of the iCCP chunk.
struct ReadNotes {
  bool iccp_warned = false;
};

void on_png_warning(png_structp png, png_const_charp message) {
  auto* notes = static_cast<ReadNotes*>(png_get_error_ptr(png));
  if (notes && message && std::strncmp(message, "iCCP", 4) == 0) notes->iccp_warned = true;
}

constexpr char kXmpKey[] = "XML:com.adobe.xmp";

struct MemoryInput {
  const uint8_t* data;
  size_t size;
  size_t position;
};

void read_from_memory(png_structp png, png_bytep out, size_t length) {
  auto* in = static_cast<MemoryInput*>(png_get_io_ptr(png));
  if (length > in->size - in->position) png_error(png, "truncated");
  std::memcpy(out, in->data + in->position, length);
  in->position += length;
}

struct ReadShape {
  uint32_t width;
  uint32_t height;
  int bit_depth;     // as stored
  int png_channels;  // after the expansions: 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA
  int stored_bits;   // per pixel, as the image data holds them
  size_t row_bytes;
};

// What libpng may allocate while reading one file (its chunks' data, text,
// the inflater; not the image, which the reader allocates): allocations
// beyond it fail, which libpng takes as an ancillary chunk it cannot keep,
// so no metadata (compressed text inflates up to 1032 times) can cost more.
struct PngBudget {
  size_t left;
};
constexpr size_t kBlockHeader = alignof(std::max_align_t);

png_voidp budget_malloc(png_structp png, png_alloc_size_t size) {
  auto* budget = static_cast<PngBudget*>(png_get_mem_ptr(png));
  if (size > budget->left) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(kBlockHeader + size));
  if (!block) return nullptr;
  std::memcpy(block, &size, sizeof size);
  budget->left -= size;
  return block + kBlockHeader;
}

void budget_free(png_structp png, png_voidp pointer) {
  if (!pointer) return;
  auto* block = static_cast<unsigned char*>(pointer) - kBlockHeader;
  png_alloc_size_t size;
  std::memcpy(&size, block, sizeof size);
  static_cast<PngBudget*>(png_get_mem_ptr(png))->left += size;
  std::free(block);
}

struct ReadOwner {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~ReadOwner() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

struct WriteOwner {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~WriteOwner() { png_destroy_write_struct(&png, info ? &info : nullptr); }
};

// Reads up to the image data and asks for 8- or 16-bit samples: palette
// entries and small grey samples expanded, transparency turned into an
// alpha channel.
bool read_header(png_structp png, png_infop info, ReadShape* shape) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  shape->bit_depth = png_get_bit_depth(png, info);
  shape->stored_bits = png_get_channels(png, info) * shape->bit_depth;
  const int colour = png_get_color_type(png, info);
  if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colour == PNG_COLOR_TYPE_GRAY && shape->bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  shape->width = png_get_image_width(png, info);
  shape->height = png_get_image_height(png, info);
  shape->png_channels = png_get_channels(png, info);
  shape->row_bytes = png_get_rowbytes(png, info);
  shape->bit_depth = png_get_bit_depth(png, info);
  return shape->bit_depth == 8 || shape->bit_depth == 16;
}

bool read_rows(png_structp png, png_infop info, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  png_read_end(png, info);
  return true;
}

void take_metadata(png_structp png, png_infop info, PngMetadata& metadata) {
  png_charp name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  png_uint_32 profile_length = 0;
  if (png_get_iCCP(png, info, &name, &compression, &profile, &profile_length) && profile)
    metadata.icc.assign(profile, profile + profile_length);
  png_bytep exif = nullptr;
  png_uint_32 exif_length = 0;
  if (png_get_eXIf_1(png, info, &exif_length, &exif) && exif) metadata.exif.assign(exif, exif + exif_length);
  png_textp texts = nullptr;
  int count = 0;
  png_get_text(png, info, &texts, &count);
  for (int i = 0; i < count; ++i) {
    if (!texts[i].key || std::strcmp(texts[i].key, kXmpKey) != 0 || !texts[i].text) continue;
    const size_t length = texts[i].compression >= PNG_ITXT_COMPRESSION_NONE ? texts[i].itxt_length : texts[i].text_length;
    metadata.xmp.assign(texts[i].text, texts[i].text + length);
    break;
  }
}

// `xmp` is the packet with a terminating zero (libpng takes the text up to it).
bool write_rows(png_structp png, png_infop info, std::FILE* file, uint32_t width, uint32_t height, int colour,
                png_bytepp rows, const PngMetadata* metadata, char* xmp) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  // A profile libpng finds unfit for the image is left out with a warning
  // rather than failing the write.
  png_set_benign_errors(png, 1);
  png_set_IHDR(png, info, width, height, 8, colour, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (metadata && !metadata->icc.empty())
    png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, metadata->icc.data(),
                 static_cast<png_uint_32>(metadata->icc.size()));
  if (metadata && !metadata->exif.empty())
    png_set_eXIf_1(png, info, static_cast<png_uint_32>(metadata->exif.size()),
                   const_cast<png_bytep>(metadata->exif.data()));
  png_text text{};
  if (xmp) {
    text.compression = PNG_ITXT_COMPRESSION_NONE;
    text.key = const_cast<png_charp>(kXmpKey);
    text.text = xmp;
    text.lang = nullptr;
    text.lang_key = nullptr;
    png_set_text(png, info, &text, 1);
  }
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

// True when every chunk up to IEND lies whole inside the bytes. libpng
// allocates a chunk's buffer at the length the chunk declares before it
// reads the data, and one beyond its own limit is only a warning; a chunk
// that runs past the end is damage the read would fail on anyway, so it is
// refused before libpng sees it, and no chunk buffer exceeds the input.
bool chunks_fit(const uint8_t* data, size_t size) {
  size_t at = 8;
  while (size - at >= 12) {
    const uint32_t length = uint32_t{data[at]} << 24 | uint32_t{data[at + 1]} << 16 | uint32_t{data[at + 2]} << 8 |
                            data[at + 3];
    if (length > size - at - 12) return false;
    if (std::memcmp(data + at + 4, "IEND", 4) == 0) return true;
    at += 12 + size_t{length};
  }
  return false;
}

// The largest chunk libpng may inflate, the most ancillary chunks it keeps,
// and all it may allocate for one file (PngBudget).
constexpr png_alloc_size_t kMaxMetadataChunk = png_alloc_size_t{64} << 20;
constexpr png_uint_32 kMaxAncillaryChunks = 4096;
constexpr size_t kReadBudget = size_t{256} << 20;

bool decode_png(const uint8_t* data, size_t size, Image& image, const ReadLimits& limits, PngMetadata* metadata) {
  if (!has_png_signature(data, size) || !chunks_fit(data, size)) return false;
  PngBudget budget{kReadBudget};  // outlives the owner, whose destruction frees through it
  ReadNotes notes;
  ReadOwner owner;
  owner.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &notes, on_png_error, on_png_warning, &budget,
                                       budget_malloc, budget_free);
  if (!owner.png) return false;
  owner.info = png_create_info_struct(owner.png);
  if (!owner.info) return false;
  MemoryInput input{data, size, 0};
  png_set_read_fn(owner.png, &input, read_from_memory);
  const int64_t side = std::clamp<int64_t>(limits.max_dimension, 1, 0x7FFFFFFF);
  png_set_user_limits(owner.png, static_cast<uint32_t>(side), static_cast<uint32_t>(side));
  // Metadata is carried whole: an ICC profile or XMP packet may inflate to
  // kMaxMetadataChunk (libpng's own cap is 8 MB), and the XMP may follow
  // thousands of text chunks (libpng's own count is 1000; each kept costs
  // time in proportion to those before it, hence a count at all).
  png_set_chunk_malloc_max(owner.png, kMaxMetadataChunk);
  png_set_chunk_cache_max(owner.png, kMaxAncillaryChunks);

  ReadShape shape{};
  if (!read_header(owner.png, owner.info, &shape)) return false;
  if (shape.width == 0 || shape.height == 0 || shape.width > side || shape.height > side) return false;
  if (shape.png_channels < 1 || shape.png_channels > 4) return false;
  const int stored = shape.png_channels;
  const int sample_bytes = shape.bit_depth / 8;
  if (shape.row_bytes != size_t{shape.width} * static_cast<size_t>(stored * sample_bytes)) return false;
  int channels = stored;

  // The image data inflates to at least its pixels' stored bits, and
  // deflate expands a byte to at most 1032: a file too short to hold the
  // pixels it declares is refused before its buffers exist, which bounds
  // them by the file's length.
  const uint64_t pixels = uint64_t{shape.width} * shape.height;
  if (pixels * static_cast<uint64_t>(shape.stored_bits) > uint64_t{8} * 1032 * size) return false;
  const uint64_t limit = limits.max_bytes ? limits.max_bytes : physical_memory_bytes();
  const uint64_t raster_bytes = uint64_t{shape.row_bytes} * shape.height;
  if (pixels * static_cast<uint64_t>(channels) > limit / sizeof(int32_t) ||
      raster_bytes > limit - pixels * static_cast<uint64_t>(channels) * sizeof(int32_t))
    return false;

  std::vector<uint8_t> raster;
  std::vector<png_bytep> rows;
  std::vector<int32_t> samples;
  try {
    raster.resize(raster_bytes);
    rows.resize(shape.height);
    samples.resize(pixels * static_cast<uint64_t>(channels));
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (uint32_t y = 0; y < shape.height; ++y) rows[y] = raster.data() + size_t{y} * shape.row_bytes;
  if (!read_rows(owner.png, owner.info, rows.data())) return false;

  // 16-bit samples (most significant byte first) scaled to 0..255, rounded.
  size_t out = 0;
  bool opaque = true;
  const int32_t full = sample_bytes == 2 ? 65535 : 255;
  for (uint32_t y = 0; y < shape.height; ++y) {
    const uint8_t* in = rows[y];
    for (uint32_t x = 0; x < shape.width; ++x) {
      for (int c = 0; c < stored; ++c, in += sample_bytes) {
        const int32_t value = sample_bytes == 2 ? (in[0] << 8 | in[1]) : in[0];
        samples[out++] = sample_bytes == 2 ? (value * 255 + 32767) / 65535 : value;
        if (stored % 2 == 0 && c == stored - 1 && value != full) opaque = false;
      }
    }
  }
  // An alpha channel is kept only when it changes something.
  if (stored % 2 == 0 && opaque) {
    channels = stored - 1;
    size_t kept = 0;
    for (size_t i = 0; i < samples.size(); ++i)
      if (i % static_cast<size_t>(stored) != static_cast<size_t>(stored - 1)) samples[kept++] = samples[i];
    samples.resize(kept);
  }
  if (metadata) {
    PngMetadata found;
    take_metadata(owner.png, owner.info, found);
    found.icc_invalid = notes.iccp_warned && found.icc.empty();
    *metadata = std::move(found);
  }
  image.width = static_cast<int32_t>(shape.width);
  image.height = static_cast<int32_t>(shape.height);
  image.channels = channels;
  image.samples = std::move(samples);
  image.source_maxval = full;
  return true;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool has_png_signature(const uint8_t* data, size_t size) {
  return size >= 8 && png_sig_cmp(data, 0, 8) == 0;
}

bool file_has_png_signature(const char* path) {
  File file(std::fopen(path, "rb"));
  if (!file) return false;
  uint8_t signature[8];
  return std::fread(signature, 1, sizeof signature, file.get()) == sizeof signature &&
         has_png_signature(signature, sizeof signature);
}

bool read_png_memory(const uint8_t* data, size_t size, Image& image, const ReadLimits& limits,
                     PngMetadata* metadata) {
  return decode_png(data, size, image, limits, metadata);
}

bool read_png(const char* path, Image& image, const ReadLimits& limits, PngMetadata* metadata) {
  std::vector<uint8_t> bytes;
  return read_file_bytes(path, bytes) && decode_png(bytes.data(), bytes.size(), image, limits, metadata);
}

bool write_png(const char* path, int32_t width, int32_t height, int32_t channels, const int32_t* samples,
               const PngMetadata* metadata) {
  if (channels < 1 || channels > 4 || width <= 0 || height <= 0) return false;
  static constexpr int kColourTypes[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                         PNG_COLOR_TYPE_RGB_ALPHA};
  std::vector<char> xmp;
  if (metadata && !metadata->xmp.empty()) {
    xmp.assign(metadata->xmp.begin(), metadata->xmp.end());
    xmp.push_back(0);
  }
  const size_t row_bytes = static_cast<size_t>(width) * static_cast<size_t>(channels);
  std::vector<uint8_t> raster(row_bytes * static_cast<size_t>(height));
  for (size_t i = 0; i < raster.size(); ++i) raster[i] = static_cast<uint8_t>(samples[i]);
  std::vector<png_bytep> rows(static_cast<size_t>(height));
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = raster.data() + y * row_bytes;

  File file(std::fopen(path, "wb"));
  if (!file) return false;
  bool ok = false;
  {
    WriteOwner owner;
    owner.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, on_png_error, on_png_warning);
    if (owner.png) owner.info = png_create_info_struct(owner.png);
    if (owner.info)
      ok = write_rows(owner.png, owner.info, file.get(), static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                      kColourTypes[channels - 1], rows.data(), metadata, xmp.empty() ? nullptr : xmp.data());
  }
  // A full disk may show only when the last bytes leave at the close.
  return std::fclose(file.release()) == 0 && ok;
}

bool has_png_name(const char* path) {
  const size_t length = std::strlen(path);
  if (length < 4) return false;
  const char* tail = path + length - 4;
  return tail[0] == '.' && std::tolower(static_cast<unsigned char>(tail[1])) == 'p' &&
         std::tolower(static_cast<unsigned char>(tail[2])) == 'n' &&
         std::tolower(static_cast<unsigned char>(tail[3])) == 'g';
}

}  // namespace kv
