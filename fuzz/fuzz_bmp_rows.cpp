// fuzz/fuzz_bmp_rows.cpp: the BMP row code on arbitrary data. bmp_decode_row
// swaps whole pixels or refuses without writing; flip_rows reverses whole
// rows and leaves a partial last row alone; bmp_encode_pixels lays out a
// bottom-up pixel array with zero pads, writes only the bottom row's whole
// pixels of a short buffer, refuses other sizes untouched, and decoding its
// rows then flipping gives the pixels back.
// Input: flags, width, height, row and stored lengths, slack, then bytes.
#include "bmp/rows.hpp"
#include "fuzz/fuzz.hpp"

using namespace corvane;
using fuzz::Bytes;

namespace {

bool all_eq(std::span<const uint8_t> s, uint8_t v) {
  return std::all_of(s.begin(), s.end(), [v](uint8_t b) { return b == v; });
}

void check_decode_row(std::span<const uint8_t> stored, size_t rgb_len) {
  Bytes rgb(rgb_len, 0xA5);
  const Err e = bmp_decode_row(stored, rgb);
  if (rgb_len % 3 != 0 || stored.size() < rgb_len) {
    FUZZ_CHECK(e == Err::BadLength && all_eq(rgb, 0xA5));
    return;
  }
  FUZZ_CHECK(e == Err::Ok);
  for (size_t i = 0; i < rgb_len; ++i) FUZZ_CHECK(rgb[i] == stored[i - i % 3 + 2 - i % 3]);
}

void check_flip(std::span<const uint8_t> plane, size_t row_bytes) {
  Bytes got(plane.begin(), plane.end());
  flip_rows(got, row_bytes);
  if (row_bytes == 0) {
    FUZZ_CHECK(std::equal(got.begin(), got.end(), plane.begin()));
    return;
  }
  const size_t rows = plane.size() / row_bytes;
  for (size_t i = 0; i < plane.size(); ++i) {
    const size_t r = i / row_bytes;
    const size_t from = r < rows ? (rows - 1 - r) * row_bytes + i % row_bytes : i;
    FUZZ_CHECK(got[i] == plane[from]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in{{data, size}};
  const uint8_t flags = in.byte();
  int32_t w = in.byte() % 70, h = in.byte() % 24;
  const size_t row_len = in.byte(), stored_len = in.byte(), slack = in.byte() % 8;
  if (flags & 1) w = -w;  // negative dimensions: refused before any write
  if (flags & 2) h = -h;
  const std::span<const uint8_t> rest = in.s;

  check_decode_row(rest.first(std::min(rest.size(), stored_len)), row_len);
  check_flip(rest, row_len);

  const Result<BmpSizes> s = bmp_sizes(w, h);
  FUZZ_CHECK(s.err == Err::Ok);  // small dimensions always have sizes
  const size_t need = w > 0 && h > 0 ? size_t(w) * size_t(h) * 3 : 0;
  // rgb: exactly need, short by some bytes, or longer (extra ignored).
  size_t rgb_len = need;
  if (flags & 8) rgb_len = need - std::min(need, slack * 7 + 1);
  else if (flags & 16) rgb_len = need + slack;
  const Bytes rgb = fuzz::cycle(rest, rgb_len);
  const size_t out_len = size_t(std::max(s.value.pixel_bytes, 0)) + (flags & 32 ? slack + 1 : 0);
  Bytes out(out_len, 0xA5);
  const Result<size_t> r = bmp_encode_pixels(rgb, w, h, out);

  if (w < 0 || h < 0 || out_len != size_t(s.value.pixel_bytes)) {
    FUZZ_CHECK(r.err == Err::BadLength && r.value == 0 && all_eq(out, 0xA5));
    return 0;
  }
  const size_t uw = size_t(w), uh = size_t(h), stride = size_t(s.value.stride), line = 3 * uw;
  FUZZ_CHECK(stride % 4 == 0 && stride >= line && stride - line < 4 && size_t(s.value.pad) == stride - line);
  if (rgb_len < need) {
    const size_t start = (uh - 1) * line;
    const size_t whole = rgb_len > start ? (rgb_len - start) / 3 : 0;
    FUZZ_CHECK(r.err == Err::BadLength && r.value == 3 * whole);
    Bytes back(3 * whole);
    FUZZ_CHECK(bmp_decode_row(std::span(out).first(3 * whole), back) == Err::Ok);
    FUZZ_CHECK(std::equal(back.begin(), back.end(), rgb.begin() + std::min(start, rgb.size())));
    FUZZ_CHECK(all_eq(std::span(out).subspan(3 * whole), 0xA5));
    return 0;
  }
  FUZZ_CHECK(r.err == Err::Ok && r.value == out.size());
  // Decode each stored row in file order, then flip: the pixels come back.
  Bytes back(need, 0x5A);
  for (size_t y = 0; y < uh; ++y) {
    const std::span<const uint8_t> stored = std::span(out).subspan(y * stride, stride);
    FUZZ_CHECK(bmp_decode_row(stored, std::span(back).subspan(y * line, line)) == Err::Ok);
    FUZZ_CHECK(all_eq(stored.subspan(line), 0));
  }
  flip_rows(back, line);
  FUZZ_CHECK(std::equal(back.begin(), back.end(), rgb.begin()));
  return 0;
}
