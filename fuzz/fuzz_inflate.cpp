// fuzz/fuzz_inflate.cpp: the native decode's IDAT stage, igzip against zlib.
// The same data decoded as the module decodes it (igzip on a thread of its
// own while the rows are rebuilt on this one; a stream it does not take to
// its end gets zlib's verdict and, where zlib takes it after all, zlib's
// rows) and by zlib alone must end the same way, with the same error text,
// the same rows and the same row types. The one difference allowed is the
// one known: igzip takes a Huffman code that does not fill its code space,
// where zlib refuses it; igzip's output then passed the stream's checksum.
// Input: width, height, flags (1: 4 channels), piece count, piece lengths
// (one byte each: how the data is cut into IDAT chunks), then the zlib data.
#include <string>

#include "fuzz/fuzz.hpp"
#include "png/idat.hpp"
#include "png/scanline.hpp"

using namespace corvane;
using fuzz::Bytes;

namespace {

struct Planes {
  StreamUnfilter rows;
  Bytes rgb, alpha, filters;
  bool has_room(size_t) const { return true; }
  bool feed_rows(std::span<const uint8_t> b) { return rows.feed(b, rgb, alpha, filters); }
  size_t fed() const { return rows.fed(); }
};

struct Outcome {
  Inflated::Kind kind;
  std::string text;
  Bytes rgb, alpha, filters;
  bool bad_row;
};

Outcome decode(const ByteSource &src, const std::vector<ChunkRecord> &chunks, int32_t w, int32_t h, int ch,
               bool zlib_only) {
  const PngSizes s = png_sizes(w, h, ch).value;
  auto fresh = [&] {
    return Planes{StreamUnfilter(w, h, ch), Bytes(size_t(s.rgb_bytes)), Bytes(ch == 4 ? size_t(s.area) : 0),
                  Bytes(size_t(h))};
  };
  Planes p = fresh();
  const size_t expected = size_t(s.raw_bytes);
  // The module's path rebuilds the rows on another thread than the one
  // inflating (run_alongside) for larger streams: here for every one.
  IdatDecoder decoder(src, chunks, expected, zlib_only || kZlibOnly);
  Inflated r = zlib_only ? *decoder.run(p) : run_alongside(decoder, p);
  if (r.kind != Inflated::Done && !zlib_only && !kZlibOnly) {
    r = zlib_verdict(src, chunks, expected);
    if (r.kind == Inflated::Done) {
      p = fresh();
      r = *IdatDecoder(src, chunks, expected, true).run(p);
    }
  }
  if (r.kind != Inflated::Done) return {r.kind, r.kind == Inflated::Corrupt ? decompress_error_text(r.error) : "", {}, {}, {}, false};
  return {r.kind, "", p.rgb, p.alpha, p.filters, !p.rows.result()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in{{data, size}};
  const int32_t w = in.byte() % 65, h = in.byte() % 65;
  const int ch = in.byte() & 1 ? 4 : 3;
  std::vector<size_t> cuts(in.byte() % 8);
  for (size_t &c : cuts) c = in.byte();
  // The rest is the IDAT data, cut into chunks as the piece lengths say.
  const ByteSource src(in.s);
  std::vector<ChunkRecord> chunks;
  size_t at = 0;
  for (size_t c : cuts) {
    const size_t n = std::min(c, in.s.size() - at);
    chunks.push_back({{'I', 'D', 'A', 'T'}, int64_t(at), uint32_t(n), {}});
    at += n;
  }
  chunks.push_back({{'I', 'D', 'A', 'T'}, int64_t(at), uint32_t(in.s.size() - at), {}});

  const Outcome module = decode(src, chunks, w, h, ch, false), zlib = decode(src, chunks, w, h, ch, true);
  const bool lenient = module.kind == Inflated::Done && zlib.kind == Inflated::Corrupt &&
                       (zlib.text.find("distances set") != std::string::npos ||
                        zlib.text.find("literal/lengths set") != std::string::npos ||
                        zlib.text.find("code lengths set") != std::string::npos);
  if (!lenient) {
    FUZZ_CHECK(module.kind == zlib.kind);
    FUZZ_CHECK(module.text == zlib.text);
    FUZZ_CHECK(module.rgb == zlib.rgb && module.alpha == zlib.alpha && module.filters == zlib.filters);
    FUZZ_CHECK(module.bad_row == zlib.bad_row);
  }
  return 0;
}
