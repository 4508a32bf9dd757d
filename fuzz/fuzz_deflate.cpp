// fuzz/fuzz_deflate.cpp: the parallel compressor and its block writer against
// compress2 at zlib's default level. The input is a recipe for a stream
// (runs, copies from earlier, noise of a few levels, the
// input's own bytes) of up to 64 KiB, so that most streams span two 32 KiB
// segments and zlib's sliding window. Two checks:
//   - zlib's tokens of the whole stream, written again, are zlib's bytes
//     (unless zlib stored a block, which keeps no tokens);
//   - the parallel compressor, segments of 32 KiB on this thread, gives
//     zlib's bytes, or says it cannot and gives none.
// Input: size byte, then recipe ops (op, argument) until the stream is made.
#include <zlib.h>

#include "fuzz/fuzz.hpp"
#include "png/blocks.hpp"
#include "png/parallel.hpp"

using namespace corvane;
using fuzz::Bytes;

namespace {

Bytes make_stream(fuzz::Reader &r) {
  const size_t size = 512 + size_t(r.byte()) * 256;
  Bytes s;
  s.reserve(size);
  uint32_t x = 1;
  while (s.size() < size) {
    const uint8_t op = r.byte(), arg = r.byte();
    const size_t len = std::min<size_t>(size - s.size(), size_t(arg) * 8 + 3);
    switch (op % 5) {
      case 0:  // a run of one byte
        s.insert(s.end(), len, uint8_t(op >> 3));
        break;
      case 1: {  // a copy from up to 64 KiB back
        if (s.empty()) break;
        const size_t back = std::min(s.size(), size_t(op >> 3) * 2048 + arg + 1);
        for (size_t i = 0; i < len; ++i) s.push_back(s[s.size() - back]);
        break;
      }
      case 2:  // noise of 2 to 33 levels
        for (size_t i = 0; i < len; ++i) s.push_back(uint8_t((x = x * 1103515245u + 12345u) >> 16) % ((op >> 3) + 2));
        break;
      case 3:  // a ramp, as a filtered gradient looks
        for (size_t i = 0; i < len; ++i) s.push_back(uint8_t(i * (op >> 3) / 16));
        break;
      default:  // the input's own bytes, then zeros once it ends
        for (size_t i = 0; i < len; ++i) s.push_back(r.byte());
        break;
    }
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader r{{data, size}};
  const Bytes s = make_stream(r);
  uLongf n = compressBound(uLong(s.size()));
  Bytes want(n);
  FUZZ_CHECK(compress2(want.data(), &n, s.data(), uLong(s.size()), Z_DEFAULT_COMPRESSION) == Z_OK);
  want.resize(n);

  TokenReader tokens({want.data() + 2, want.size() - 6});
  Bytes again;
  ZlibBlockWriter writer(s, again);
  Token t;
  bool stored = false;
  while (!stored && tokens.next(t)) {
    stored = tokens.stored();
    writer.add(t);
  }
  if (!stored) {
    FUZZ_CHECK(!tokens.failed());
    FUZZ_CHECK(writer.finish(uint32_t(adler32(1, s.data(), uInt(s.size())))));
    FUZZ_CHECK(again == want);
  }

  Bytes got;
  if (parallel_compress(s, got, {0, 32u << 10})) FUZZ_CHECK(got == want);
  return 0;
}
