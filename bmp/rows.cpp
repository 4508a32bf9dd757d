// bmp/rows.cpp: BMP row sizes and the BGR <-> RGB row copies.
#include "bmp/rows.hpp"

#include <algorithm>
#include <cstring>
#if defined(CORVANE_SIMD) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

namespace corvane {
namespace {

// Swaps the outer bytes of each 3-byte pixel; the same copy serves both
// directions, RGB <-> BGR.
void swap_rb_scalar(const uint8_t *src, uint8_t *dst, size_t pixels) {
  for (size_t i = 0; i < 3 * pixels; i += 3) {
    dst[i] = src[i + 2];
    dst[i + 1] = src[i + 1];
    dst[i + 2] = src[i];
  }
}

#if defined(CORVANE_SIMD) && (defined(__x86_64__) || defined(__i386__))
// Five pixels a step with one byte shuffle: 16 bytes are loaded and stored,
// the 16th (the next pixel's first byte) rewritten by the step after, so a
// step runs only while 16 bytes remain on both sides; the scalar loop ends it.
[[gnu::target("ssse3")]] void swap_rb_ssse3(const uint8_t *src, uint8_t *dst, size_t pixels) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  size_t p = 0;
  for (; 3 * p + 16 <= 3 * pixels; p += 5) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * p));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 3 * p), _mm_shuffle_epi8(v, order));
  }
  swap_rb_scalar(src + 3 * p, dst + 3 * p, pixels - p);
}

void swap_rb(const uint8_t *src, uint8_t *dst, size_t pixels) {
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) swap_rb_ssse3(src, dst, pixels);
  else swap_rb_scalar(src, dst, pixels);
}
#else
void swap_rb(const uint8_t *src, uint8_t *dst, size_t pixels) { swap_rb_scalar(src, dst, pixels); }
#endif

}  // namespace

Result<BmpSizes> bmp_sizes(int32_t width, int32_t height) {
  Result<BmpSizes> r;
  BmpSizes &v = r.value;
  int32_t line;
  if (!mul_i32(width, 3, &line) || line > kI32Max - 3) {
    r.err = Err::Overflow;
    return r;
  }
  // Clearing the low two bits of a two's-complement value rounds it down to a
  // multiple of 4, which is floor division for negatives too.
  v.stride = (line + 3) & ~int32_t{3};
  v.pad = v.stride - line;
  if (!mul_i32(v.stride, height, &v.pixel_bytes) || v.pixel_bytes > kI32Max - 54) {
    r.value = {};
    r.err = Err::Overflow;
    return r;
  }
  v.file_bytes = 54 + v.pixel_bytes;
  return r;
}

Err bmp_decode_row(std::span<const uint8_t> stored, std::span<uint8_t> rgb) {
  if (rgb.size() % 3 != 0 || stored.size() < rgb.size()) return Err::BadLength;
  if (!rgb.empty()) swap_rb(stored.data(), rgb.data(), rgb.size() / 3);
  return Err::Ok;
}

void bmp_decode_rows(std::span<const uint8_t> stored, size_t first, size_t count, size_t rows, size_t stride,
                     size_t row_bytes, bool bottom_up, uint8_t *plane) {
  for (size_t k = 0; k < count; ++k) {
    const size_t i = first + k, y = bottom_up ? rows - 1 - i : i;
    bmp_decode_row(stored.subspan(k * stride, stride), {plane + y * row_bytes, row_bytes});
  }
}

Result<size_t> bmp_encode_pixels(std::span<const uint8_t> rgb, int32_t width, int32_t height,
                                 std::span<uint8_t> out) {
  Result<BmpSizes> s = bmp_sizes(width, height);
  if (!s) return {0, s.err};
  if (width < 0 || height < 0 || out.size() != size_t(s.value.pixel_bytes))
    return {0, Err::BadLength};
  const size_t w = size_t(width), h = size_t(height), line = 3 * w;
  const size_t stride = size_t(s.value.stride), pad = size_t(s.value.pad);
  if (rgb.size() < line * h) {  // line * h <= pixel_bytes: no wrap
    // The bottom row is written first and lies last in rgb, so it is where
    // a short buffer runs out.
    const size_t start = (h - 1) * line;
    const size_t whole = rgb.size() > start ? (rgb.size() - start) / 3 : 0;
    if (whole) swap_rb(rgb.data() + start, out.data(), whole);
    return {3 * whole, Err::BadLength};
  }
  if (w == 0) return {out.size()};  // every row is empty; out is too
  uint8_t *dst = out.data();
  for (size_t y = h; y-- > 0; dst += stride) {
    swap_rb(rgb.data() + y * line, dst, w);
    std::memset(dst + line, 0, pad);
  }
  return {out.size()};
}

void flip_rows(std::span<uint8_t> plane, size_t row_bytes) {
  if (row_bytes == 0) return;
  size_t rows = plane.size() / row_bytes;
  for (size_t top = 0, bottom = rows ? rows - 1 : 0; top < bottom; ++top, --bottom)
    std::swap_ranges(plane.begin() + top * row_bytes, plane.begin() + (top + 1) * row_bytes,
                     plane.begin() + bottom * row_bytes);
}

}  // namespace corvane
