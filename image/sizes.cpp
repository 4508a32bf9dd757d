// image/sizes.cpp: checked size arithmetic for the image record.
#include "image/sizes.hpp"

namespace corvane {

Result<ImageSizes> image_sizes(int32_t width, int32_t height) {
  Result<ImageSizes> r;
  if (!mul_i32(width, height, &r.value.area) || !mul_i32(r.value.area, 3, &r.value.rgb_bytes)) {
    r.value = {};
    r.err = Err::Overflow;
  }
  return r;
}

std::optional<int64_t> rgb_offset(int64_t x, int64_t y, int64_t width) {
  int64_t row, at, offset;
  if (__builtin_mul_overflow(y, width, &row) || __builtin_add_overflow(row, x, &at) ||
      __builtin_mul_overflow(at, int64_t{3}, &offset))
    return std::nullopt;
  return offset;
}

}  // namespace corvane
