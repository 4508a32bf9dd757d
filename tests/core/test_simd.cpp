// The SIMD unfilter loops against the scalar reference: the same pixels, the
// same Result and the same bytes left untouched, on random streams of every
// type and width class, on tie-heavy images, and on every Paeth and Average
// input a pixel can see.
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "check.hpp"
#include "png/scanline.hpp"
#include "png/simd.hpp"

using namespace corvane;
using Bytes = std::vector<uint8_t>;

namespace {

// The vector loops this build runs on this CPU; empty means the comparisons
// below would only set the scalar loops against themselves.
std::vector<UnfilterImpl> vector_impls() {
  std::vector<UnfilterImpl> v;
  for (UnfilterImpl i : {UnfilterImpl::Ssse3, UnfilterImpl::Sse41})
    if (i <= unfilter_best()) v.push_back(i);
  return v;
}

struct Out {
  Result<int32_t> r;
  Bytes rgb, alpha, types;
  bool operator==(const Out &o) const {
    return r.value == o.r.value && r.err == o.r.err && r.at == o.r.at && r.detail == o.r.detail &&
           rgb == o.rgb && alpha == o.alpha && types == o.types;
  }
};

// Planes prefilled with 0xA5, so bytes a loop should not write compare too.
Out decode(UnfilterImpl impl, const Bytes &raw, int32_t w, int32_t h, int ch) {
  const size_t area = size_t(w) * size_t(h);
  Out o{{}, Bytes(area * 3, 0xA5), Bytes(ch == 4 ? area : 0, 0xA5), Bytes(size_t(h), 0xA5)};
  o.r = unfilter_image_with(impl, raw, w, h, ch, o.rgb, o.alpha, o.types);
  return o;
}

// Every vector impl decodes raw exactly as the scalar loops do.
bool all_match(const Bytes &raw, int32_t w, int32_t h, int ch) {
  const Out want = decode(UnfilterImpl::Scalar, raw, w, h, ch);
  for (UnfilterImpl impl : vector_impls())
    if (!(decode(impl, raw, w, h, ch) == want)) return false;
  return true;
}

// Random streams of each single type, of random mixes, and of random mixes
// with a type above 4 in a row after the first. Alongside each, the stream
// filter_image makes from planes drawn from few values, where Paeth's ties
// and Average's odd sums are common.
void test_random_streams() {
  std::mt19937 gen(7031);
  std::vector<int32_t> widths;
  for (int32_t w = 0; w <= 70; ++w) widths.push_back(w);
  widths.insert(widths.end(), {1000, 3840});
  const Bytes palettes[3] = {{0, 1, 2, 3}, {0, 1, 254, 255}, {126, 127, 128, 129, 130}};
  int cases = 0, bad = 0, refused = 0;
  for (int ch : {3, 4})
    for (int32_t w : widths)
      for (int32_t h = 1; h <= 4; ++h)
        for (int mix = 0; mix < 8; ++mix) {  // 0-4 one type, 5-6 mixed, 7 a bad type
          const size_t stride = size_t(w) * size_t(ch);
          Bytes types;
          for (int32_t y = 0; y < h; ++y) types.push_back(uint8_t(mix < 5 ? mix : gen() % 5));
          if (mix == 7 && h > 1) types[1 + gen() % size_t(h - 1)] = uint8_t(5 + gen() % 251);

          Bytes raw(size_t(h) * (stride + 1));
          for (size_t i = 0; i < raw.size(); ++i)
            raw[i] = i % (stride + 1) ? uint8_t(gen()) : types[i / (stride + 1)];
          bad += !all_match(raw, w, h, ch);
          refused += mix == 7 && h > 1;

          const Bytes &pal = palettes[cases % 3];
          Bytes rgb(size_t(w) * size_t(h) * 3), alpha(ch == 4 ? size_t(w) * size_t(h) : 0);
          for (auto *plane : {&rgb, &alpha})
            for (auto &b : *plane) b = pal[gen() % pal.size()];
          filter_image(rgb, alpha, w, h, types, raw);  // rows past a bad type stay random
          bad += !all_match(raw, w, h, ch);
          ++cases;
        }
  CHECK(cases == 2 * 73 * 4 * 8);
  CHECK(bad == 0);
  CHECK(refused == 2 * 73 * 3);
}

// The promise the 4-byte moves must keep: a refused row, and every row
// below it, keeps its old bytes, down to the byte after the last row done.
void test_refused_row_untouched() {
  for (UnfilterImpl impl : vector_impls())
    for (int ch : {3, 4})
      for (int32_t w : {1, 2, 5, 6, 17})
        for (uint8_t t : {1, 3, 4}) {
          const size_t stride = size_t(w) * size_t(ch), done = 2 * size_t(w);
          Bytes raw(3 * (stride + 1), 0x11);
          raw[0] = t, raw[stride + 1] = t, raw[2 * (stride + 1)] = 9;
          const Out o = decode(impl, raw, w, 3, ch);
          CHECK(o.r.err == Err::BadFilter && o.r.value == 2 && o.r.detail == 9);
          CHECK(o == decode(UnfilterImpl::Scalar, raw, w, 3, ch));
          bool kept = true;
          for (size_t i = 3 * done; i < o.rgb.size(); ++i) kept &= o.rgb[i] == 0xA5;
          for (size_t i = done; i < o.alpha.size(); ++i) kept &= o.alpha[i] == 0xA5;
          CHECK(kept);
        }
}

// Channel k of pixel x in row y of planes rgb (3 a pixel) and alpha.
void put(Bytes &rgb, Bytes &alpha, size_t w, size_t x, size_t y, int k, uint8_t v) {
  if (k < 3) rgb[3 * (y * w + x) + size_t(k)] = v;
  else alpha[y * w + x] = v;
}

// Every (a, b, c) for Paeth, every (a, b) for Average. In row 1 the second
// pixel of each pair is predicted from a = row 1's first pixel, b = row 0's
// second and c = row 0's first, so row 0 holds c then b and row 1 a; lane k
// of pair j takes the (a, b) numbered j * channels + k. The stream comes
// from filter_image, so the planes decoded must also be the planes filtered.
// Unoptimised (debug, sanitizer) builds, some 20 times slower, take every
// 15th c, 0 and 255 among them.
void test_every_input() {
  if (vector_impls().empty()) return;
#ifdef NDEBUG
  constexpr int kStep = 1;
#else
  constexpr int kStep = 15;
#endif
  int wrong = 0, images = 0;
  for (int ch : {3, 4})
    for (uint8_t type : {3, 4})
      for (int c = 0; c < (type == 4 ? 256 : 1); c += kStep) {
        const size_t pairs = (65536 + size_t(ch) - 1) / size_t(ch), w = 2 * pairs;
        Bytes rgb(2 * w * 3), alpha(ch == 4 ? 2 * w : 0);
        for (size_t j = 0; j < pairs; ++j)
          for (int k = 0; k < ch; ++k) {
            const size_t n = (j * size_t(ch) + size_t(k)) & 0xFFFF;
            put(rgb, alpha, w, 2 * j, 0, k, uint8_t(c));
            put(rgb, alpha, w, 2 * j + 1, 0, k, uint8_t(n));
            put(rgb, alpha, w, 2 * j, 1, k, uint8_t(n >> 8));
            put(rgb, alpha, w, 2 * j + 1, 1, k, uint8_t(n * 7));
          }
        Bytes raw(2 * (w * size_t(ch) + 1));
        filter_image(rgb, alpha, int32_t(w), 2, Bytes{0, type}, raw);
        for (UnfilterImpl impl : vector_impls()) {
          const Out o = decode(impl, raw, int32_t(w), 2, ch);
          wrong += !o.r || o.rgb != rgb || o.alpha != alpha;
        }
        ++images;
      }
  CHECK(images == 2 * (1 + 255 / kStep + 1));
  CHECK(wrong == 0);
}

// An impl past what the CPU runs falls back rather than failing.
void test_fallback() {
  const Bytes raw = {4, 1, 2, 3, 4, 5, 6, 4, 7, 8, 9, 10, 11, 12};
  const Out want = decode(UnfilterImpl::Scalar, raw, 2, 2, 3);
  CHECK(want.r && decode(UnfilterImpl::Sse41, raw, 2, 2, 3) == want);
  CHECK(decode(unfilter_best(), raw, 2, 2, 3) == want);
}

}  // namespace

int main() {
  const char *names[3] = {"scalar only", "SSSE3", "SSE4.1"};
  std::printf("vector loops: %s\n", names[int(unfilter_best())]);
  test_random_streams();
  test_refused_row_untouched();
  test_every_input();
  test_fallback();
  return check::finish();
}
