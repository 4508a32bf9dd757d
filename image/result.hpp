// image/result.hpp: the one error type of the byte-level core, and checked
// arithmetic on the signed 32-bit sizes that every format works in.
// No Python here: module/errors.cpp alone turns an Err into an exception.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>

namespace corvane {

enum class Err : uint8_t {
  Ok,
  Overflow,   // a size derived from a header or argument leaves int32
  BadFilter,  // a PNG row filter type above 4; Result::detail holds the type
  BadLength,  // a span's length (or a channel count) disagrees with the
              // dimensions passed with it; the glue checks lengths first, so
              // only the BMP writer's short pixel buffer reaches users
};

template <class T>
struct Result {
  T value{};
  Err err = Err::Ok;
  size_t at = 0;  // byte offset in the input where the error was found
  uint32_t detail = 0;  // the offending value, when the message shows it
  explicit operator bool() const { return err == Err::Ok; }
};

inline constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();
inline constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();

constexpr bool fits_i32(int64_t v) { return v >= kI32Min && v <= kI32Max; }

// a * b as int32; false when the product leaves the int32 range.
constexpr bool mul_i32(int32_t a, int32_t b, int32_t *out) {
  int64_t r = int64_t(a) * int64_t(b);  // exact: |a*b| < 2^62
  if (!fits_i32(r)) return false;
  *out = int32_t(r);
  return true;
}

}  // namespace corvane
