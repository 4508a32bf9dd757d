// The inflaters against zlib itself: the same output whatever the piece sizes,
// the same verdict on broken streams, and zlib's own words for each error.
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "png/inflate.hpp"

using namespace corvane;
using Bytes = std::vector<uint8_t>;

static Bytes compress(const Bytes &raw, int level = 6) {
  uLongf n = compressBound(uLong(raw.size()));
  Bytes out(n);
  compress2(out.data(), &n, raw.data(), uLong(raw.size()), level);
  out.resize(n);
  return out;
}

// Inflates `z` fed in pieces of `in_piece` into pieces of `out_piece`: the
// output, and how it ended (End, Error, or NeedInput when input ran out).
struct Outcome {
  Bytes out;
  Inflater::Status status;
  std::string error;
};
static Outcome inflate_all(const Bytes &z, bool exact, size_t in_piece, size_t out_piece, size_t cap = 1 << 24) {
  Inflater inf(exact);
  Outcome o{{}, Inflater::Status::NeedInput, ""};
  Bytes buf(out_piece);
  for (size_t at = 0; at <= z.size() && o.out.size() <= cap;) {
    std::span<const uint8_t> in(z.data() + at, std::min(in_piece, z.size() - at));
    const size_t given = in.size();
    for (;;) {
      std::span<uint8_t> out(buf);
      o.status = inf.run(in, out);
      o.out.insert(o.out.end(), buf.begin(), buf.begin() + ptrdiff_t(buf.size() - out.size()));
      if (o.status != Inflater::Status::OutputFull) break;
    }
    at += given - in.size();
    if (o.status == Inflater::Status::End) return o;
    if (o.status == Inflater::Status::Error) {
      if (inf.exact()) o.error = decompress_error_text(int32_t(inf.error().detail), inf.error().text);
      return o;
    }
    if (at == z.size()) break;
  }
  return o;
}

static void test_crc() {
  std::mt19937 gen(3);
  Bytes data(100000);
  for (auto &b : data) b = uint8_t(gen());
  uint32_t ours = 0;
  uLong theirs = crc32(0, nullptr, 0);
  for (size_t at = 0; at < data.size();) {
    const size_t n = std::min<size_t>(gen() % 5000, data.size() - at);
    ours = chunk_crc32(ours, {data.data() + at, n});
    theirs = crc32(theirs, data.data() + at, uInt(n));
    at += n;
  }
  CHECK(ours == theirs);
  CHECK(chunk_crc32(0, {reinterpret_cast<const uint8_t *>("IEND"), 4}) == 0xAE426082u);
}

static void test_round_trips() {
  std::mt19937 gen(5);
  int bad = 0;
  for (int round = 0; round < 60; ++round) {
    Bytes raw(gen() % 300000);
    const int kind = round % 3;
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(kind == 0 ? gen() : kind == 1 ? i / 97 : gen() % 4);
    const Bytes z = compress(raw, int(gen() % 10));
    for (bool exact : {false, true}) {
      const Outcome o = inflate_all(z, exact, 1 + gen() % 70000, 1 + gen() % 300000);
      bad += o.status != Inflater::Status::End || o.out != raw;
    }
  }
  CHECK(bad == 0);
  const Outcome tiny = inflate_all(compress({1, 2, 3}), false, 1, 1);  // a byte at a time, header split
  CHECK(tiny.status == Inflater::Status::End && tiny.out == Bytes({1, 2, 3}));
}

static void test_errors() {
  Bytes raw(50000);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i * 7 / 13);
  const Bytes good = compress(raw);
  struct Case {
    const char *name;
    Bytes z;
    const char *text;  // zlib's, through the host's wording; nullptr: input runs out
  };
  Bytes checksum = good, header = good, window = good, dict = good;
  checksum.back() ^= 1;
  header[1] ^= 1;
  window[0] = 0x88;                     // CINFO 8: a 64 KiB window
  window[1] = uint8_t(31 - (0x88 * 256) % 31);
  dict[1] = uint8_t(0x20 | (31 - (0x78 * 256 + 0x20) % 31));  // FDICT
  const Case cases[] = {
      {"checksum", checksum, "Error -3 while decompressing data: incorrect data check"},
      {"header", header, "Error -3 while decompressing data: incorrect header check"},
      {"window", window, "Error -3 while decompressing data: invalid window size"},
      {"dictionary", dict, "Error 2 while decompressing data"},
      {"cut", Bytes(good.begin(), good.end() - 9), nullptr},
      {"empty", Bytes(), nullptr},
  };
  for (const Case &c : cases) {
    for (bool exact : {false, true}) {
      const Outcome o = inflate_all(c.z, exact, 1000, 4096);
      if (!c.text) {
        CHECK(o.status == Inflater::Status::NeedInput);
        continue;
      }
      CHECK(o.status == Inflater::Status::Error);
      if (exact && o.error != c.text) std::fprintf(stderr, "%s: %s\n", c.name, o.error.c_str());
      CHECK(!exact || o.error == c.text);
    }
  }
  CHECK(decompress_error_text(Z_BUF_ERROR, nullptr) == "Error -5 while decompressing data: incomplete or truncated stream");
}

// Broken streams get the same verdict from both inflaters: both accept with
// the same output, or both refuse. The one known exception: igzip takes a
// Huffman code that does not use up its code space, where zlib refuses it
// ("invalid distances set", ...); the output then still has to pass the
// stream's checksum.
static bool incomplete_code(const std::string &error) {
  return error.find("distances set") != std::string::npos || error.find("literal/lengths set") != std::string::npos ||
         error.find("code lengths set") != std::string::npos;
}

static void test_agreement() {
  std::mt19937 gen(11);
  int disagree = 0, lenient = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes raw(1 + gen() % 4000);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(round % 2 ? gen() % 3 : i / 5);
    Bytes z = compress(raw, 1 + int(gen() % 9));
    for (int flips = 1 + int(gen() % 3); flips > 0; --flips) z[gen() % z.size()] ^= uint8_t(1 << (gen() % 8));
    const Outcome fast = inflate_all(z, false, 1 + gen() % 600, 1 + gen() % 9000);
    const Outcome slow = inflate_all(z, true, 1 + gen() % 600, 1 + gen() % 9000);
    const bool fast_ok = fast.status == Inflater::Status::End, slow_ok = slow.status == Inflater::Status::End;
    if (fast_ok && !slow_ok && incomplete_code(slow.error) && fast.out == raw) {
      ++lenient;
      continue;
    }
    disagree += fast_ok != slow_ok || (fast_ok && fast.out != slow.out);
  }
  CHECK(disagree == 0);
  std::printf("igzip took %d incomplete Huffman codes that zlib refused\n", lenient);
}

static Bytes compress_window(const Bytes &raw, int window_bits) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&zs, uLong(raw.size())));
  zs.next_in = const_cast<Bytef *>(raw.data());
  zs.avail_in = uInt(raw.size());
  zs.next_out = out.data();
  zs.avail_out = uInt(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// An inflater's state is kept by its thread for the next one: nothing of a
// stream (its window, its header, where it stopped, its error) may reach the
// stream after it.
static void test_state_passed_on() {
  std::mt19937 gen(11);
  Bytes block(3000);
  for (auto &b : block) b = uint8_t(gen());
  Bytes far;  // matches 20,000 bytes back: beyond any small window
  for (int i = 0; i < 8; ++i) {
    far.insert(far.end(), block.begin(), block.end());
    far.resize(far.size() + 17000, uint8_t(i));
  }
  const Bytes narrow_raw(block.begin(), block.begin() + 400);
  const Bytes narrow = compress_window(narrow_raw, 9), wide = compress(far);
  Bytes broken = wide;
  broken.back() ^= 1;
  for (const bool exact : {false, true}) {
    for (int round = 0; round < 2; ++round) {
      const Outcome a = inflate_all(narrow, exact, 7, 100);
      CHECK(a.status == Inflater::Status::End && a.out == narrow_raw);
      const Outcome b = inflate_all(wide, exact, 4096, 1 << 16);
      CHECK(b.status == Inflater::Status::End && b.out == far);
      {
        // Left after its header and a little data, never finished.
        Inflater left(exact);
        std::span<const uint8_t> in(wide.data(), 40);
        Bytes room(1 << 16);
        std::span<uint8_t> out(room);
        CHECK(left.run(in, out) == Inflater::Status::NeedInput);
      }
      const Outcome c = inflate_all(broken, exact, 1 << 20, 1 << 20);
      CHECK(c.status == Inflater::Status::Error);
      const Outcome d = inflate_all(wide, exact, 1 << 20, 1 << 20);
      CHECK(d.status == Inflater::Status::End && d.out == far);
    }
  }
}

int main() {
  test_state_passed_on();
  test_crc();
  test_round_trips();
  test_errors();
  test_agreement();
  return check::finish();
}
