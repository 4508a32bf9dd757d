// image/sizes.hpp: the derived sizes of a width x height RGB image and the
// byte offset of a pixel. Dimensions are int32 and may be negative (only the
// lengths derived from them are checked against buffers); every derived size
// must itself fit int32, or the result is Err::Overflow. Never allocates.
#pragma once
#include <cstdint>
#include <optional>

#include "image/result.hpp"

namespace corvane {

struct ImageSizes {
  int32_t area = 0;       // width * height
  int32_t rgb_bytes = 0;  // area * 3
};

Result<ImageSizes> image_sizes(int32_t width, int32_t height);

// Offset of the first byte of pixel (x, y) in a row-major RGB buffer:
// (y * width + x) * 3. Callers have already checked 0 <= x < width and
// 0 <= y < height, but width and height may have been changed since the
// buffer was made, so the product can exceed what the buffer (or int64)
// holds; nullopt then, and the caller takes its slow, host-checked path.
std::optional<int64_t> rgb_offset(int64_t x, int64_t y, int64_t width);

}  // namespace corvane
