// The optional trailer after a coded image: typed chunks (alpha, ICC
// profile, EXIF, XMP) followed by a fixed footer, so that a reader finds it
// from the end of the file without decoding the image. The coded image
// before it is unchanged; a decoder of the image alone reads the same image
// whatever follows it, so a file with a trailer is still a valid stream.
//
// Layout (docs/format.md), all numbers little-endian:
//   chunk*   type (4 ASCII bytes), version (1 byte), 3 reserved bytes (0),
//            payload length (32 bits), payload
//   footer   chunk bytes L (32 bits), CRC-32 of the L chunk bytes (32 bits),
//            trailer version (1 byte, kTrailerVersion), 3 reserved bytes (0),
//            the 8 bytes of kTrailerMagic
// Every function here works on bytes alone and never reads outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv {

constexpr uint32_t chunk_type(const char (&name)[5]) {
  return uint32_t{static_cast<uint8_t>(name[0])} << 24 | uint32_t{static_cast<uint8_t>(name[1])} << 16 |
         uint32_t{static_cast<uint8_t>(name[2])} << 8 | uint32_t{static_cast<uint8_t>(name[3])};
}

// Payloads of version 1: ALPH a complete one-channel stream of the image's
// width and height, the alpha plane; ICCP an ICC profile; EXIF an EXIF block
// (from the TIFF header on, as PNG's eXIf carries it); XMP an XMP packet.
inline constexpr uint32_t kChunkAlpha = chunk_type("ALPH");
inline constexpr uint32_t kChunkIcc = chunk_type("ICCP");
inline constexpr uint32_t kChunkExif = chunk_type("EXIF");
inline constexpr uint32_t kChunkXmp = chunk_type("XMP ");
inline constexpr uint8_t kChunkVersion = 1;

inline constexpr uint8_t kTrailerVersion = 1;
inline constexpr char kTrailerMagic[9] = "KV2TRAIL";
inline constexpr size_t kFooterBytes = 20;
inline constexpr size_t kChunkHeaderBytes = 12;

struct TrailerChunk {
  uint32_t type = 0;
  uint8_t version = kChunkVersion;
  std::vector<uint8_t> payload;
};

// What a file's end holds.
struct TrailerView {
  // Bytes of the coded image: everything before the trailer, or the whole
  // input when no trailer was found or its footer cannot be trusted.
  size_t image_bytes = 0;
  bool present = false;  // a footer with the magic ends the input
  // The chunks of known type and version 1, in file order, the first of
  // each type only.
  std::vector<TrailerChunk> chunks;
  // One line each, without a newline: what was damaged or ignored.
  std::vector<std::string> warnings;
  // The chunks were left out for a checksum that does not match, and their
  // headers, read as they stand, name an alpha plane: the image had alpha.
  bool alpha_damaged = false;

  // The payload of the chunk of this type, or null.
  const std::vector<uint8_t>* find(uint32_t type) const;
};

// The chunks (each payload below 4 GiB) and the footer, to append to a
// coded image. Empty when there are no chunks: a file without chunks has no
// trailer.
std::vector<uint8_t> format_trailer(const std::vector<TrailerChunk>& chunks);

// Reads the trailer that ends data[0, size). Never fails: damage gives a
// warning and leaves out what it touches (a bad footer or checksum all the
// chunks, a chunk overrunning the trailer that chunk and those after it).
TrailerView read_trailer(const uint8_t* data, size_t size);

// How far before and after the decoder's last byte read a trailer cut short
// may begin: the range decoder reads a few bytes ahead of the coded image's end.
inline constexpr size_t kTrailerStartSlack = 16;
// Whether data[0, size) holds the header of an alpha chunk (type, version 1,
// reserved zeros): a file whose trailer lost its footer still shows that the
// image had alpha.
bool holds_alpha_chunk_header(const uint8_t* data, size_t size);

// The bytes a reader needs from a file's end to read its trailer, given the
// footer (the file's last kFooterBytes bytes): the footer alone when it
// carries no usable length.
size_t trailer_bytes_from_footer(const uint8_t* footer, uint64_t file_size);

// CRC-32 as in PNG and zlib (reflected polynomial 0xEDB88320).
uint32_t crc32(const uint8_t* data, size_t size);

}  // namespace kv
