// fuzz/fuzz_roundtrip.cpp: filter_image then unfilter_image gives back the
// planes and the row types, for any pixels and any type 0-4 per row, with
// every set of row loops. A row typed above 4 stops filter_image there
// (BadFilter, at and value the row, detail the type) with the stream after
// the rows above it untouched, and those rows still decode. A row filter fed
// the rows a run at a time makes the same stream.
// Input: width, height, flags, one type byte per row, then pixel bytes.
#include "fuzz/fuzz.hpp"
#include "png/scanline.hpp"
#include "png/simd.hpp"

using namespace corvane;
using fuzz::Bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in{{data, size}};
  size_t w = in.byte(), h = in.byte() % 33;
  const uint8_t flags = in.byte();
  if (w * h > 4096) h = 4096 / w;
  const int ch = flags & 1 ? 4 : 3;
  const bool default_types = flags & 2;  // empty filter_types: type 0 for every row
  const bool keep_bad = flags & 4;       // a type byte >= 0xF0 stays out of range
  Bytes types(default_types ? 0 : h);
  for (uint8_t &t : types) {
    const uint8_t b = in.byte();
    t = keep_bad && b >= 0xF0 ? b : b % 5;
  }
  const size_t area = w * h, step = w * size_t(ch) + 1;
  Bytes pixels = fuzz::cycle(in.s, area * (3 + (ch == 4)));
  const Bytes rgb(pixels.begin(), pixels.begin() + area * 3);
  const Bytes alpha(pixels.begin() + area * 3, pixels.end());
  const int32_t wi = int32_t(w), hi = int32_t(h);

  size_t bad = h;
  for (size_t y = 0; y < types.size(); ++y)
    if (types[y] > 4) {
      bad = y;
      break;
    }
  Bytes raw(step * h, 0xA5);
  const Result<int32_t> f = filter_image(rgb, alpha, wi, hi, types, raw);
  if (bad < h) {
    FUZZ_CHECK(f.err == Err::BadFilter && f.value == int32_t(bad) && f.at == bad &&
               f.detail == types[bad]);
    FUZZ_CHECK(std::all_of(raw.begin() + bad * step, raw.end(), [](uint8_t b) { return b == 0xA5; }));
  } else {
    FUZZ_CHECK(f.err == Err::Ok && f.value == hi);
  }

  // The same rows filtered a run at a time (the flags' high bits: rows a run)
  // are the same stream.
  if (bad == h) {
    const int32_t run = (flags >> 4) + 1;
    RowFilter by_runs(wi, hi, ch);
    Bytes runs(raw.size(), 0x5A);
    for (int32_t y = 0; y < hi; y += run) {
      const size_t n = size_t(std::min(run, hi - y));
      const Result<int32_t> r = by_runs.rows(rgb, alpha, types, {runs.data() + size_t(y) * step, n * step});
      FUZZ_CHECK(r.err == Err::Ok && r.value == y + int32_t(n));
    }
    FUZZ_CHECK(runs == raw);
  }

  // The rows written decode to the pixels they came from.
  const size_t rows = bad;
  const Bytes head(raw.begin(), raw.begin() + rows * step);
  for (UnfilterImpl impl : {UnfilterImpl::Scalar, UnfilterImpl::Ssse3, UnfilterImpl::Sse41}) {
    Bytes back_rgb(rows * w * 3, 0x5A), back_alpha(ch == 4 ? rows * w : 0, 0x5A), back_types(rows);
    const Result<int32_t> u =
        unfilter_image_with(impl, head, wi, int32_t(rows), ch, back_rgb, back_alpha, back_types);
    FUZZ_CHECK(u.err == Err::Ok && u.value == int32_t(rows));
    FUZZ_CHECK(std::equal(back_rgb.begin(), back_rgb.end(), rgb.begin()));
    FUZZ_CHECK(std::equal(back_alpha.begin(), back_alpha.end(), alpha.begin()));
    for (size_t y = 0; y < rows; ++y) FUZZ_CHECK(back_types[y] == (types.empty() ? 0 : types[y]));
  }
  return 0;
}
