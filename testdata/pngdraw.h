// SPDX-License-Identifier: MIT
// Draws small pictures and encodes them as valid PNG files, with our own
// zlib "stored" (uncompressed) blocks and CRC-32. Used to make the demo
// sample and the test inputs; nothing here is part of the tool itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pngdraw {

using Bytes = std::vector<unsigned char>;

// CRC-32 (ISO-HDLC, as in PNG chunks) of n bytes, continuing from crc.
uint32_t Crc32(const unsigned char* data, size_t n, uint32_t crc = 0);

// Encodes a picture of 8-bit samples (bit depth 8, no interlace) of PNG
// colour type `color_type` (0 grey, 2 RGB, 4 grey and alpha, 6 RGBA):
// `rows` holds each row top down as its filter byte then its samples, and
// is stored as it is in a zlib stream of stored blocks, split into IDAT
// chunks of at most `idat_chunk` bytes (at least 1).
Bytes EncodeRows(uint32_t width, uint32_t height, uint8_t color_type, const Bytes& rows,
                 size_t idat_chunk = SIZE_MAX);

// Encodes an 8-bit RGB picture (width * height * 3 bytes, rows top down),
// every row unfiltered, in one IDAT chunk.
Bytes EncodeRGB(uint32_t width, uint32_t height, const Bytes& rgb);

// Draws picture number `kind` (any value; they repeat) of the given size:
// discs, stripes, checkers, gradients.
Bytes DrawRGB(unsigned kind, uint32_t width, uint32_t height);

// DrawRGB then EncodeRGB.
Bytes MakePicture(unsigned kind, uint32_t width, uint32_t height);

// A blob of junk holding `count` pictures at irregular offsets; the junk
// holds decoys the locator must not take for images (a signature without
// IHDR, the text "IEND"). ranges receives [start, end) of each picture.
struct Range {
  uint64_t start;
  uint64_t end;
};
Bytes MakeJunkWithPictures(uint32_t seed, unsigned count, std::vector<Range>* ranges);

}  // namespace pngdraw
