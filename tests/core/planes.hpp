// tests/core/planes.hpp: planes in plain vectors, for the core's tests and
// fuzz targets: what the glue's bytearrays are to the module.
#pragma once
#include <cstdint>
#include <vector>

#include "png/idat.hpp"

namespace corvane::testing {

class VectorPlanes final : public PlaneHost {
 public:
  std::vector<uint8_t> rgb, alpha, filters;
  int begun = 0;   // how many times planes were made anew
  bool whole = false;
  int64_t limit = INT64_MAX;  // rows beyond which growing fails, as memory running out would

  bool begin(const ImageLayout &l, bool make_whole, PlaneRoom &room) override {
    ++begun;
    layout_ = l;
    whole = make_whole;
    rgb.assign(make_whole ? size_t(l.sizes.rgb_bytes) : 0, 0);
    alpha.assign(make_whole && l.channels == 4 ? size_t(l.sizes.area) : 0, 0);
    filters.assign(make_whole ? size_t(l.height) : 0, 0);
    room = {rgb, alpha, filters, make_whole ? l.height : 0};
    return !make_whole || l.height <= limit;
  }
  bool grow(int64_t rows, PlaneRoom &room) override {
    if (rows > limit) return false;
    const size_t w = size_t(layout_.width);
    rgb.resize(size_t(rows) * w * 3);
    if (layout_.channels == 4) alpha.resize(size_t(rows) * w);
    filters.resize(size_t(rows));
    room = {rgb, alpha, filters, rows};
    return true;
  }

 private:
  ImageLayout layout_;
};

}  // namespace corvane::testing
