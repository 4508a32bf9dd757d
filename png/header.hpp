// png/header.hpp: a PNG's IHDR as the decoder holds and checks it, and the
// layout of the planes a header that passes gives. No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/result.hpp"
#include "png/scanline.hpp"

namespace corvane {

// The seven IHDR values (width, height, bit depth, colour type, compression,
// filter and interlace method) as signed 32-bit integers, each -1 until a
// header is read.
struct PngHeader {
  int32_t v[7] = {-1, -1, -1, -1, -1, -1, -1};
  int32_t width() const { return v[0]; }
  int32_t height() const { return v[1]; }
};

// IHDR data read as native code reads it: false for data that is not 13
// bytes or a width or height of 2^31 or more, which the glue refuses in the
// host's words (its struct and its int conversion).
bool parse_ihdr(std::span<const uint8_t> data, PngHeader &out);

// What a checked header decodes to.
struct ImageLayout {
  int32_t width = 0;  // 0 when there are no rows, however wide they would be
  int32_t height = 0;
  int channels = 3;
  PngSizes sizes;
  // The scanline stream's length: one type byte and width x channels bytes a row.
  size_t expected() const { return size_t(sizes.raw_bytes); }
};

// The decoder's checks on a header, in their order (NoHeader, BitDepth,
// ColourType, Configuration), then its sizes (Overflow).
Failure check_header(const PngHeader &h, ImageLayout &out);

}  // namespace corvane
