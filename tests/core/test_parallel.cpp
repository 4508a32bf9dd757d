// The block writer and the parallel compressor against compress2 at zlib's
// default level: zlib's own tokens written again must be zlib's bytes; the
// parallel compressor must give zlib's bytes by every plan, or say that it
// cannot (the streaming form then gives them by one zlib call).
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "png/blocks.hpp"
#include "png/parallel.hpp"

using namespace corvane;
using Bytes = std::vector<uint8_t>;

static Bytes zlib_compress(const Bytes &raw) {
  uLongf n = compressBound(uLong(raw.size()));
  Bytes out(n);
  compress2(out.data(), &n, raw.data(), uLong(raw.size()), Z_DEFAULT_COMPRESSION);
  out.resize(n);
  return out;
}

static uint32_t adler(const Bytes &raw) { return uint32_t(adler32(1, raw.data(), uInt(raw.size()))); }

// Streams that look like filtered rows, and some that do not.
enum Kind { Rows, Levels, Sparse, Text, Zeros, Noise, Unique, kKinds };
static Bytes stream(Kind kind, size_t size, uint32_t seed) {
  std::mt19937 g(seed);
  Bytes s(size);
  uint32_t lfsr = 0xace1u;
  for (size_t i = 0; i < size; ++i) {
    switch (kind) {
      case Rows: s[i] = i % 3001 == 0 ? uint8_t(g() % 5) : uint8_t((i % 3001) / 40 + g() % 3); break;
      case Levels: s[i] = uint8_t(g() % 4); break;
      case Sparse: s[i] = (i / 300) % 3 != 1 ? 0 : uint8_t(g()); break;
      case Text: s[i] = uint8_t("the quick brown fox jumps over the lazy dog "[(i * 7 + g() % 3) % 44]); break;
      case Zeros: s[i] = 0; break;
      case Noise: s[i] = uint8_t(g()); break;
      case Unique:  // bytes of a 24-bit maximal LFSR: no three bytes recur, so no match at all
        for (int b = 0; b < 8; ++b) lfsr = (lfsr >> 1) ^ (-(lfsr & 1u) & 0xd80000u);
        s[i] = uint8_t(lfsr);
        break;
      default: break;
    }
  }
  return s;
}

// zlib's tokens of the whole stream, written again; false when zlib stored a
// block (its tokens are gone), else whether the bytes are zlib's.
static int rewritten(const Bytes &raw, bool &compared) {
  const Bytes want = zlib_compress(raw);
  TokenReader r({want.data() + 2, want.size() - 6});
  Bytes out;
  ZlibBlockWriter w(raw, out);
  Token t;
  compared = false;
  while (r.next(t)) {
    if (r.stored()) return 0;
    w.add(t);
  }
  compared = true;
  return !r.failed() && w.finish(adler(raw)) && out == want;
}

static void test_rewrite() {
  int bad = 0, compared = 0;
  for (int kind = 0; kind < kKinds; ++kind) {
    for (size_t size : {size_t(1), size_t(2), size_t(259), size_t(40000), size_t(65535), size_t(65536),
                        size_t(65537), size_t(70000), size_t(300000), size_t(1500000)}) {
      bool c;
      bad += !rewritten(stream(Kind(kind), size, uint32_t(size)), c) && c;
      compared += c || kind >= Noise;  // zlib stores noise, so those are not compared
      if (!c && kind < Noise) std::printf("not compared: kind %d size %zu\n", kind, size);
    }
  }
  CHECK(bad == 0);
  CHECK(compared == kKinds * 10);
}

// Blocks that end on the stream's last token, a literal or a match, and on
// the one before: zlib tallies a last literal without cutting its block.
static void test_block_ends() {
  int bad = 0;
  // Literals only: each block is 16,383 bytes, stored (no match in them)
  // and written from the tokens, which are the bytes.
  for (size_t blocks : {1, 2, 5})
    for (int d = -2; d <= 2; ++d) {
      const Bytes raw = stream(Unique, blocks * 16383 + size_t(d + 2), 7);
      const Bytes want = zlib_compress(raw);
      Bytes out;
      ZlibBlockWriter w(raw, out);
      for (uint8_t c : raw) w.add(Token::literal(c));
      bad += !w.finish(adler(raw)) || out != want;
    }
  // Matches and literals: grow a stream until its token count passes the
  // block size, so that the last token lands on either side of the cut.
  for (Kind kind : {Text, Levels, Rows}) {
    const Bytes full = stream(kind, 200000, 3);
    const Bytes z = zlib_compress(full);
    TokenReader r({z.data() + 2, z.size() - 6});
    Token t;
    size_t pos = 0, count = 0, cut = 0;
    while (r.next(t) && count < 16383) pos += t.length(), ++count;
    cut = pos;
    for (size_t size = cut > 40 ? cut - 40 : 1; size < cut + 40; ++size) {
      bool c;
      bad += !rewritten(Bytes(full.begin(), full.begin() + long(size)), c) && c;
    }
  }
  CHECK(bad == 0);
}

static void test_parallel() {
  CHECK(parallel_reproduces_zlib());
  int bad = 0, spliced = 0, refused = 0;
  for (int kind = 0; kind < kKinds; ++kind) {
    for (size_t size : {size_t(50000), size_t(200000), size_t(1100000)}) {
      const Bytes raw = stream(Kind(kind), size, 11);
      const Bytes want = zlib_compress(raw);
      for (unsigned threads : {0u, 2u, 3u})
        for (size_t seg : {size_t(32768), size_t(65536), size_t(262144)}) {
          Bytes got;
          if (parallel_compress(raw, got, {threads, seg})) {
            bad += got != want;
            ++spliced;
          } else {
            ++refused;
          }
        }
    }
  }
  CHECK(bad == 0);
  CHECK(spliced >= 100);  // the image-like kinds splice by every plan
  CHECK(refused > 0);     // noise (stored blocks) and zeros (no shared step) do not
}

// The streaming form, fed in pieces of whole rows as the encoder feeds it:
// zlib's bytes whether the splice holds or it falls back to one call.
static void test_streaming() {
  int bad = 0;
  for (Kind kind : {Rows, Noise, Zeros, Text}) {
    for (size_t unit : {size_t(1), size_t(3001), size_t(11521)}) {
      const size_t size = unit * (1500000 / unit);
      const Bytes raw = stream(kind, size, 5);
      ParallelDeflater d(raw.size(), unit, {2, 65536});
      for (size_t at = 0; at < raw.size();) {
        std::span<uint8_t> room = d.buffer();
        bad += room.empty() || room.size() % unit != 0;
        const size_t n = std::min(room.size(), raw.size() - at);
        std::memcpy(room.data(), raw.data() + at, n);
        d.push(n);
        at += n;
      }
      Bytes out;
      bad += !d.finish(out) || out != zlib_compress(raw);
    }
  }
  {  // given up before the stream is whole: the workers stop, nothing hangs
    ParallelDeflater d(1 << 22, 1, {2, 65536});
    std::span<uint8_t> room = d.buffer();
    std::memset(room.data(), 1, room.size());
    d.push(room.size());
  }
  CHECK(bad == 0);
}

int main() {
  test_rewrite();
  test_block_ends();
  test_parallel();
  test_streaming();
  return check::finish();
}
