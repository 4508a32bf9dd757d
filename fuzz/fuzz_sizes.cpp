// fuzz/fuzz_sizes.cpp: the overflow-checked size helpers against plain wide
// arithmetic: png_sizes, bmp_sizes and image_sizes (every value in int32, or
// Overflow with zeros), rgb_offset (nullopt exactly when the offset leaves
// int64), and split_idat (the recorded lengths walked as documented: pieces
// non-empty, summing to total, at most max(lengths, 1) of them, unchanged by
// saturating lengths).
// Input: width, height, channels, x, y, row width, total, then lengths.
#include <optional>

#include "bmp/rows.hpp"
#include "fuzz/fuzz.hpp"
#include "image/sizes.hpp"
#include "png/scanline.hpp"
#include "png/split.hpp"

using namespace corvane;

namespace {

using i128 = __int128;
bool fits(i128 v) { return v >= INT32_MIN && v <= INT32_MAX; }

// Floor division, as Python's //.
int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

void check_png(int32_t w, int32_t h, int ch) {
  const Result<PngSizes> r = png_sizes(w, h, ch);
  if (ch != 3 && ch != 4) {
    FUZZ_CHECK(r.err == Err::BadLength);
    return;
  }
  const i128 area = i128(w) * h, rgb = area * 3, stride = i128(w) * ch, raw = (stride + 1) * h;
  if (fits(area) && fits(rgb) && fits(stride) && fits(stride + 1) && fits(raw)) {
    FUZZ_CHECK(r.err == Err::Ok && r.value.area == area && r.value.rgb_bytes == rgb &&
               r.value.stride == stride && r.value.raw_bytes == raw);
  } else {
    FUZZ_CHECK(r.err == Err::Overflow && r.value.area == 0 && r.value.rgb_bytes == 0 &&
               r.value.stride == 0 && r.value.raw_bytes == 0);
  }
}

void check_bmp(int32_t w, int32_t h) {
  const Result<BmpSizes> r = bmp_sizes(w, h);
  const int64_t line = int64_t(w) * 3;
  const int64_t stride = floor_div(line + 3, 4) * 4;
  const i128 pixels = i128(stride) * h, file = pixels + 54;
  // width * 3 itself must fit as well (tests/core pins width -715827883 as
  // Overflow, though its width * 3 + 3 and every value would fit).
  if (fits(line) && fits(line + 3) && fits(stride) && fits(pixels) && fits(file)) {
    FUZZ_CHECK(r.err == Err::Ok && r.value.stride == stride && r.value.pad == stride - line &&
               r.value.pixel_bytes == pixels && r.value.file_bytes == file);
  } else {
    FUZZ_CHECK(r.err == Err::Overflow && r.value.stride == 0 && r.value.pad == 0 &&
               r.value.pixel_bytes == 0 && r.value.file_bytes == 0);
  }
}

void check_image(int32_t w, int32_t h) {
  const Result<ImageSizes> r = image_sizes(w, h);
  const i128 area = i128(w) * h;
  if (fits(area) && fits(area * 3))
    FUZZ_CHECK(r.err == Err::Ok && r.value.area == area && r.value.rgb_bytes == area * 3);
  else
    FUZZ_CHECK(r.err == Err::Overflow && r.value.area == 0 && r.value.rgb_bytes == 0);
}

// Under the callers' checks: 0 <= x < width, y >= 0.
void check_offset(int64_t x, int64_t y, int64_t width) {
  if (x < 0 || y < 0 || x >= width) return;
  using u128 = unsigned __int128;
  const u128 want = (u128(y) * u128(width) + u128(x)) * 3;  // < 2^128: exact
  const std::optional<int64_t> got = rgb_offset(x, y, width);
  if (want <= u128(INT64_MAX)) FUZZ_CHECK(got && u128(*got) == want);
  else FUZZ_CHECK(!got);
}

std::vector<size_t> split_ref(size_t total, std::span<const int64_t> lengths) {
  std::vector<size_t> out;
  unsigned __int128 rest = total;
  for (size_t i = 0; i < lengths.size() && rest > 0; ++i) {
    if (lengths[i] <= 0) continue;
    const unsigned __int128 want = uint64_t(lengths[i]);
    const unsigned __int128 take = i + 1 == lengths.size() || want > rest ? rest : want;
    out.push_back(size_t(take));
    rest -= take;
  }
  if (rest > 0) out.push_back(size_t(rest));
  return out;
}

void check_split(size_t total, std::span<const int64_t> lengths) {
  const std::vector<size_t> got = split_idat(total, lengths);
  FUZZ_CHECK(got == split_ref(total, lengths));
  unsigned __int128 sum = 0;
  for (size_t p : got) {
    FUZZ_CHECK(p > 0);
    sum += p;
  }
  FUZZ_CHECK(sum == total && got.size() <= std::max<size_t>(lengths.size(), 1));
  FUZZ_CHECK(total > 0 || got.empty());
  std::vector<int64_t> sat(lengths.begin(), lengths.end());
  for (int64_t &l : sat)
    if (l <= 0) l = INT64_MIN;
    else if (uint64_t(l) >= total) l = INT64_MAX;
  FUZZ_CHECK(split_idat(total, sat) == got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in{{data, size}};
  const int32_t w = int32_t(uint32_t(in.le(4))), h = int32_t(uint32_t(in.le(4)));
  const int ch = int8_t(in.byte());
  check_png(w, h, ch);
  check_png(w, h, 3 + (ch & 1));
  check_bmp(w, h);
  check_image(w, h);
  const int64_t x = int64_t(in.le(8)), y = int64_t(in.le(8)), width = int64_t(in.le(8));
  check_offset(x, y, width);
  check_offset(x & 0xFFFF, y & 0xFFFFFFFF, width);  // small x, y: the usual case

  // total: a few bytes for small streams, all 8 when the top flag bit is set.
  const uint8_t tflags = in.byte();
  const size_t total = size_t(in.le(tflags & 0x80 ? 8 : 1 + (tflags & 3)));
  std::vector<int64_t> lengths;
  for (int n = in.byte() % 40; n > 0 && !in.s.empty(); --n) {
    const uint8_t kind = in.byte();
    // 0-7 bytes with a sign from the top bit, or any 8 bytes.
    const int64_t v = kind & 8 ? int64_t(in.le(8)) : (kind & 0x80 ? -1 : 1) * int64_t(in.le(kind & 7));
    lengths.push_back(v);
  }
  check_split(total, lengths);
  return 0;
}
