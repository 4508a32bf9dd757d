// PNG scanline filters: the worked cases, refusals, and the fast loops against
// a per-byte reference written from the PNG formulas, in both directions.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "check.hpp"
#include "png/scanline.hpp"

using namespace corvane;
using Bytes = std::vector<uint8_t>;

// Paeth as PNG words it: the candidate nearest to p, first of a, b, c on ties.
static uint8_t ref_paeth(int a, int b, int c) {
  const int p = a + b - c, cand[3] = {a, b, c};
  int best = 0;
  for (int i = 1; i < 3; ++i)
    if (std::abs(p - cand[i]) < std::abs(p - cand[best])) best = i;
  return uint8_t(cand[best]);
}

static int ref_predict(int type, int a, int b, int c) {
  const int pred[5] = {0, a, b, (a + b) / 2, ref_paeth(a, b, c)};
  return pred[type];
}

struct Image {
  int32_t w = 0, h = 0;
  int ch = 3;
  Bytes rgb, alpha, types;
};

// The interleaved rows the filters work on, one after another.
static Bytes interleave(const Image &im) {
  Bytes rows;
  for (size_t p = 0; p < size_t(im.w) * size_t(im.h); ++p) {
    rows.insert(rows.end(), im.rgb.begin() + 3 * p, im.rgb.begin() + 3 * p + 3);
    if (im.ch == 4) rows.push_back(im.alpha[p]);
  }
  return rows;
}

// Per byte, straight from the definitions; `encode` picks the direction.
static Bytes ref_filter(const Bytes &in, const Bytes &types, size_t w, size_t h, size_t bpp,
                        bool encode) {
  const size_t stride = w * bpp;
  Bytes out(h * (stride + (encode ? 1 : 0)));
  const Bytes &plain = encode ? in : out;  // predictors always read unfiltered bytes
  for (size_t y = 0; y < h; ++y) {
    const size_t row = y * stride, src = encode ? row : y * (stride + 1) + 1;
    const size_t dst = encode ? y * (stride + 1) + 1 : row;
    const int t = encode ? types[y] : in[src - 1];
    if (encode) out[dst - 1] = uint8_t(t);
    for (size_t i = 0; i < stride; ++i) {
      const int a = i >= bpp ? plain[row + i - bpp] : 0, b = y ? plain[row + i - stride] : 0;
      const int c = i >= bpp && y ? plain[row + i - bpp - stride] : 0;
      const int pred = ref_predict(t, a, b, c);
      out[dst + i] = uint8_t(encode ? in[src + i] - pred : in[src + i] + pred);
    }
  }
  return out;
}

struct Decoded {
  Result<int32_t> r;
  Image im;
};

static Decoded decode(const Bytes &raw, int32_t w, int32_t h, int ch, uint8_t fill = 0) {
  Decoded d{{}, {w, h, ch, Bytes(size_t(w) * h * 3, fill), Bytes(ch == 4 ? size_t(w) * h : 0, fill),
                 Bytes(size_t(h), fill)}};
  d.r = unfilter_image(raw, w, h, ch, d.im.rgb, d.im.alpha, d.im.types);
  return d;
}

static void test_paeth() {
  CHECK(paeth(50, 50, 10) == 50 && paeth(10, 40, 20) == 40);
  CHECK(paeth(100, 200, 150) == 150 && paeth(0, 0, 0) == 0);
  int wrong = 0;
  for (int a = 0; a < 256; ++a)
    for (int b = 0; b < 256; ++b)
      for (int c = 0; c < 256; ++c)
        wrong += paeth(uint8_t(a), uint8_t(b), uint8_t(c)) != ref_paeth(a, b, c);
  CHECK(wrong == 0);
}

static void test_png_sizes() {
  struct Case { int32_t w, h; int ch; Err err; PngSizes s; };
  const Case cases[] = {
      {0, 0, 3, Err::Ok, {0, 0, 0, 0}},
      {0, 3, 4, Err::Ok, {0, 0, 0, 3}},  // rows of just a type byte
      {2, 3, 4, Err::Ok, {6, 18, 8, 27}},
      {-1, -1, 3, Err::Ok, {1, 3, -3, 2}},  // signs kept, as documented
      {715827882, 1, 3, Err::Ok, {715827882, 2147483646, 2147483646, 2147483647}},
      {715827882, 1, 4, Err::Overflow, {}},   // rgb fits, the RGBA stride does not
      {536870911, 1, 4, Err::Ok, {536870911, 1610612733, 2147483644, 2147483645}},
      {1, 536870911, 3, Err::Ok, {536870911, 1610612733, 3, 2147483644}},
      {1, 536870912, 3, Err::Overflow, {}},   // only the stream passes int32
      {46341, 46341, 3, Err::Overflow, {}},   // area itself
      {65536, 65536, 3, Err::Overflow, {}},   // 2^32 would wrap to 0
      {1, 1, 2, Err::BadLength, {}},
  };
  for (const Case &c : cases) {
    auto r = png_sizes(c.w, c.h, c.ch);
    CHECK(r.err == c.err && r.value.area == c.s.area && r.value.rgb_bytes == c.s.rgb_bytes &&
          r.value.stride == c.s.stride && r.value.raw_bytes == c.s.raw_bytes);
  }
}

static void test_worked_rows() {
  // Sub over a row of ones: the first pixel takes a = 0.
  auto d = decode({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 4, 1, 3);
  CHECK(d.r && d.im.rgb == Bytes({1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4}) && d.im.types == Bytes{1});
  // Up, Average and Paeth on row 0 see zeros above.
  for (uint8_t t : {2, 3, 4}) CHECK(decode({t, 9, 8, 7}, 1, 1, 3).im.rgb == Bytes({9, 8, 7}));
  // Average, row 1: byte 3 has a = b = 255 (510 halved, not wrapped), byte 4 a = 1, b = 2.
  d = decode({0, 0, 0, 0, 255, 2, 0, /**/ 3, 255, 1, 0, 0, 0, 0}, 2, 2, 3);
  CHECK(d.r && Bytes(d.im.rgb.begin() + 6, d.im.rgb.end()) == Bytes({255, 1, 0, 255, 1, 0}));
  // Sums wrap: 200 over a left neighbour of 100 is 44.
  CHECK(decode({1, 100, 0, 0, 200, 0, 0}, 2, 1, 3).im.rgb == Bytes({100, 0, 0, 44, 0, 0}));
  // RGBA splits into the planes.
  d = decode({0, 10, 20, 30, 40}, 1, 1, 4);
  CHECK(d.r && d.im.rgb == Bytes({10, 20, 30}) && d.im.alpha == Bytes{40});
  // Types recorded in row order; width 0 rows are only their type byte.
  d = decode({0, 1, 2, 3, 4}, 0, 5, 4);
  CHECK(d.r.value == 5 && d.im.types == Bytes({0, 1, 2, 3, 4}) && d.im.rgb.empty());
  CHECK(decode({}, 7, 0, 3).r.value == 0);
  // The encoder: one red pixel, with and without alpha.
  Bytes raw(4);
  CHECK(filter_image(Bytes{255, 0, 0}, {}, 1, 1, {}, raw) && raw == Bytes({0, 255, 0, 0}));
  raw.assign(5, 0);
  CHECK(filter_image(Bytes{255, 0, 0}, Bytes{0x80}, 1, 1, {}, raw) &&
        raw == Bytes({0, 255, 0, 0, 0x80}));
}

static void test_bad_types() {
  for (uint8_t bad : {5, 255}) {
    // 10 rows of one RGB pixel, Sub everywhere but row 3.
    Bytes raw;
    for (int y = 0; y < 10; ++y) raw.insert(raw.end(), {uint8_t(y == 3 ? bad : 1), 7, 8, 9});
    auto d = decode(raw, 1, 10, 3, 0xEE);
    CHECK(d.r.err == Err::BadFilter && d.r.detail == bad && d.r.value == 3 && d.r.at == 12);
    CHECK(Bytes(d.im.rgb.begin(), d.im.rgb.begin() + 9) == Bytes({7, 8, 9, 7, 8, 9, 7, 8, 9}));
    CHECK(d.im.rgb[9] == 0xEE && d.im.types[3] == bad && d.im.types[4] == 0xEE);
    d = decode({0, bad, 0}, 0, 3, 3);  // width 0 still checks each type
    CHECK(d.r.err == Err::BadFilter && d.r.value == 1 && d.r.detail == bad);

    Bytes types(10, 4), out(40);
    types[6] = bad;
    auto e = filter_image(Bytes(30, 1), {}, 1, 10, types, out);
    CHECK(e.err == Err::BadFilter && e.detail == bad && e.value == 6 && e.at == 6);
  }
}

static void test_length_refusals() {
  Bytes rgb(6, 0xEE), alpha(2, 0xEE), types(1, 0xEE), raw(9), none;
  CHECK(unfilter_image(Bytes(8), 2, 1, 4, rgb, alpha, types).err == Err::BadLength);
  CHECK(unfilter_image(raw, 2, 1, 4, rgb, none, types).err == Err::BadLength);
  CHECK(unfilter_image(Bytes(7), 2, 1, 3, rgb, alpha, types).err == Err::BadLength);
  CHECK(unfilter_image(Bytes(7), 2, 1, 3, rgb, none, none).err == Err::BadLength);
  Bytes three(3), one(1), ten(10);
  CHECK(unfilter_image(Bytes(2), -1, -1, 3, three, none, one).err == Err::BadLength);
  CHECK(rgb == Bytes(6, 0xEE) && types[0] == 0xEE);  // refused before writing
  CHECK(filter_image(Bytes(5), alpha, 2, 1, {}, raw).err == Err::BadLength);
  CHECK(filter_image(rgb, alpha, 2, 1, Bytes(2), raw).err == Err::BadLength);
  CHECK(filter_image(rgb, alpha, 2, 1, {}, ten).err == Err::BadLength);
  CHECK(filter_image(rgb, none, 1 << 30, 0, {}, none).err == Err::Overflow);
}

static void test_against_reference() {
  std::mt19937 gen(20240611);
  auto byte = [&] { return uint8_t(gen()); };
  int cases = 0, bad = 0;
  for (int ch : {3, 4})
    for (int32_t w : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 31, 64, 257})
      for (int32_t h = 0; h <= 5; ++h)
        for (int mix = 0; mix <= 7; ++mix) {  // 0-4: one type for all rows; 5-7: random
          Image im{w, h, ch, Bytes(size_t(w) * h * 3), Bytes(ch == 4 ? size_t(w) * h : 0), {}};
          for (auto *v : {&im.rgb, &im.alpha})
            for (auto &b : *v) b = byte();
          for (int32_t y = 0; y < h; ++y) im.types.push_back(uint8_t(mix < 5 ? mix : gen() % 5));
          const size_t bpp = size_t(ch), stride = size_t(w) * bpp;

          Bytes raw(size_t(h) * (stride + 1));
          auto e = filter_image(im.rgb, im.alpha, w, h, im.types, raw);
          bad += !e || e.value != h || raw != ref_filter(interleave(im), im.types, w, h, bpp, true);
          auto d = decode(raw, w, h, ch);
          bad += !d.r || d.im.rgb != im.rgb || d.im.alpha != im.alpha || d.im.types != im.types;

          // A stream no encoder made: random bytes, valid types.
          for (size_t y = 0; y < size_t(h); ++y)
            for (size_t i = 0; i <= stride; ++i)
              raw[y * (stride + 1) + i] = i ? byte() : im.types[y];
          d = decode(raw, w, h, ch);
          bad += !d.r || interleave(d.im) != ref_filter(raw, {}, w, h, bpp, false);
          ++cases;
        }
  CHECK(cases == 2 * 13 * 6 * 8);
  CHECK(bad == 0);
}

// Fed in pieces of every size from 1 byte to several rows, the streaming
// reconstruction gives what the whole-stream one gives, bad rows included,
// and ignores bytes past the end of the stream.
static void test_streaming() {
  std::mt19937 rng(7);
  for (int ch : {3, 4})
    for (int32_t w : {0, 1, 5, 33})
      for (int32_t h : {1, 4}) {
        Bytes raw(size_t(w * ch + 1) * size_t(h));
        for (auto &b : raw) b = uint8_t(rng());
        for (size_t y = 0; y < size_t(h); ++y) raw[y * size_t(w * ch + 1)] = uint8_t(rng() % (y == 3 ? 6 : 5));
        if (h == 4 && w == 5) raw[2 * size_t(w * ch + 1)] = 9;  // a bad row in the middle
        Decoded whole = decode(raw, w, h, ch);
        for (size_t piece : {size_t(1), size_t(2), size_t(7), raw.size(), raw.size() + 5}) {
          Image im{w, h, ch, Bytes(size_t(w) * h * 3), Bytes(ch == 4 ? size_t(w) * h : 0), Bytes(size_t(h))};
          StreamUnfilter s(w, h, ch);
          Bytes fed = raw;
          fed.insert(fed.end(), {1, 2, 3});  // trailing bytes only count
          for (size_t at = 0; at < fed.size(); at += piece) {
            const size_t n = std::min(piece, fed.size() - at);
            CHECK(s.feed({fed.data() + at, n}, im.rgb, im.alpha, im.types));
          }
          Result<int32_t> r = s.result();
          CHECK(s.fed() == fed.size() && r.err == whole.r.err && r.detail == whole.r.detail);
          if (whole.r) CHECK(r.value == h && im.rgb == whole.im.rgb && im.alpha == whole.im.alpha);
          else CHECK(r.value == whole.r.value && r.at == whole.r.at);
        }
      }
}

// Run by run, the row filter gives the stream filter_image gives whole; and
// planes changed between runs (a row already out rewritten, the planes moved)
// give a stream that decodes to each row as it was when read, never to a row
// filtered against bytes other than those that went out above it.
static void test_row_filter_runs() {
  std::mt19937 rng(11);
  for (int ch : {3, 4})
    for (int32_t w : {1, 2, 7, 40})
      for (int32_t run : {1, 2, 5}) {
        const int32_t h = 9;
        Image im{w, h, ch, Bytes(size_t(w) * h * 3), Bytes(ch == 4 ? size_t(w) * h : 0), Bytes(size_t(h))};
        for (auto *v : {&im.rgb, &im.alpha, &im.types})
          for (auto &b : *v) b = uint8_t(rng());
        for (auto &t : im.types) t %= 5;
        const size_t step = size_t(w) * size_t(ch) + 1;
        Bytes whole(step * size_t(h)), runs(whole.size());
        CHECK(filter_image(im.rgb, im.alpha, w, h, im.types, whole));
        RowFilter f(w, h, ch);
        Image seen = im;  // each row as it was when the filter read it
        for (int32_t y = 0; y < h; y += run) {
          const int32_t n = std::min(run, h - y);
          Bytes rgb = im.rgb, alpha = im.alpha;  // the planes somewhere else each run
          Result<int32_t> r = f.rows(rgb, alpha, im.types, {runs.data() + size_t(y) * step, size_t(n) * step});
          CHECK(r && r.value == y + n && f.next() == y + n);
          // The rows out so far are rewritten, the last of them most of all.
          for (size_t i = 0; i < size_t(y + n) * size_t(w) * 3; ++i) im.rgb[i] = uint8_t(im.rgb[i] + 1 + rng() % 9);
          for (size_t i = 0; i < size_t(y + n) * size_t(w) && ch == 4; ++i) im.alpha[i] ^= 0x5A;
        }
        Decoded d = decode(runs, w, h, ch);
        CHECK(d.r && d.im.rgb == seen.rgb && d.im.alpha == seen.alpha && d.im.types == seen.types);
        if (run == h) CHECK(runs == whole);
        Bytes again(runs.size());
        RowFilter g(w, h, ch);
        CHECK(g.rows(seen.rgb, seen.alpha, seen.types, again) && again == whole);
      }
  // Runs past the last row, of part of a row, or with the other channel count
  // are refused without writing.
  Bytes rgb(6), alpha(2), types(2, 1), out(2 * 5, 0xEE), none;
  RowFilter f(1, 2, 4);
  CHECK(f.rows(rgb, alpha, types, {out.data(), 3}).err == Err::BadLength);
  CHECK(f.rows(rgb, none, types, {out.data(), 4}).err == Err::BadLength);
  CHECK(out == Bytes(10, 0xEE) && f.next() == 0);
  CHECK(f.rows(rgb, alpha, types, out) && f.next() == 2);
  CHECK(f.rows(rgb, alpha, types, {out.data(), 5}).err == Err::BadLength && f.next() == 2);
}

int main() {
  test_paeth();
  test_streaming();
  test_png_sizes();
  test_worked_rows();
  test_bad_types();
  test_length_refusals();
  test_against_reference();
  test_row_filter_runs();
  return check::finish();
}
