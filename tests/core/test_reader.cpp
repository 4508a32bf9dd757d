// The PNG reader of the core: the walk from memory and from a file alike, its errors at every cut, the header that counts, the re-read that
// checks every CRC again, and planes that are made whole only for data that
// can fill them.
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "planes.hpp"
#include "png/reader.hpp"

using namespace corvane;
using Bytes = std::vector<uint8_t>;

namespace {

void put32(Bytes &b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

Bytes chunk(const char *type, const Bytes &data) {
  Bytes c;
  put32(c, uint32_t(data.size()));
  for (int i = 0; i < 4; ++i) c.push_back(uint8_t(type[i]));
  for (uint8_t b : data) c.push_back(b);
  put32(c, chunk_crc32(chunk_crc32(0, {reinterpret_cast<const uint8_t *>(type), 4}), data));
  return c;
}

Bytes ihdr(uint32_t w, uint32_t h, uint8_t colour = 2, uint8_t depth = 8) {
  Bytes d;
  put32(d, w);
  put32(d, h);
  d.insert(d.end(), {depth, colour, 0, 0, 0});
  return d;
}

Bytes compress(const Bytes &raw) {
  uLongf n = compressBound(uLong(raw.size()));
  Bytes out(n);
  compress2(out.data(), &n, raw.data(), uLong(raw.size()), 6);
  out.resize(n);
  return out;
}

// The scanline stream of a w x h RGB image whose rows are all of type 0.
Bytes raw_rows(uint32_t w, uint32_t h, uint8_t seed) {
  Bytes raw;
  for (uint32_t y = 0; y < h; ++y) {
    raw.push_back(0);
    for (uint32_t i = 0; i < w * 3; ++i) raw.push_back(uint8_t(seed + y * 7 + i));
  }
  return raw;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A file holding `bytes`, removed when done.
struct TempFile {
  std::FILE *f = std::tmpfile();
  explicit TempFile(const Bytes &bytes) { write(bytes); }
  ~TempFile() { std::fclose(f); }
  void write(const Bytes &bytes) const { CHECK(pwrite(fileno(f), bytes.data(), bytes.size(), 0) == ssize_t(bytes.size())); }
  ByteSource source() const { return ByteSource(fileno(f), 0, ByteSource::seekable_size(fileno(f))); }
};

// Planes whose begin() runs a hook first (to change the file under the reader).
struct HookedPlanes final : PlaneHost {
  testing::VectorPlanes planes;
  std::function<void()> on_begin;
  bool begin(const ImageLayout &l, bool whole, PlaneRoom &room) override {
    if (on_begin) on_begin();
    return planes.begin(l, whole, room);
  }
  bool grow(int64_t rows, PlaneRoom &room) override { return planes.grow(rows, room); }
};

struct Read {
  PngRead r;
  testing::VectorPlanes planes;
};

Read read_memory(const Bytes &png) {
  Read out;
  out.r = read_png(ByteSource(png), out.planes, ImageData::Inflate);
  return out;
}

bool same_walk(const PngRead &a, const PngRead &b) {
  if (a.walk.err != b.walk.err || a.image.err != b.image.err || a.chunks.size() != b.chunks.size()) return false;
  for (size_t i = 0; i < a.chunks.size(); ++i)
    if (a.chunks[i].type != b.chunks[i].type || a.chunks[i].at != b.chunks[i].at ||
        a.chunks[i].length != b.chunks[i].length || a.chunks[i].crc != b.chunks[i].crc)
      return false;
  return true;
}

const Bytes kRaw = raw_rows(5, 4, 1);
const Bytes kPng = cat({chunk("IHDR", ihdr(5, 4)), chunk("tEXt", {'a', 0, 'b'}), chunk("IDAT", compress(kRaw)),
                        chunk("IEND", {})});

void test_sources_agree() {
  const Bytes tail = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const Bytes file = cat({kPng, tail});
  const Read mem = read_memory(file);
  CHECK(mem.r.walk && mem.r.image);
  CHECK(mem.r.chunks.size() == 4 && mem.r.chunks[3].is("IEND"));
  CHECK(mem.planes.rgb.size() == 60 && mem.planes.filters == Bytes(4, 0));
  for (size_t i = 0; i < 60; ++i) CHECK(mem.planes.rgb[i] == kRaw[1 + i / 15 * 16 + i % 15]);

  TempFile f(file);
  testing::VectorPlanes fp;
  const PngRead from_file = read_png(f.source(), fp, ImageData::Inflate);
  CHECK(same_walk(mem.r, from_file) && fp.rgb == mem.planes.rgb);
  CHECK(from_file.chunks[1].data == Bytes({'a', 0, 'b'}));  // kept, for a file

  // A file read in blocks of 4 KiB: every field and piece of data falls
  // across a block's end somewhere.
  const Bytes raw = raw_rows(40, 30, 2), z = compress(raw);
  Bytes many = chunk("IHDR", ihdr(40, 30));
  for (int i = 0; i < 700; ++i) many = cat({many, chunk("tEXt", Bytes(size_t(i % 37), uint8_t(i)))});
  for (size_t at = 0, n = 1; at < z.size(); at += n, n = n % 7 + 1)
    many = cat({many, chunk("IDAT", Bytes(z.begin() + ptrdiff_t(at), z.begin() + ptrdiff_t(std::min(at + n, z.size()))))});
  many = cat({many, chunk("IEND", {})});
  const Read whole = read_memory(many);
  TempFile big(many);
  testing::VectorPlanes bp;
  const PngRead blocks = read_png(ByteSource(fileno(big.f), 0, 4096), bp, ImageData::Inflate);
  CHECK(many.size() > 3 * 4096 && whole.r.walk && whole.r.image);
  CHECK(same_walk(whole.r, blocks) && bp.rgb == whole.planes.rgb);
  for (size_t i = 0; i < whole.r.chunks.size(); ++i)
    if (!whole.r.chunks[i].is("IDAT")) CHECK(blocks.chunks[i].data_in(ByteSource(fileno(big.f), 0, 4096)).size() ==
                                             whole.r.chunks[i].length);
}

void test_every_cut() {
  // The fields in order: each cut inside one gives its error; a cut between
  // chunks is a clean end, with the chunks before it.
  for (size_t cut = 0; cut < kPng.size(); ++cut) {
    const Read r = read_memory(Bytes(kPng.begin(), kPng.begin() + ptrdiff_t(cut)));
    size_t start = 0, index = 0;
    for (; index < 4; ++index) {
      const size_t length = size_t(kPng[start]) << 24 | size_t(kPng[start + 1]) << 16 | size_t(kPng[start + 2]) << 8 | kPng[start + 3];
      if (cut < start + 12 + length) break;
      start += 12 + length;
    }
    const size_t length = size_t(kPng[start]) << 24 | size_t(kPng[start + 1]) << 16 | size_t(kPng[start + 2]) << 8 | kPng[start + 3];
    const size_t into = cut - start;
    const Err want = into == 0 ? Err::Ok : into < 4 ? Err::EofLength : into < 8 ? Err::EofType
                     : into < 8 + length ? Err::EofData : Err::EofCrc;
    CHECK(r.r.walk.err == want);
    CHECK(r.r.chunks.size() == index);
  }
}

void test_bad_crcs() {
  std::vector<size_t> length_fields;
  for (size_t at = 0; at < kPng.size();) {
    length_fields.push_back(at);
    at += 12 + (size_t(kPng[at + 2]) << 8 | kPng[at + 3]);
  }
  for (size_t at = 0; at < kPng.size(); ++at) {
    Bytes bad = kPng;
    bad[at] ^= 0x10;
    const Read r = read_memory(bad);
    bool in_length = false;
    for (size_t f : length_fields) in_length = in_length || (at >= f && at < f + 4);
    // A changed length makes the chunk end elsewhere: some error, whichever;
    // any other change is the CRC's to catch, at that chunk.
    CHECK(in_length ? !r.r.walk : r.r.walk.err == Err::BadCrc);
  }
}

void test_the_last_header_counts() {
  const Bytes data = compress(raw_rows(3, 2, 9));
  // Read against a header that a later one replaces: inflated again, from the
  // start, for the one that counts.
  const Bytes png = cat({chunk("IHDR", ihdr(9, 9, 2)), chunk("IDAT", data), chunk("IHDR", ihdr(3, 2)), chunk("IEND", {})});
  const Read r = read_memory(png);
  CHECK(r.r.walk && r.r.image && r.planes.begun == 2 && r.planes.rgb.size() == 18);
  // Data before any header: inflated once the header is known.
  const Bytes first = cat({chunk("IDAT", data), chunk("IHDR", ihdr(3, 2)), chunk("IEND", {})});
  const Read f = read_memory(first);
  CHECK(f.r.walk && f.r.image && f.planes.begun == 1 && f.planes.rgb == r.planes.rgb);
  // The same header twice: nothing is inflated again.
  const Bytes twice = cat({chunk("IHDR", ihdr(3, 2)), chunk("IDAT", data), chunk("IHDR", ihdr(3, 2)), chunk("IEND", {})});
  const Read t = read_memory(twice);
  CHECK(t.r.walk && t.r.image && t.planes.begun == 1 && t.planes.rgb == r.planes.rgb);
  // A last header that is refused is the glue's to refuse: nothing is
  // inflated for it.
  const Bytes refused = cat({chunk("IHDR", ihdr(3, 2)), chunk("IDAT", data), chunk("IHDR", ihdr(3, 2, 2, 16))});
  const Read x = read_memory(refused);
  CHECK(x.r.walk && x.planes.begun == 1);
}

void test_a_file_changed_before_it_is_read_again() {
  const Bytes data = compress(raw_rows(3, 2, 9)), other = compress(raw_rows(3, 2, 10));
  CHECK(data.size() == other.size());
  auto file_of = [](const Bytes &d) {
    return cat({chunk("IHDR", ihdr(9, 9, 2)), chunk("IDAT", d), chunk("IHDR", ihdr(3, 2)), chunk("IEND", {})});
  };
  const Bytes png = file_of(data), changed = file_of(other);
  TempFile f(png);
  HookedPlanes planes;
  int begun = 0;
  // The planes for the second header are made before the data is read again:
  // the file then holds other data, under its own (correct) CRC.
  planes.on_begin = [&] {
    if (++begun == 2) f.write(changed);
  };
  const PngRead r = read_png(f.source(), planes, ImageData::Inflate);
  CHECK(r.walk && r.image.err == Err::BadCrc);
  // Cut short instead: the data is no longer all there.
  TempFile g(png);
  planes.on_begin = [&] {
    if (++begun == 4) CHECK(ftruncate(fileno(g.f), 40) == 0);
  };
  const PngRead cut = read_png(g.source(), planes, ImageData::Inflate);
  CHECK(cut.walk && cut.image.err == Err::EofData);
}

void test_planes_made_whole_only_when_data_backs_them() {
  // 2000 x 2000 RGB with data for two rows: grown with the data, never whole.
  const Bytes two = compress(raw_rows(2000, 2, 3));
  const Bytes png = cat({chunk("IHDR", ihdr(2000, 2000)), chunk("IDAT", two), chunk("IEND", {})});
  const Read r = read_memory(png);
  CHECK(r.r.image.err == Err::Malformed && !r.planes.whole && r.planes.rgb.size() <= 2 * 6000);
  const Bytes full = compress(raw_rows(200, 200, 3));
  const Read w = read_memory(cat({chunk("IHDR", ihdr(200, 200)), chunk("IDAT", full), chunk("IEND", {})}));
  CHECK(w.r.image && w.planes.whole);
  // Planes that cannot grow: the host's lack of memory, not a verdict on the data.
  testing::VectorPlanes small;
  small.limit = 1;
  const PngRead n = read_png(ByteSource(png), small, ImageData::Inflate);
  CHECK(n.walk && n.image.err == Err::NoMemory);
}

void test_kept_idat() {
  const Bytes raw = raw_rows(4, 3, 5), z = compress(raw);
  const Bytes png = cat({chunk("IHDR", ihdr(4, 3)), chunk("IDAT", Bytes(z.begin(), z.begin() + 5)),
                         chunk("IDAT", Bytes(z.begin() + 5, z.end())), chunk("IEND", {})});
  TempFile f(png);
  testing::VectorPlanes planes;
  const PngRead r = read_png(f.source(), planes, ImageData::Keep);
  CHECK(r.walk && r.idat == z && planes.begun == 0);
  const PngRead m = read_png(ByteSource(png), planes, ImageData::Keep);
  CHECK(m.walk && m.idat == z && m.chunks.size() == 4 && planes.begun == 0);
}

void test_read_errors() {
  const ByteSource closed(-1, 0, 100);
  testing::VectorPlanes planes;
  const PngRead r = read_png(closed, planes, ImageData::Inflate);
  CHECK(r.walk.err == Err::Io && r.walk.detail == EBADF);
}

}  // namespace

int main() {
  test_sources_agree();
  test_every_cut();
  test_bad_crcs();
  test_the_last_header_counts();
  test_a_file_changed_before_it_is_read_again();
  test_planes_made_whole_only_when_data_backs_them();
  test_kept_idat();
  test_read_errors();
  return check::finish();
}
