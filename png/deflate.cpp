// png/deflate.cpp: the compressor of png/deflate.hpp.
#include "png/deflate.hpp"

#include <zlib.h>

#include <algorithm>

namespace corvane {

const char *linked_zlib_version() { return zlibVersion(); }

bool deflate_like_host(std::span<const uint8_t> data, std::vector<uint8_t> &out) {
  z_stream zs{};
  // What zlib.compress(data) sets up: deflateInit at Z_DEFAULT_COMPRESSION,
  // that is a 32 KiB window and memory level 8, the default strategy.
  if (deflateInit(&zs, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
  out.resize(deflateBound(&zs, uLong(data.size())));
  zs.next_out = out.data();
  int r = Z_OK;
  // zlib counts in uInt; the output was sized for all of it, so each call
  // takes its input whole.
  while (r == Z_OK) {
    const uInt give = uInt(std::min<size_t>(data.size(), 1u << 30));
    zs.next_in = const_cast<Bytef *>(data.data());
    zs.avail_in = give;
    zs.avail_out = uInt(std::min<size_t>(out.size() - zs.total_out, 1u << 30));
    r = deflate(&zs, give == data.size() ? Z_FINISH : Z_NO_FLUSH);
    data = data.subspan(give - zs.avail_in);
  }
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return r == Z_STREAM_END;
}

}  // namespace corvane
