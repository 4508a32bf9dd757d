// BMP rows: sizes at the int32 edge, the BGR/pad layout, a short pixel
// buffer, and encode -> decode of small random images.
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "bmp/rows.hpp"
#include "check.hpp"

using namespace corvane;
using Bytes = std::vector<uint8_t>;

static void test_sizes() {
  const int32_t strides[9] = {0, 4, 8, 12, 12, 16, 20, 24, 24};
  for (int32_t w = 0; w <= 8; ++w) {
    auto r = bmp_sizes(w, 3);
    CHECK(r && r.value.stride == strides[w] && r.value.pad == strides[w] - 3 * w &&
          r.value.pixel_bytes == 3 * strides[w] && r.value.file_bytes == 54 + 3 * strides[w]);
  }
  struct Case { int32_t w, h; Err err; BmpSizes s; };
  const Case cases[] = {
      {1, 1, Err::Ok, {4, 1, 4, 58}},
      {0, 5, Err::Ok, {0, 0, 0, 54}},
      {715827881, 0, Err::Ok, {2147483644, 1, 0, 54}},  // widest with a stride
      {715827882, 0, Err::Overflow, {}},                // width * 3 + 3 leaves int32
      {715827881, 1, Err::Overflow, {}},                // the file size does
      {715827864, 1, Err::Ok, {2147483592, 0, 2147483592, 2147483646}},
      {715827865, 1, Err::Overflow, {}},
      {1, INT32_MIN, Err::Overflow, {}},
      // Negatives follow floor division; a writer decides what they mean.
      {-1, 5, Err::Ok, {0, 3, 0, 54}},
      {-2, 1, Err::Ok, {-4, 2, -4, 50}},
      {1, -1, Err::Ok, {4, 1, -4, 50}},
      {-715827882, 0, Err::Ok, {-2147483644, 2, 0, 54}},
      {-715827883, 0, Err::Overflow, {}},
  };
  for (const Case &c : cases) {
    auto r = bmp_sizes(c.w, c.h);
    CHECK(r.err == c.err && r.value.stride == c.s.stride && r.value.pad == c.s.pad &&
          r.value.pixel_bytes == c.s.pixel_bytes && r.value.file_bytes == c.s.file_bytes);
  }
}

static void test_layout() {
  Bytes out(4, 0xAA), px{10, 20, 30}, row(3);
  CHECK(bmp_encode_pixels(px, 1, 1, out).value == 4 && out == Bytes({30, 20, 10, 0}));
  CHECK(bmp_decode_row(Bytes{30, 20, 10, 0x77}, row) == Err::Ok && row == px);  // pad ignored

  // Top row green, white; bottom row blue, red. Stored bottom row first.
  const Bytes rgb{0, 255, 0, 255, 255, 255, 0, 0, 255, 255, 0, 0};
  const Bytes file{255, 0, 0, 0, 0, 255, 0, 0, 0, 255, 0, 255, 255, 255, 0, 0};
  out.assign(16, 0xAA);
  CHECK(bmp_encode_pixels(rgb, 2, 2, out) && out == file);
  Bytes top(6), bottom(6);
  CHECK(bmp_decode_row(std::span(file).subspan(8), top) == Err::Ok &&
        bmp_decode_row(std::span(file).first(8), bottom) == Err::Ok);
  CHECK(top == Bytes(rgb.begin(), rgb.begin() + 6) && bottom == Bytes(rgb.begin() + 6, rgb.end()));

  Bytes four(4), extra = rgb;
  CHECK(bmp_decode_row(Bytes{1, 2, 3}, four) == Err::BadLength);
  CHECK(bmp_decode_row(Bytes{1, 2}, row) == Err::BadLength);
  extra.push_back(9);  // bytes past width * height * 3 are not read
  CHECK(bmp_encode_pixels(extra, 2, 2, out) && out == file);
  CHECK(bmp_encode_pixels(rgb, 2, 2, four).err == Err::BadLength);
  CHECK(bmp_encode_pixels(rgb, -2, -2, out).err == Err::BadLength);
  CHECK(bmp_encode_pixels(rgb, 715827882, 0, out).err == Err::Overflow);
}

static void test_short_pixels() {
  // 2x2 needs 12 bytes; the bottom row starts at 6 and is written first.
  const Bytes rgb{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const struct { size_t have, written; } cases[] = {{11, 3}, {9, 3}, {8, 0}, {5, 0}, {0, 0}};
  for (auto c : cases) {
    Bytes out(16, 0xAA);
    auto r = bmp_encode_pixels(std::span(rgb).first(c.have), 2, 2, out);
    Bytes want(16, 0xAA);
    if (c.written) want[0] = 9, want[1] = 8, want[2] = 7;
    CHECK(r.err == Err::BadLength && r.value == c.written && out == want);
  }
}

static void test_round_trip() {
  std::mt19937 gen(42);
  int bad = 0;
  for (int32_t w = 0; w <= 8; ++w)
    for (int32_t h = 0; h <= 3; ++h) {
      auto s = bmp_sizes(w, h).value;
      Bytes rgb(size_t(w) * h * 3), out(size_t(s.pixel_bytes), 0xAA), back(rgb.size());
      for (auto &b : rgb) b = uint8_t(gen());
      auto r = bmp_encode_pixels(rgb, w, h, out);
      bad += !r || r.value != out.size();
      for (int32_t y = 0; y < h; ++y) {
        auto stored = std::span(out).subspan(size_t(h - 1 - y) * s.stride, size_t(s.stride));
        auto row = std::span(back).subspan(size_t(y) * w * 3, size_t(w) * 3);
        bad += bmp_decode_row(stored, row) != Err::Ok;
        for (int32_t i = 3 * w; i < s.stride; ++i) bad += stored[size_t(i)] != 0;
      }
      bad += back != rgb;
    }
  CHECK(bad == 0);
}

// Every width through several of the vector loop's 5-pixel steps: each
// pixel's outer bytes swapped, nothing else touched, in both directions.
static void test_rows_against_per_byte() {
  std::mt19937 rng(3);
  for (int32_t w = 0; w <= 41; ++w) {
    const size_t line = 3 * size_t(w), stride = (line + 3) / 4 * 4;
    std::vector<uint8_t> stored(stride + 5), rgb(line + 7, 0xAA);
    for (auto &b : stored) b = uint8_t(rng());
    CHECK(bmp_decode_row({stored.data(), stride}, {rgb.data(), line}) == Err::Ok);
    bool ok = true;
    for (size_t i = 0; i < line; ++i) ok = ok && rgb[i] == stored[i - i % 3 + 2 - i % 3];
    for (size_t i = line; i < rgb.size(); ++i) ok = ok && rgb[i] == 0xAA;
    CHECK(ok);
    std::vector<uint8_t> out(stride, 0x55);
    CHECK(bmp_encode_pixels({rgb.data(), line}, w, 1, out).err == Err::Ok);
    CHECK(std::equal(out.begin(), out.begin() + line, stored.begin()));
    CHECK(std::all_of(out.begin() + line, out.end(), [](uint8_t b) { return b == 0; }));
  }
}

int main() {
  test_sizes();
  test_rows_against_per_byte();
  test_layout();
  test_short_pixels();
  test_round_trip();
  return check::finish();
}
