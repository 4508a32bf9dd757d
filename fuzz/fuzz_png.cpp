// fuzz/fuzz_png.cpp: the PNG reader of the core, as the decoder runs it. The
// same bytes read from memory and from a file must give the same chunks, the
// same verdict and the same planes; and where the walk ends well under a
// header that passes, the image must be what the IDAT stage makes of the IDAT
// data handed over as pieces (the path of a caller's stream).
// Input: a PNG after its signature.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fuzz/fuzz.hpp"
#include "png/reader.hpp"
#include "tests/core/planes.hpp"

using namespace corvane;
using fuzz::Bytes;

namespace {

struct Outcome {
  PngRead read;
  testing::VectorPlanes planes;
};

bool same(const Outcome &a, const Outcome &b) {
  if (a.read.walk.err != b.read.walk.err || a.read.chunks.size() != b.read.chunks.size()) return false;
  for (size_t i = 0; i < a.read.chunks.size(); ++i)
    if (a.read.chunks[i].type != b.read.chunks[i].type || a.read.chunks[i].length != b.read.chunks[i].length ||
        a.read.chunks[i].crc != b.read.chunks[i].crc)
      return false;
  if (!a.read.walk) return true;
  return a.read.image.err == b.read.image.err && a.read.image.detail == b.read.image.detail &&
         (!a.read.image || (a.planes.rgb == b.planes.rgb && a.planes.alpha == b.planes.alpha &&
                            a.planes.filters == b.planes.filters));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::span<const uint8_t> png(data, size);

  Outcome memory;
  memory.read = read_png(ByteSource(png), memory.planes, ImageData::Inflate);

  Outcome file;
  std::FILE *f = std::tmpfile();
  FUZZ_CHECK(f && (png.empty() || write(fileno(f), png.data(), png.size()) == ssize_t(png.size())));
  file.read = read_png(ByteSource(fileno(f), 0, int64_t(png.size())), file.planes, ImageData::Inflate);
  std::fclose(f);
  FUZZ_CHECK(same(memory, file));

  // The chunks as recorded, with the last header's layout, through the path
  // that gets the IDAT data as pieces.
  const PngRead &r = memory.read;
  if (!r.walk) return 0;
  PngHeader h;
  ImageLayout l;
  bool header = false;
  std::vector<std::span<const uint8_t>> idat;
  for (const ChunkRecord &c : r.chunks) {
    if (c.is("IHDR")) header = parse_ihdr(c.data_in(ByteSource(png)), h);
    if (c.is("IDAT")) idat.push_back(png.subspan(size_t(c.at), c.length));
  }
  if (!header || !check_header(h, l)) return 0;
  testing::VectorPlanes planes;
  const Failure f2 = inflate_pieces(idat, l, planes);
  FUZZ_CHECK(f2.err == r.image.err && f2.detail == r.image.detail);
  if (f2) FUZZ_CHECK(planes.rgb == memory.planes.rgb && planes.alpha == memory.planes.alpha &&
                     planes.filters == memory.planes.filters);
  return 0;
}
