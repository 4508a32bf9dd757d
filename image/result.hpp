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
  BadFilter,  // a PNG row filter type above 4; detail holds the type
  BadLength,  // a span's length (or a channel count) disagrees with the
              // dimensions passed with it; the glue checks lengths first, so
              // only the BMP writer's short pixel buffer reaches users
  // A chunk cut short or damaged, in the order _readChunk finds them.
  EofLength,
  EofType,
  EofData,
  EofCrc,
  BadCrc,
  // An IHDR the decoder refuses, in the order it checks.
  NoHeader,
  BitDepth,
  ColourType,
  Configuration,
  Malformed,  // image data that inflates to more or fewer bytes than the header needs
  Zlib,       // the zlib stream was refused: detail is zlib's code (an int), text its message, if any
  Io,         // the system refused a read: detail is the errno it gave
  NoMemory,
};

// An error and where it was found. `text` is a static string (zlib's messages
// are), never owned.
struct Failure {
  Err err = Err::Ok;
  size_t at = 0;        // byte offset in the input where the error was found
  uint32_t detail = 0;  // the offending value, when the message shows it
  const char *text = nullptr;
  explicit operator bool() const { return err == Err::Ok; }
};

template <class T>
struct Result {
  T value{};
  Err err = Err::Ok;
  size_t at = 0;
  uint32_t detail = 0;
  explicit operator bool() const { return err == Err::Ok; }
  Failure failure() const { return {err, at, detail, nullptr}; }
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
