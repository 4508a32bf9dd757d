// Derived image sizes: exact inside int32, Err::Overflow outside it, never wrapped.
#include <cstdint>

#include "check.hpp"
#include "image/sizes.hpp"

using namespace corvane;

static void test_image_sizes() {
  auto r = image_sizes(2, 2);
  CHECK(r && r.value.area == 4 && r.value.rgb_bytes == 12);
  r = image_sizes(0, 0);
  CHECK(r && r.value.area == 0 && r.value.rgb_bytes == 0);
  r = image_sizes(-1, -1);  // dimensions are not required to be positive
  CHECK(r && r.value.area == 1 && r.value.rgb_bytes == 3);
  r = image_sizes(-2, 3);
  CHECK(r && r.value.area == -6 && r.value.rgb_bytes == -18);

  // The largest supported image: width * height * 3 == 2^31 - 1.
  r = image_sizes(715827883, 1);  // 3 * 715827883 == 2147483649: one past
  CHECK(!r && r.err == Err::Overflow);
  r = image_sizes(715827882, 1);  // 2147483646
  CHECK(r && r.value.rgb_bytes == 2147483646);
  r = image_sizes(46341, 46341);  // area itself past int32
  CHECK(!r && r.err == Err::Overflow);
  r = image_sizes(INT32_MIN, 1);  // area fits, area * 3 does not
  CHECK(!r && r.err == Err::Overflow);
  r = image_sizes(INT32_MIN, -1);  // -INT32_MIN is not an int32
  CHECK(!r && r.err == Err::Overflow);
  r = image_sizes(65536, 65536);  // 2^32: wraps to 0 in 32-bit arithmetic
  CHECK(!r && r.value.area == 0 && r.value.rgb_bytes == 0);
}

static void test_rgb_offset() {
  CHECK(rgb_offset(1, 1, 2) == 9);
  CHECK(rgb_offset(0, 0, 0) == 0);
  CHECK(rgb_offset(INT32_MAX - 1, 1 << 20, INT32_MAX) == (int64_t(1 << 20) * INT32_MAX + INT32_MAX - 1) * 3);
  // Past int64: width and height can be set after the buffer was made.
  CHECK(!rgb_offset(INT32_MAX - 1, INT32_MAX - 1, INT32_MAX));
  CHECK(!rgb_offset(INT64_MAX / 2, 0, 1));
  CHECK(!rgb_offset(0, INT64_MAX / 2, 3));
}

int main() {
  test_image_sizes();
  test_rgb_offset();
  return check::finish();
}
