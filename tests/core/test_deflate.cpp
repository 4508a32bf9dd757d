// The compressor against zlib.compress's setup (compress2 at the default
// level): the same bytes whether the stream comes whole or in pieces, small
// or large enough to be compressed on a thread of its own.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "png/deflate.hpp"

using namespace corvane;
using Bytes = std::vector<uint8_t>;

static Bytes reference(const Bytes &raw) {
  uLongf n = compressBound(uLong(raw.size()));
  Bytes out(n);
  compress2(out.data(), &n, raw.data(), uLong(raw.size()), Z_DEFAULT_COMPRESSION);
  out.resize(n);
  return out;
}

int main() {
  std::mt19937 gen(13);
  int bad = 0;
  for (size_t size : {size_t(0), size_t(1), size_t(1000), size_t(300000), size_t(1300000)}) {
    Bytes raw(size);
    for (size_t i = 0; i < size; ++i) raw[i] = uint8_t(gen() % 7 == 0 ? gen() : i / 11);
    const Bytes want = reference(raw);
    {  // the whole stream as one piece
      PieceDeflater d(size, std::max<size_t>(size, 1));
      std::span<uint8_t> room = d.buffer();
      if (size) std::memcpy(room.data(), raw.data(), size);
      if (size) d.push(size);
      Bytes whole;
      bad += !d.finish(whole) || whole != want;
    }
    for (size_t unit : {size_t(1), size_t(151), size_t(4097), size_t(300001)}) {
      if (unit > 1 && size % unit != 0) continue;
      PieceDeflater d(size, unit);
      for (size_t at = 0; at < size;) {
        std::span<uint8_t> room = d.buffer();
        const size_t n = std::min(room.size(), size - at);
        std::memcpy(room.data(), raw.data() + at, n);
        d.push(n);
        at += n;
      }
      Bytes out;
      bad += !d.finish(out) || out != want;
    }
  }
  CHECK(bad == 0);
  {  // given up half-way: the worker stops, nothing hangs
    PieceDeflater d(1 << 22, 1);
    std::span<uint8_t> room = d.buffer();
    std::memset(room.data(), 7, room.size());
    d.push(room.size());
  }
  CHECK(true);
  return check::finish();
}
