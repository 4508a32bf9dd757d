// png/header.cpp: the IHDR checks of png/header.hpp.
#include "png/header.hpp"

namespace corvane {

bool parse_ihdr(std::span<const uint8_t> d, PngHeader &out) {
  if (d.size() != 13) return false;
  const uint32_t w = uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | d[3];
  const uint32_t h = uint32_t(d[4]) << 24 | uint32_t(d[5]) << 16 | uint32_t(d[6]) << 8 | d[7];
  if (w > uint32_t(kI32Max) || h > uint32_t(kI32Max)) return false;
  out.v[0] = int32_t(w);
  out.v[1] = int32_t(h);
  for (int i = 2; i < 7; ++i) out.v[i] = d[size_t(6 + i)];
  return true;
}

Failure check_header(const PngHeader &h, ImageLayout &out) {
  for (int32_t x : h.v)
    if (x == -1) return {Err::NoHeader};
  if (h.v[2] != 8) return {Err::BitDepth};
  if (h.v[3] != 2 && h.v[3] != 6) return {Err::ColourType};
  if (h.v[4] != 0 || h.v[5] != 0 || h.v[6] != 0) return {Err::Configuration};
  ImageLayout l;
  l.channels = h.v[3] == 2 ? 3 : 4;
  l.height = h.height();
  l.width = h.height() == 0 ? 0 : h.width();
  const Result<PngSizes> sizes = png_sizes(l.width, l.height, l.channels);
  if (!sizes) return sizes.failure();
  l.sizes = sizes.value;
  out = l;
  return {};
}

}  // namespace corvane
