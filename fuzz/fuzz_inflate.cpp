// fuzz/fuzz_inflate.cpp: the IDAT stage's policy, as the decoder runs it
// (inflate_pieces: igzip, on a thread of its own beside the rows for larger
// streams, then zlib's verdict and words for a stream igzip does not take to
// its end), against zlib alone in one inflate call whose room ends at the
// first byte too many. Both must end the same way, with the same zlib code
// and text, and the same rows. The one difference allowed is igzip's known
// leniency: it takes a Huffman code that does not fill its code space, where
// zlib refuses it; igzip's output then passed the stream's checksum.
// Input: width, height, flags (1: 4 channels, 2: 12 times the size), piece count, piece lengths
// (one byte each: how the data is cut into pieces), then the zlib data.
#include <zlib.h>

#include <cstring>
#include <string>

#include "fuzz/fuzz.hpp"
#include "png/inflate.hpp"
#include "png/reader.hpp"
#include "tests/core/planes.hpp"

using namespace corvane;
using fuzz::Bytes;

namespace {

struct Outcome {
  Err err;
  uint32_t detail;
  std::string text;
  Bytes rgb, alpha, filters;
};

Outcome module(std::span<const std::span<const uint8_t>> pieces, const ImageLayout &l) {
  testing::VectorPlanes p;
  const Failure f = inflate_pieces(pieces, l, p);
  if (!f) return {f.err, f.detail, f.err == Err::Zlib ? decompress_error_text(int32_t(f.detail), f.text) : "", {}, {}, {}};
  return {f.err, 0, "", p.rgb, p.alpha, p.filters};
}

Outcome zlib_alone(std::span<const uint8_t> data, const ImageLayout &l) {
  const size_t expected = l.expected();
  Bytes raw(expected + 1);
  z_stream zs{};
  FUZZ_CHECK(inflateInit(&zs) == Z_OK);
  zs.next_in = const_cast<Bytef *>(data.data());
  zs.avail_in = uInt(data.size());
  zs.next_out = raw.data();
  zs.avail_out = uInt(raw.size());
  int r;
  do r = inflate(&zs, Z_NO_FLUSH);
  while (r == Z_OK && zs.avail_in > 0 && zs.avail_out > 0);
  const size_t got = zs.total_out;
  const char *msg = zs.msg;
  inflateEnd(&zs);
  auto zlib_error = [&](int code, const char *text) {
    return Outcome{Err::Zlib, uint32_t(code), decompress_error_text(code, text), {}, {}, {}};
  };
  if (got > expected) return {Err::Malformed, 0, "", {}, {}, {}};
  if (r == Z_OK || r == Z_BUF_ERROR) return zlib_error(Z_BUF_ERROR, nullptr);  // the data ran out
  if (r != Z_STREAM_END) return zlib_error(r, msg);
  if (got != expected) return {Err::Malformed, 0, "", {}, {}, {}};
  Outcome o{Err::Ok, 0, "", Bytes(size_t(l.sizes.rgb_bytes)), Bytes(l.channels == 4 ? size_t(l.sizes.area) : 0),
            Bytes(size_t(l.height))};
  const Result<int32_t> rows =
      unfilter_image({raw.data(), expected}, l.width, l.height, l.channels, o.rgb, o.alpha, o.filters);
  if (!rows) return {rows.err, rows.detail, "", {}, {}, {}};
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in{{data, size}};
  const int32_t w = in.byte() % 65, ht = in.byte() % 65;
  const uint8_t flags = in.byte();
  // Flag 2 makes the image large enough for the rows to be rebuilt on
  // another thread than the one inflating.
  const int32_t scale = flags & 2 ? 12 : 1;
  PngHeader h;
  h.v[0] = w * scale, h.v[1] = ht * scale;
  h.v[2] = 8, h.v[3] = flags & 1 ? 6 : 2, h.v[4] = h.v[5] = h.v[6] = 0;
  ImageLayout l;
  FUZZ_CHECK(check_header(h, l));
  std::vector<std::span<const uint8_t>> pieces;
  std::vector<size_t> cuts(in.byte() % 8);
  for (size_t &c : cuts) c = in.byte();
  // The rest is the zlib data, cut into pieces as the lengths say.
  size_t at = 0;
  for (size_t c : cuts) {
    const size_t n = std::min(c, in.s.size() - at);
    pieces.push_back(in.s.subspan(at, n));
    at += n;
  }
  pieces.push_back(in.s.subspan(at));

  const Outcome ours = module(pieces, l), zlib = zlib_alone(in.s, l);
  const bool lenient = ours.err == Err::Ok && zlib.err == Err::Zlib &&
                       (zlib.text.find("distances set") != std::string::npos ||
                        zlib.text.find("literal/lengths set") != std::string::npos ||
                        zlib.text.find("code lengths set") != std::string::npos);
  if (!lenient) {
    FUZZ_CHECK(ours.err == zlib.err);
    FUZZ_CHECK(ours.detail == zlib.detail);
    FUZZ_CHECK(ours.text == zlib.text);
    FUZZ_CHECK(ours.rgb == zlib.rgb && ours.alpha == zlib.alpha && ours.filters == zlib.filters);
  }
  return 0;
}
