// png/scanline.cpp: the scalar filter loops, the reference for any faster
// version; unfilter_image hands its rows to the vector loops of png/simd.cpp
// instead when the build and the CPU have them (png/simd.hpp). Each (type,
// channels, first row or not) gets its own unfilter loop, chosen once per row,
// so the per-byte work never branches on the type, and the left neighbours a
// and c are carried in locals from one pixel to the next instead of being read
// back from memory. Filtering reads each row once into a row of its own
// (RowFilter), after which each type's loop is flat.
#include "png/scanline.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "png/simd.hpp"

namespace corvane {
namespace {

enum : uint8_t { kNone, kSub, kUp, kAverage, kPaeth, kTypeCount };

template <uint8_t T>
inline uint8_t predict([[maybe_unused]] uint8_t a, [[maybe_unused]] uint8_t b,
                       [[maybe_unused]] uint8_t c) {
  if constexpr (T == kNone) return 0;
  else if constexpr (T == kSub) return a;
  else if constexpr (T == kUp) return b;
  else if constexpr (T == kAverage) return uint8_t((unsigned(a) + b) >> 1);  // 255 + 255: no wrap
  else return paeth(a, b, c);
}

// One image row as the unfilter loops see it: pixels of Bpp interleaved
// bytes, stored into the RGB plane and, for Bpp 4, the alpha plane. The row
// above is read from the planes too, since they hold it unfiltered; row 0 has
// none (HasUp false) and reads zeros, which is how PNG defines its predictors.
template <int Bpp, bool HasUp, class Byte>
struct Row {
  static constexpr int kBpp = Bpp;
  static constexpr bool kHasUp = HasUp;
  Byte *rgb;
  Byte *alpha;  // Bpp 4 only
  const uint8_t *up_rgb;
  const uint8_t *up_alpha;

  void load_up(size_t x, uint8_t *v) const {
    if constexpr (!HasUp) {
      for (int k = 0; k < Bpp; ++k) v[k] = 0;
    } else {
      for (int k = 0; k < 3; ++k) v[k] = up_rgb[3 * x + k];
      if constexpr (Bpp == 4) v[3] = up_alpha[x];
    }
  }
  void store(size_t x, const uint8_t *v) const {
    for (int k = 0; k < 3; ++k) rgb[3 * x + k] = v[k];
    if constexpr (Bpp == 4) alpha[x] = v[3];
  }
};

template <int Bpp, bool HasUp>
using OutRow = Row<Bpp, HasUp, uint8_t>;

// With 3 channels a row is one contiguous run of the RGB plane, so None and
// Up, which have no left-to-right dependency, become a copy or a flat loop
// the compiler can vectorise.
template <uint8_t T, class R>
void unfilter_row(const uint8_t *filt, const R &row, size_t width) {
  constexpr int B = R::kBpp;
  if constexpr (B == 3 && (T == kNone || (T == kUp && !R::kHasUp))) {
    std::memcpy(row.rgb, filt, 3 * width);
  } else if constexpr (B == 3 && T == kUp) {
    for (size_t i = 0; i < 3 * width; ++i) row.rgb[i] = uint8_t(filt[i] + row.up_rgb[i]);
  } else {
    uint8_t a[B] = {}, c[B] = {};
    for (size_t x = 0; x < width; ++x, filt += B) {
      uint8_t b[B];
      row.load_up(x, b);
      for (int k = 0; k < B; ++k) {
        a[k] = uint8_t(filt[k] + predict<T>(a[k], b[k], c[k]));
        c[k] = b[k];
      }
      row.store(x, a);
    }
  }
}

// The encoder works on rows of its own (RowFilter), so every neighbour is a
// plain load from one of two contiguous rows and no byte of a row depends on
// another's result: each loop is flat, and the compiler vectorises it.
template <uint8_t T, int B>
void filter_flat(const uint8_t *__restrict cur, const uint8_t *__restrict prev, size_t n,
                 uint8_t *__restrict out) {
  if constexpr (T == kNone) {
    std::memcpy(out, cur, n);
  } else {
    for (size_t i = 0; i < size_t(B); ++i) out[i] = uint8_t(cur[i] - predict<T>(0, prev[i], 0));
    for (size_t i = B; i < n; ++i) out[i] = uint8_t(cur[i] - predict<T>(cur[i - B], prev[i], prev[i - B]));
  }
}

// The callers have checked type < kTypeCount.
template <class R>
void unfilter_typed(uint8_t type, const uint8_t *filt, const R &row, size_t width) {
  switch (type) {
    case kNone: return unfilter_row<kNone>(filt, row, width);
    case kSub: return unfilter_row<kSub>(filt, row, width);
    case kUp: return unfilter_row<kUp>(filt, row, width);
    case kAverage: return unfilter_row<kAverage>(filt, row, width);
    default: return unfilter_row<kPaeth>(filt, row, width);
  }
}

// One row of `n` bytes (n >= B), the type checked.
template <int B>
void filter_typed(uint8_t type, const uint8_t *cur, const uint8_t *prev, size_t n, uint8_t *out) {
  switch (type) {
    case kNone: return filter_flat<kNone, B>(cur, prev, n, out);
    case kSub: return filter_flat<kSub, B>(cur, prev, n, out);
    case kUp: return filter_flat<kUp, B>(cur, prev, n, out);
    case kAverage: return filter_flat<kAverage, B>(cur, prev, n, out);
    default: return filter_flat<kPaeth, B>(cur, prev, n, out);
  }
}

// Row y of the planes, read once, interleaved into `row`.
void gather(const uint8_t *rgb, const uint8_t *alpha, size_t y, size_t width, uint8_t *row) {
  rgb += y * width * 3;
  if (!alpha) {
    std::memcpy(row, rgb, 3 * width);
    return;
  }
  alpha += y * width;
  for (size_t x = 0; x < width; ++x, row += 4, rgb += 3) {
    row[0] = rgb[0];
    row[1] = rgb[1];
    row[2] = rgb[2];
    row[3] = alpha[x];
  }
}

// Row y of the planes; width > 0, so the pointers are real.
template <int Bpp, class Byte>
Row<Bpp, true, Byte> row_at(Byte *rgb, Byte *alpha, size_t y, size_t width) {
  Byte *r = rgb + y * width * 3;
  Byte *a = Bpp == 4 ? alpha + y * width : nullptr;
  if (y == 0) return {r, a, nullptr, nullptr};
  return {r, a, r - width * 3, Bpp == 4 ? a - width : nullptr};
}

template <int Bpp>
void unfilter_at(uint8_t type, const uint8_t *filt, uint8_t *rgb, uint8_t *alpha, size_t y,
                 size_t width) {
  auto row = row_at<Bpp>(rgb, alpha, y, width);
  if (y == 0)
    unfilter_typed(type, filt, OutRow<Bpp, false>{row.rgb, row.alpha, nullptr, nullptr}, width);
  else
    unfilter_typed(type, filt, row, width);
}

// One row of unfilter_image with the reference loops; the shape of
// simd::unfilter_row_ssse3, so that the image loop picks either once.
void unfilter_row_scalar(uint8_t type, int channels, const uint8_t *filt, uint8_t *rgb,
                         uint8_t *alpha, size_t y, size_t width) {
  if (channels == 3) unfilter_at<3>(type, filt, rgb, nullptr, y, width);
  else unfilter_at<4>(type, filt, rgb, alpha, y, width);
}

// The checks both directions share: sizes in range, dimensions not negative,
// planes and stream exactly as long as the dimensions make them.
Result<PngSizes> check_planes(int32_t width, int32_t height, int channels, size_t raw,
                              size_t rgb, size_t alpha, size_t types, bool types_optional) {
  Result<PngSizes> s = png_sizes(width, height, channels);
  if (!s) return s;
  const PngSizes &v = s.value;
  const size_t want_alpha = channels == 4 ? size_t(v.area) : 0;
  if (width < 0 || height < 0 || raw != size_t(v.raw_bytes) || rgb != size_t(v.rgb_bytes) ||
      alpha != want_alpha || (types != size_t(height) && !(types_optional && types == 0)))
    return {{}, Err::BadLength};
  return s;
}

}  // namespace

Result<PngSizes> png_sizes(int32_t width, int32_t height, int channels) {
  Result<PngSizes> r;
  if (channels != 3 && channels != 4) {
    r.err = Err::BadLength;
    return r;
  }
  PngSizes &v = r.value;
  if (!mul_i32(width, height, &v.area) || !mul_i32(v.area, 3, &v.rgb_bytes) ||
      !mul_i32(width, channels, &v.stride) || v.stride == kI32Max ||
      !mul_i32(v.stride + 1, height, &v.raw_bytes)) {
    r.value = {};
    r.err = Err::Overflow;
  }
  return r;
}

UnfilterImpl unfilter_best() {
#if CORVANE_HAVE_SIMD
  switch (simd::cpu_level()) {
    case simd::Level::Sse41: return UnfilterImpl::Sse41;
    case simd::Level::Ssse3: return UnfilterImpl::Ssse3;
    case simd::Level::None: break;
  }
#endif
  return UnfilterImpl::Scalar;
}

Result<int32_t> unfilter_image_with(UnfilterImpl impl, std::span<const uint8_t> raw,
                                    int32_t width, int32_t height, int channels,
                                    std::span<uint8_t> rgb, std::span<uint8_t> alpha,
                                    std::span<uint8_t> filters) {
  Result<PngSizes> s = check_planes(width, height, channels, raw.size(), rgb.size(), alpha.size(),
                                    filters.size(), false);
  if (!s) return {0, s.err};
  auto *row_fn = unfilter_row_scalar;
#if CORVANE_HAVE_SIMD
  const UnfilterImpl best = unfilter_best();
  if (impl > best) impl = best;
  if (impl == UnfilterImpl::Sse41) row_fn = simd::unfilter_row_sse41;
  else if (impl == UnfilterImpl::Ssse3) row_fn = simd::unfilter_row_ssse3;
#else
  (void)impl;
#endif
  const size_t w = size_t(width), step = size_t(s.value.stride) + 1;
  for (int32_t y = 0; y < height; ++y) {
    const size_t at = size_t(y) * step;
    const uint8_t type = raw[at];
    filters[size_t(y)] = type;
    if (type >= kTypeCount) return {y, Err::BadFilter, at, type};
    if (w != 0) row_fn(type, channels, raw.data() + at + 1, rgb.data(), alpha.data(), size_t(y), w);
  }
  return {height};
}

namespace {

using RowFn = void (*)(uint8_t, int, const uint8_t *, uint8_t *, uint8_t *, size_t, size_t);

RowFn best_row_fn() {
#if CORVANE_HAVE_SIMD
  switch (unfilter_best()) {
    case UnfilterImpl::Sse41: return simd::unfilter_row_sse41;
    case UnfilterImpl::Ssse3: return simd::unfilter_row_ssse3;
    case UnfilterImpl::Scalar: break;
  }
#endif
  return unfilter_row_scalar;
}

}  // namespace

StreamUnfilter::StreamUnfilter(int32_t width, int32_t height, int channels)
    : width_(size_t(width)), height_(size_t(height)), step_(size_t(width) * size_t(channels) + 1),
      channels_(channels) {}

int32_t StreamUnfilter::rows_after(size_t n) const {
  size_t rows = (fed_ + n) / step_;
  return int32_t(rows < height_ ? rows : height_);
}

void StreamUnfilter::row(const uint8_t *bytes, std::span<uint8_t> rgb, std::span<uint8_t> alpha,
                         std::span<uint8_t> filters) {
  const size_t y = done_++;
  if (bad_ || y >= height_) return;
  const uint8_t type = bytes[0];
  filters[y] = type;
  if (type >= kTypeCount) {
    bad_ = true;
    bad_row_ = y;
    bad_type_ = type;
    return;
  }
  static const RowFn row_fn = best_row_fn();
  if (width_ != 0) row_fn(type, channels_, bytes + 1, rgb.data(), alpha.data(), y, width_);
}

bool StreamUnfilter::feed(std::span<const uint8_t> bytes, std::span<uint8_t> rgb, std::span<uint8_t> alpha,
                          std::span<uint8_t> filters) {
  // The split row is kept only as far as bytes have arrived: a header's row
  // length is no promise that they will.
  try {
    fed_ += bytes.size();
    if (step_ == 1) return feed_types_only(bytes, filters), true;
    if (!partial_.empty()) {
      size_t take = std::min(step_ - partial_.size(), bytes.size());
      partial_.insert(partial_.end(), bytes.begin(), bytes.begin() + take);
      bytes = bytes.subspan(take);
      if (partial_.size() < step_) return true;
      row(partial_.data(), rgb, alpha, filters);
      partial_.clear();
    }
    for (; bytes.size() >= step_; bytes = bytes.subspan(step_)) row(bytes.data(), rgb, alpha, filters);
    partial_.assign(bytes.begin(), bytes.end());
    return true;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

// Rows of width 0 are their type byte alone: a header may claim 2^31 of
// them, so they are taken a feed at a time rather than a row at a time.
void StreamUnfilter::feed_types_only(std::span<const uint8_t> bytes, std::span<uint8_t> filters) {
  const size_t y = done_;
  done_ += bytes.size();
  if (bad_ || y >= height_) return;
  bytes = bytes.first(std::min(bytes.size(), height_ - y));
  auto bad = std::find_if(bytes.begin(), bytes.end(), [](uint8_t t) { return t >= kTypeCount; });
  const size_t good = size_t(bad - bytes.begin());
  std::copy(bytes.begin(), bad == bytes.end() ? bad : bad + 1, filters.begin() + ptrdiff_t(y));
  if (bad == bytes.end()) return;
  bad_ = true;
  bad_row_ = y + good;
  bad_type_ = *bad;
}

Result<int32_t> StreamUnfilter::result() const {
  if (!bad_) return {int32_t(height_)};
  return {int32_t(bad_row_), Err::BadFilter, bad_row_ * step_, bad_type_};
}

Result<int32_t> unfilter_image(std::span<const uint8_t> raw, int32_t width, int32_t height,
                               int channels, std::span<uint8_t> rgb, std::span<uint8_t> alpha,
                               std::span<uint8_t> filters) {
  return unfilter_image_with(unfilter_best(), raw, width, height, channels, rgb, alpha, filters);
}

Result<int32_t> filter_image(std::span<const uint8_t> rgb, std::span<const uint8_t> alpha,
                             int32_t width, int32_t height,
                             std::span<const uint8_t> filter_types, std::span<uint8_t> raw) {
  const int channels = alpha.empty() ? 3 : 4;
  Result<PngSizes> s = check_planes(width, height, channels, raw.size(), rgb.size(), alpha.size(),
                                    filter_types.size(), true);
  if (!s) return {0, s.err};
  return RowFilter(width, height, channels).rows(rgb, alpha, filter_types, raw);
}

RowFilter::RowFilter(int32_t width, int32_t height, int channels)
    : width_(width), height_(height), channels_(channels) {
  Result<PngSizes> s = png_sizes(width, height, channels);
  if (!s || width <= 0 || height <= 0) return;  // no rows to keep: rows() checks and refuses
  rows_.assign(2 * size_t(s.value.stride), 0);
}

Result<int32_t> RowFilter::rows(std::span<const uint8_t> rgb, std::span<const uint8_t> alpha,
                                std::span<const uint8_t> filter_types, std::span<uint8_t> out) {
  const int channels = alpha.empty() ? 3 : 4;
  Result<PngSizes> whole = png_sizes(width_, height_, channels);
  if (!whole) return {0, whole.err};
  Result<PngSizes> s = check_planes(width_, height_, channels, size_t(whole.value.raw_bytes), rgb.size(),
                                    alpha.size(), filter_types.size(), true);
  if (!s) return {0, s.err};
  // A 0 x h image has 3 and 4 channels alike (both planes are empty).
  const size_t w = size_t(width_), stride = size_t(s.value.stride), step = stride + 1;
  if ((channels != channels_ && w != 0) || out.size() % step != 0 ||
      size_t(next_) + out.size() / step > size_t(height_))
    return {0, Err::BadLength};
  const int32_t first = next_, end = first + int32_t(out.size() / step);
  for (; next_ < end; ++next_) {
    const size_t y = size_t(next_), at = size_t(next_ - first) * step;
    const uint8_t type = filter_types.empty() ? uint8_t{kNone} : filter_types[y];
    if (type >= kTypeCount) return {next_, Err::BadFilter, y, type};
    out[at] = type;
    if (w == 0) continue;
    uint8_t *cur = rows_.data() + (second_ ? 0 : stride), *prev = rows_.data() + (second_ ? stride : 0);
    gather(rgb.data(), channels == 4 ? alpha.data() : nullptr, y, w, cur);
    if (channels == 3)
      filter_typed<3>(type, cur, prev, stride, out.data() + at + 1);
    else
      filter_typed<4>(type, cur, prev, stride, out.data() + at + 1);
    second_ = !second_;  // this row is the next one's row above
  }
  return {end};
}

}  // namespace corvane
