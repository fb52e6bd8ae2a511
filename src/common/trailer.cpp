#include "common/trailer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace kv {

namespace {

uint32_t get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A chunk header's type, as chunk_type() spells it.
uint32_t type_at(const uint8_t* head) {
  return uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 | uint32_t{head[2]} << 8 | head[3];
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

bool known_type(uint32_t type) {
  return type == kChunkAlpha || type == kChunkIcc || type == kChunkExif || type == kChunkXmp;
}

std::string type_name(uint32_t type) {
  std::string name;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>(type >> shift);
    name += c >= 32 && c < 127 ? c : '?';
  }
  return name;
}

std::string format_line(const char* format, unsigned long long a, unsigned long long b = 0) {
  char line[160];
  std::snprintf(line, sizeof line, format, a, b);
  return line;
}

}  // namespace

uint32_t crc32(const uint8_t* data, size_t size) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

const std::vector<uint8_t>* TrailerView::find(uint32_t type) const {
  for (const TrailerChunk& chunk : chunks)
    if (chunk.type == type) return &chunk.payload;
  return nullptr;
}

std::vector<uint8_t> format_trailer(const std::vector<TrailerChunk>& chunks) {
  std::vector<uint8_t> out;
  if (chunks.empty()) return out;
  for (const TrailerChunk& chunk : chunks) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(chunk.type >> shift));
    out.push_back(chunk.version);
    out.insert(out.end(), 3, 0);
    put32(out, static_cast<uint32_t>(chunk.payload.size()));
    out.insert(out.end(), chunk.payload.begin(), chunk.payload.end());
  }
  const uint32_t length = static_cast<uint32_t>(out.size());
  const uint32_t check = crc32(out.data(), out.size());
  put32(out, length);
  put32(out, check);
  out.push_back(kTrailerVersion);
  out.insert(out.end(), 3, 0);
  out.insert(out.end(), kTrailerMagic, kTrailerMagic + 8);
  return out;
}

bool holds_alpha_chunk_header(const uint8_t* data, size_t size) {
  const uint8_t header[8] = {'A', 'L', 'P', 'H', kChunkVersion, 0, 0, 0};
  return std::search(data, data + size, std::begin(header), std::end(header)) != data + size;
}

size_t trailer_bytes_from_footer(const uint8_t* footer, uint64_t file_size) {
  if (file_size < kFooterBytes || std::memcmp(footer + 12, kTrailerMagic, 8) != 0) return kFooterBytes;
  const uint64_t length = get32(footer);
  return length <= file_size - kFooterBytes ? static_cast<size_t>(length) + kFooterBytes : kFooterBytes;
}

TrailerView read_trailer(const uint8_t* data, size_t size) {
  TrailerView view;
  view.image_bytes = size;
  if (size < kFooterBytes) return view;
  const uint8_t* footer = data + size - kFooterBytes;
  if (std::memcmp(footer + 12, kTrailerMagic, 8) != 0) return view;
  view.present = true;
  const size_t length = get32(footer);
  if (length > size - kFooterBytes) {
    view.warnings.push_back(format_line("Damaged trailer: it claims %llu bytes, more than the file holds; ignored.", length));
    return view;
  }
  const size_t start = size - kFooterBytes - length;
  const uint8_t* area = data + start;
  if (footer[8] != kTrailerVersion) {
    view.image_bytes = start;
    view.warnings.push_back(format_line("Trailer version %llu is not understood; ignored.", footer[8]));
    return view;
  }
  if (crc32(area, length) != get32(footer + 4)) {
    // Nothing in the chunks can be trusted, but whether they held an alpha
    // plane tells the caller that the image lost it.
    for (size_t position = 0; length - position >= kChunkHeaderBytes;) {
      const uint8_t* head = area + position;
      if (type_at(head) == kChunkAlpha) view.alpha_damaged = true;
      const size_t payload = get32(head + 8);
      if (payload > length - position - kChunkHeaderBytes) break;
      position += kChunkHeaderBytes + payload;
    }
    view.warnings.push_back(view.alpha_damaged
                                ? "Damaged trailer: its checksum does not match; ignored, its alpha plane with it."
                                : "Damaged trailer: its checksum does not match; ignored.");
    return view;
  }
  view.image_bytes = start;
  size_t position = 0;
  while (position < length) {
    if (length - position < kChunkHeaderBytes) {
      view.warnings.push_back(format_line("Damaged trailer: %llu stray bytes at its end; ignored.", length - position));
      break;
    }
    const uint8_t* head = area + position;
    const uint32_t type = type_at(head);
    const uint8_t version = head[4];
    const size_t payload = get32(head + 8);
    position += kChunkHeaderBytes;
    if (payload > length - position) {
      view.warnings.push_back("Damaged trailer: chunk " + type_name(type) +
                              format_line(" claims %llu bytes, %llu remain; it and what follows are ignored.",
                                          payload, length - position));
      break;
    }
    if (known_type(type)) {
      if (version != kChunkVersion) {
        view.warnings.push_back("Trailer chunk " + type_name(type) +
                                format_line(" has version %llu, which is not understood; skipped.", version));
      } else if (view.find(type)) {
        view.warnings.push_back("Trailer chunk " + type_name(type) + " repeated; the first is kept.");
      } else {
        view.chunks.push_back(TrailerChunk{type, version, std::vector<uint8_t>(area + position, area + position + payload)});
      }
    }
    position += payload;
  }
  return view;
}

}  // namespace kv
