// fuzz/fuzz_unfilter.cpp: unfilter_image on arbitrary streams. Every set of
// row loops (scalar, SSSE3, SSE4.1) must give the bytes and the Result of a
// per-byte reference written from the PNG formulas, writing nothing else; and
// StreamUnfilter, fed the same stream in pieces whose sizes the input picks,
// into planes reallocated to exactly the rows each feed completes, must give
// the same rows and, once the stream is whole, the same Result.
// Input: width, height, flags, fill byte, piece count, piece sizes, stream.
#include "fuzz/fuzz.hpp"
#include "png/scanline.hpp"
#include "png/simd.hpp"

using namespace corvane;
using fuzz::Bytes;

namespace {

struct Planes {
  Result<int32_t> r;
  Bytes rgb, alpha, filters;
};

bool same(const Result<int32_t> &a, const Result<int32_t> &b) {
  return a.value == b.value && a.err == b.err && a.at == b.at && a.detail == b.detail;
}

int paeth_ref(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// Row by row on interleaved bytes, then split into the planes; rows from the
// first bad type on keep the fill byte.
Planes reference(const Bytes &raw, size_t w, size_t h, int ch, uint8_t fill) {
  const size_t stride = w * size_t(ch);
  Planes o{{int32_t(h)}, Bytes(w * h * 3, fill), Bytes(ch == 4 ? w * h : 0, fill), Bytes(h, fill)};
  Bytes prev(stride, 0), cur(stride);
  for (size_t y = 0; y < h; ++y) {
    const uint8_t *f = raw.data() + y * (stride + 1);
    const int t = f[0];
    o.filters[y] = uint8_t(t);
    if (t > 4) {
      o.r = {int32_t(y), Err::BadFilter, y * (stride + 1), uint32_t(t)};
      break;
    }
    for (size_t i = 0; i < stride; ++i) {
      const int a = i >= size_t(ch) ? cur[i - ch] : 0, b = prev[i];
      const int c = i >= size_t(ch) ? prev[i - ch] : 0;
      const int pred[5] = {0, a, b, (a + b) / 2, paeth_ref(a, b, c)};
      cur[i] = uint8_t(f[1 + i] + pred[t]);
    }
    for (size_t x = 0; x < w; ++x) {
      for (int k = 0; k < 3; ++k) o.rgb[(y * w + x) * 3 + k] = cur[x * ch + k];
      if (ch == 4) o.alpha[y * w + x] = cur[x * 4 + 3];
    }
    std::swap(prev, cur);
  }
  return o;
}

Planes run(UnfilterImpl impl, std::span<const uint8_t> raw, int32_t w, int32_t h, int ch,
           uint8_t fill) {
  const size_t area = size_t(w) * size_t(h);
  Planes o{{}, Bytes(area * 3, fill), Bytes(ch == 4 ? area : 0, fill), Bytes(size_t(h), fill)};
  o.r = unfilter_image_with(impl, raw, w, h, ch, o.rgb, o.alpha, o.filters);
  return o;
}

// Grows v to n bytes in a fresh allocation (the caller's planes may move
// between feeds), new bytes set to fill. Done whenever a feed completes rows,
// so the planes always end exactly at the last row being written.
void regrow(Bytes &v, size_t n, uint8_t fill) {
  Bytes fresh(n, fill);
  std::copy_n(v.begin(), std::min(n, v.size()), fresh.begin());
  v.swap(fresh);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in{{data, size}};
  size_t w = in.byte(), h = in.byte() % 33;
  const uint8_t flags = in.byte(), fill = in.byte();
  if (w * h > 4096) h = 4096 / w;
  const int ch = flags & 1 ? 4 : 3;
  const bool tidy_types = flags & 2;      // types mod 5, 0xFF kept as a bad one
  const bool short_stream = (flags & 12) == 12;
  const bool trailing = flags & 16;        // bytes past the stream's end
  const size_t npieces = in.byte() % 16;
  auto pieces = in.take(npieces);
  const size_t step = w * size_t(ch) + 1, total = step * h;

  Bytes raw = fuzz::cycle(in.s, total);
  if (tidy_types)
    for (size_t y = 0; y < h; ++y)
      if (raw[y * step] != 0xFF) raw[y * step] %= 5;
  const Planes want = reference(raw, w, h, ch, fill);

  // The whole stream: every impl as the reference.
  for (UnfilterImpl impl : {UnfilterImpl::Scalar, UnfilterImpl::Ssse3, UnfilterImpl::Sse41}) {
    const Planes got = run(impl, raw, int32_t(w), int32_t(h), ch, fill);
    FUZZ_CHECK(same(got.r, want.r));
    FUZZ_CHECK(got.rgb == want.rgb && got.alpha == want.alpha && got.filters == want.filters);
  }
  {  // and unfilter_image, which picks one
    Planes got{{}, Bytes(want.rgb.size(), fill), Bytes(want.alpha.size(), fill), Bytes(h, fill)};
    got.r = unfilter_image(raw, int32_t(w), int32_t(h), ch, got.rgb, got.alpha, got.filters);
    FUZZ_CHECK(same(got.r, want.r) && got.rgb == want.rgb && got.alpha == want.alpha);
  }

  // A stream cut short, or one byte long: refused, nothing written.
  size_t fed_len = total;
  if (short_stream && total > 0) {
    fed_len = in.s.empty() ? total - 1 : in.s[0] % total;
    Bytes cut(raw.begin(), raw.begin() + fed_len);
    const Planes got = run(UnfilterImpl::Sse41, cut, int32_t(w), int32_t(h), ch, fill);
    FUZZ_CHECK(got.r.err == Err::BadLength && got.r.value == 0);
    const Planes untouched{{}, Bytes(want.rgb.size(), fill), Bytes(want.alpha.size(), fill), Bytes(h, fill)};
    FUZZ_CHECK(got.rgb == untouched.rgb && got.alpha == untouched.alpha && got.filters == untouched.filters);
  }
  if (trailing) {
    Bytes longer(raw);
    longer.push_back(fill);
    const Planes got = run(UnfilterImpl::Scalar, longer, int32_t(w), int32_t(h), ch, fill);
    FUZZ_CHECK(got.r.err == Err::BadLength && got.r.value == 0);
  }

  // The stream in pieces: sizes from the input, cycled, 0 allowed.
  Bytes stream(raw.begin(), raw.begin() + fed_len);
  if (trailing && fed_len == total) stream.insert(stream.end(), {1, 2, 3, 250, 251});
  StreamUnfilter su(int32_t(w), int32_t(h), ch);
  Bytes rgb, alpha, filters;
  size_t off = 0;
  for (size_t i = 0; off < stream.size(); ++i) {
    size_t n = pieces.empty() ? stream.size() : pieces[i % pieces.size()];
    if (i > 4 * stream.size() + 16) n = stream.size();  // all-zero piece sizes
    n = std::min(n, stream.size() - off);
    const size_t rows = size_t(su.rows_after(n));
    FUZZ_CHECK(rows == std::min((off + n) / step, h));
    if (rows != filters.size()) {
      regrow(rgb, rows * w * 3, fill);
      regrow(alpha, ch == 4 ? rows * w : 0, fill);
      regrow(filters, rows, fill);
    }
    Bytes piece(stream.begin() + off, stream.begin() + off + n);  // exact allocation
    FUZZ_CHECK(su.feed(piece, rgb, alpha, filters));
    off += n;
    FUZZ_CHECK(su.fed() == off);
  }
  const size_t rows = std::min(stream.size() / step, h);
  FUZZ_CHECK(rgb.size() == rows * w * 3 && filters.size() == rows);
  FUZZ_CHECK(std::equal(rgb.begin(), rgb.end(), want.rgb.begin()));
  FUZZ_CHECK(std::equal(alpha.begin(), alpha.end(), want.alpha.begin()));
  FUZZ_CHECK(std::equal(filters.begin(), filters.end(), want.filters.begin()));
  if (stream.size() >= total) FUZZ_CHECK(same(su.result(), want.r));
  return 0;
}
