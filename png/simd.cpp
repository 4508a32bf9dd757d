// png/simd.cpp: SSSE3 row loops for unfilter_image, with an SSE4.1 Paeth.
// Sub, Average and Paeth carry each pixel into the next, so they work one
// pixel at a time in one register, and what bounds them is the latency of
// the operations between a pixel and the next; the steps below are arranged
// to keep that path short. Sub's carry is only an add, so it is resolved with
// in-register running sums over 5 (3 channels) or 4 (4 channels) pixels at
// once. Only functions that touch vectors carry a target attribute, so the
// rest of the build stays baseline x86-64, and they are entered only after
// cpu_level() has seen the CPU run them.
#include "png/simd.hpp"

#if CORVANE_HAVE_SIMD
#include <immintrin.h>

#include <cstring>

#define CORVANE_SSSE3 __attribute__((target("ssse3")))
#define CORVANE_SSE41 __attribute__((target("sse4.1")))

namespace corvane::simd {
namespace {

enum : uint8_t { kNone, kSub, kUp, kAverage, kPaeth };

// A pixel travels between memory and the vector loops as 4 bytes in a
// general register, lowest channel in the lowest byte (x86 is little-endian).
inline uint32_t load4(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint32_t load3(const uint8_t *p) {
  uint16_t lo;
  std::memcpy(&lo, p, 2);
  return lo | uint32_t(p[2]) << 16;
}
inline void store4(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void store3(uint8_t *p, uint32_t v) {
  const uint16_t lo = uint16_t(v);
  std::memcpy(p, &lo, 2);
  p[2] = uint8_t(v >> 16);
}

// Pixel access for 3 channels: the row and the row above are runs of the
// RGB plane. A pixel that is not the row's last moves 4 bytes, the 4th being
// the next pixel's first: loops keep channels in separate lanes, so a loaded
// 4th byte only ever reaches the 4th byte stored, which the next pixel then
// overwrites. The last pixel moves exactly 3, so nothing leaves the row.
template <bool HasUp>
struct Rgb {
  const uint8_t *filt;
  uint8_t *out;
  const uint8_t *up;

  template <bool Last>
  uint32_t f(size_t x) const {
    return Last ? load3(filt + 3 * x) : load4(filt + 3 * x);
  }
  template <bool Last>
  uint32_t b(size_t x) const {
    if constexpr (!HasUp) return 0;
    else return Last ? load3(up + 3 * x) : load4(up + 3 * x);
  }
  template <bool Last>
  void put(size_t x, uint32_t v) const {
    if constexpr (Last) store3(out + 3 * x, v);
    else store4(out + 3 * x, v);
  }
};

// Pixel access for 4 channels: filtered pixels are RGBA, the planes split
// them. The row above is gathered into RGBA and the result scattered back in
// the same pass, RGB bytes written as for Rgb and alpha on its own. That ran
// 1-14% faster on Average and Paeth rows than reconstructing 256 pixels at a
// time into an RGBA buffer and splitting it with shuffles.
template <bool HasUp>
struct Rgba {
  const uint8_t *filt;
  uint8_t *rgb, *alpha;
  const uint8_t *up_rgb, *up_alpha;

  template <bool>
  uint32_t f(size_t x) const {
    return load4(filt + 4 * x);
  }
  template <bool Last>
  uint32_t b(size_t x) const {
    if constexpr (!HasUp) return 0;
    else {
      const uint32_t c3 = Last ? load3(up_rgb + 3 * x) : load4(up_rgb + 3 * x) & 0xFFFFFFu;
      return c3 | uint32_t(up_alpha[x]) << 24;
    }
  }
  template <bool Last>
  void put(size_t x, uint32_t v) const {
    if constexpr (Last) store3(rgb + 3 * x, v);
    else store4(rgb + 3 * x, v);
    alpha[x] = uint8_t(v >> 24);
  }
};

// The per-pixel steps: given the filtered pixel f and the pixel above b,
// return the reconstructed pixel and keep what the next pixel needs.
struct SubStep {
  __m128i a;
  CORVANE_SSSE3 uint32_t operator()(uint32_t f, uint32_t) {
    a = _mm_add_epi8(a, _mm_cvtsi32_si128(int(f)));
    return uint32_t(_mm_cvtsi128_si32(a));
  }
};

struct UpStep {
  CORVANE_SSSE3 uint32_t operator()(uint32_t f, uint32_t b) {
    const __m128i sum = _mm_add_epi8(_mm_cvtsi32_si128(int(f)), _mm_cvtsi32_si128(int(b)));
    return uint32_t(_mm_cvtsi128_si32(sum));
  }
};

// Average keeps the complement of the left pixel, A = ~a: PNG's floor of
// (a + b) / 2 is ~pavgb(~a, ~b), since pavgb rounds up, and then the next
// complement is ~(f + ~pavgb(A, ~b)) = pavgb(A, ~b) - f, two operations
// between one pixel and the next.
struct AverageStep {
  __m128i na;
  CORVANE_SSSE3 uint32_t operator()(uint32_t f, uint32_t b) {
    const __m128i ones = _mm_set1_epi8(-1);
    const __m128i nb = _mm_xor_si128(_mm_cvtsi32_si128(int(b)), ones);
    na = _mm_sub_epi8(_mm_avg_epu8(na, nb), _mm_cvtsi32_si128(int(f)));
    return uint32_t(_mm_cvtsi128_si32(_mm_xor_si128(na, ones)));
  }
};

// Paeth in 16-bit lanes, since a + b - c spans -255..510. With a, b, c
// zero-extended, pa = |b - c|, pb = |a - c| and pc = |(a - c) + (b - c)|.
// The filtered pixel is added to each candidate before the choice, so the
// adds to b and c stay off the path from one pixel to the next; the two
// steps differ only in how they select, SSE4.1's blend taking one operation
// where SSSE3 takes three.
struct PaethPick {
  __m128i fa, fb, fc;  // the candidates plus the filtered pixel
  __m128i take_c;      // lanes where c is nearer than b (ties go to b)
  __m128i not_a;       // lanes where a is not the nearest (ties go to a)
};

CORVANE_SSSE3 inline PaethPick paeth_pick(__m128i a, __m128i b, __m128i c, uint32_t f32) {
  const __m128i f = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(f32)), _mm_setzero_si128());
  // High bytes are 0 in both terms, so byte adds wrap mod 256 and leave the
  // lanes zero-extended.
  PaethPick p{_mm_add_epi8(f, a), _mm_add_epi8(f, b), _mm_add_epi8(f, c), {}, {}};
  const __m128i d = _mm_sub_epi16(b, c), e = _mm_sub_epi16(a, c);
  const __m128i pa = _mm_abs_epi16(d), pb = _mm_abs_epi16(e);
  const __m128i pc = _mm_abs_epi16(_mm_add_epi16(d, e));
  p.take_c = _mm_cmpgt_epi16(pb, pc);
  p.not_a = _mm_cmpgt_epi16(pa, _mm_min_epi16(pb, pc));
  return p;
}

template <bool Blend>
struct PaethStep {
  __m128i a, c;
  uint32_t operator()(uint32_t f, uint32_t b);
};

template <>
CORVANE_SSSE3 inline uint32_t PaethStep<false>::operator()(uint32_t f, uint32_t b32) {
  const __m128i b = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(b32)), _mm_setzero_si128());
  const PaethPick p = paeth_pick(a, b, c, f);
  const __m128i bc = _mm_or_si128(_mm_andnot_si128(p.take_c, p.fb), _mm_and_si128(p.take_c, p.fc));
  a = _mm_or_si128(_mm_andnot_si128(p.not_a, p.fa), _mm_and_si128(p.not_a, bc));
  c = b;
  return uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(a, a)));
}

template <>
CORVANE_SSE41 inline uint32_t PaethStep<true>::operator()(uint32_t f, uint32_t b32) {
  const __m128i b = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(b32)), _mm_setzero_si128());
  const PaethPick p = paeth_pick(a, b, c, f);
  a = _mm_blendv_epi8(p.fa, _mm_blendv_epi8(p.fb, p.fc, p.take_c), p.not_a);
  c = b;
  return uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(a, a)));
}

// Pixels x .. width - 1 through `step`; x < width.
template <class Io, class Step>
CORVANE_SSSE3 void run(Io io, size_t x, size_t width, Step step) {
  for (; x + 1 < width; ++x)
    io.template put<false>(x, step(io.template f<false>(x), io.template b<false>(x)));
  io.template put<true>(x, step(io.template f<true>(x), io.template b<true>(x)));
}

// Paeth's rows for SSE4.1: run's loop, compiled for the step it calls.
template <class Io>
CORVANE_SSE41 void paeth_sse41(Io io, size_t width) {
  PaethStep<true> step{_mm_setzero_si128(), _mm_setzero_si128()};
  size_t x = 0;
  for (; x + 1 < width; ++x)
    io.template put<false>(x, step(io.template f<false>(x), io.template b<false>(x)));
  io.template put<true>(x, step(io.template f<true>(x), io.template b<true>(x)));
}

template <bool Sse41, class Io>
CORVANE_SSSE3 void paeth(Io io, size_t width) {
  if constexpr (Sse41) paeth_sse41(io, width);
  else run(io, 0, width, PaethStep<false>{_mm_setzero_si128(), _mm_setzero_si128()});
}

// Sub over 5 pixels of 3 bytes at once: shifting the block left by 1, 2 and
// 4 pixels and adding turns it into its running sums, and the previous
// block's last pixel, repeated over the 5 slots, carries in. The carry moves
// on by the block's own last sum, one add from block to block, rather than
// being taken from the finished block, which would put a shuffle on that
// path too. Each block reads and writes 16 bytes at 3x, the 16th belonging to
// the next pixel, which is written after it, so blocks stop 16 bytes before
// the row's end.
CORVANE_SSSE3 void sub3(const uint8_t *filt, uint8_t *out, size_t width) {
  const __m128i last =
      _mm_setr_epi8(12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 15);
  __m128i carry = _mm_setzero_si128();
  size_t x = 0;
  for (; 3 * x + 16 <= 3 * width; x += 5) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(filt + 3 * x));
    v = _mm_add_epi8(v, _mm_slli_si128(v, 3));
    v = _mm_add_epi8(v, _mm_slli_si128(v, 6));
    v = _mm_add_epi8(v, _mm_slli_si128(v, 12));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 3 * x), _mm_add_epi8(v, carry));
    carry = _mm_add_epi8(carry, _mm_shuffle_epi8(v, last));
  }
  if (x < width) run(Rgb<false>{filt, out, nullptr}, x, width, SubStep{carry});
}

// 4 pixels in split order (12 RGB bytes, then 4 alpha bytes) to the planes.
// Wide, the RGB store takes 16 bytes, the last 4 landing on the next pixels'
// RGB, which the next block overwrites; so only a block followed by 2 more
// pixels in the row may be wide. Otherwise every byte is placed exactly.
template <bool Wide>
CORVANE_SSSE3 void put_split(__m128i v, uint8_t *rgb, uint8_t *alpha) {
  if constexpr (Wide) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(rgb), v);
  } else {
    _mm_storel_epi64(reinterpret_cast<__m128i *>(rgb), v);
    store4(rgb + 8, uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(v, 8))));
  }
  store4(alpha, uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(v, 12))));
}

// 4 pixels of the planes, in split order.
CORVANE_SSSE3 __m128i gather_split(const uint8_t *rgb, const uint8_t *alpha) {
  const __m128i tail = _mm_unpacklo_epi32(_mm_cvtsi32_si128(int(load4(rgb + 8))),
                                          _mm_cvtsi32_si128(int(load4(alpha))));
  return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(rgb)), tail);
}

// 4 channels, 4 pixels at a time from x while x + 4 + (Wide ? 2 : 0) <= width:
// None and Up split the filtered RGBA and add the gathered row above, Sub
// takes running sums as sub3 does, carrying in and out through `carry`.
template <uint8_t T, bool HasUp, bool Wide>
CORVANE_SSSE3 size_t blocks4(const Rgba<HasUp> &io, size_t x, size_t width, __m128i &carry_io) {
  __m128i carry = carry_io;
  const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15);
  const uint8_t *filt = io.filt, *up_rgb = io.up_rgb, *up_alpha = io.up_alpha;
  uint8_t *rgb = io.rgb, *alpha = io.alpha;
  for (; x + (Wide ? 6 : 4) <= width; x += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(filt + 4 * x));
    if constexpr (T == kSub) {
      v = _mm_add_epi8(v, _mm_slli_si128(v, 4));
      v = _mm_add_epi8(v, _mm_slli_si128(v, 8));
      const __m128i last = _mm_shuffle_epi32(v, 0xFF);
      v = _mm_add_epi8(v, carry);
      carry = _mm_add_epi8(carry, last);
    }
    v = _mm_shuffle_epi8(v, order);
    if constexpr (T == kUp && HasUp)
      v = _mm_add_epi8(v, gather_split(up_rgb + 3 * x, up_alpha + x));
    put_split<Wide>(v, rgb + 3 * x, alpha + x);
  }
  carry_io = carry;
  return x;
}

template <uint8_t T, bool HasUp>
CORVANE_SSSE3 void row4_blocks(Rgba<HasUp> io, size_t width) {
  __m128i carry = _mm_setzero_si128();
  size_t x = blocks4<T, HasUp, true>(io, 0, width, carry);
  x = blocks4<T, HasUp, false>(io, x, width, carry);
  if (x == width) return;
  if constexpr (T == kSub) run(io, x, width, SubStep{carry});
  else if constexpr (T == kUp && HasUp) run(io, x, width, UpStep{});
  else run(io, x, width, [](uint32_t f, uint32_t) { return f; });
}

template <bool HasUp, bool Sse41>
CORVANE_SSSE3 void row4(uint8_t type, const uint8_t *filt, uint8_t *rgb, uint8_t *alpha,
                        size_t width) {
  const Rgba<HasUp> io{filt, rgb, alpha, HasUp ? rgb - 3 * width : nullptr,
                       HasUp ? alpha - width : nullptr};
  switch (type) {
    case kNone: return row4_blocks<kNone>(io, width);
    case kSub: return row4_blocks<kSub>(io, width);
    case kUp: return row4_blocks<kUp>(io, width);
    case kAverage: return run(io, 0, width, AverageStep{_mm_set1_epi8(-1)});
    default:
      // With zeros above, Paeth always picks a, the left pixel: Sub.
      if constexpr (HasUp) return paeth<Sse41>(io, width);
      else return row4_blocks<kSub>(io, width);
  }
}

template <bool HasUp, bool Sse41>
CORVANE_SSSE3 void row3(uint8_t type, const uint8_t *filt, uint8_t *out, size_t width) {
  const uint8_t *up = HasUp ? out - 3 * width : nullptr;
  const Rgb<HasUp> io{filt, out, up};
  const size_t n = 3 * width;
  switch (type) {
    case kUp:
      if constexpr (HasUp) {
        // Nothing carries along the row: a flat loop the compiler vectorises.
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(filt[i] + up[i]);
        return;
      }
      [[fallthrough]];
    case kNone: std::memcpy(out, filt, n); return;
    case kSub: return sub3(filt, out, width);
    case kAverage: return run(io, 0, width, AverageStep{_mm_set1_epi8(-1)});
    default:
      if constexpr (HasUp) return paeth<Sse41>(io, width);
      else return sub3(filt, out, width);  // as for row4
  }
}

template <bool Sse41>
void unfilter_row(uint8_t type, int channels, const uint8_t *filt, uint8_t *rgb, uint8_t *alpha,
                  size_t y, size_t width) {
  uint8_t *out = rgb + y * width * 3;
  if (channels == 3) {
    if (y == 0) row3<false, Sse41>(type, filt, out, width);
    else row3<true, Sse41>(type, filt, out, width);
    return;
  }
  uint8_t *out_alpha = alpha + y * width;
  if (y == 0) row4<false, Sse41>(type, filt, out, out_alpha, width);
  else row4<true, Sse41>(type, filt, out, out_alpha, width);
}

}  // namespace

Level cpu_level() {
  static const Level level = [] {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("ssse3")) return Level::None;
    return __builtin_cpu_supports("sse4.1") ? Level::Sse41 : Level::Ssse3;
  }();
  return level;
}

void unfilter_row_ssse3(uint8_t type, int channels, const uint8_t *filt, uint8_t *rgb,
                        uint8_t *alpha, size_t y, size_t width) {
  unfilter_row<false>(type, channels, filt, rgb, alpha, y, width);
}

void unfilter_row_sse41(uint8_t type, int channels, const uint8_t *filt, uint8_t *rgb,
                        uint8_t *alpha, size_t y, size_t width) {
  unfilter_row<true>(type, channels, filt, rgb, alpha, y, width);
}

}  // namespace corvane::simd

#endif  // CORVANE_HAVE_SIMD
