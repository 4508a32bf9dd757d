// png/decode.cpp: the PNG decoder. Reads the signature and every chunk up to
// IEND (recording each, IDAT with its length only), checks the header,
// inflates the joined IDAT data once and reconstructs the rows straight into
// the image's planes (png/scanline.hpp).
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "module/args.hpp"
#include "module/buffer.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/host.hpp"
#include "module/messages.hpp"
#include "module/plane.hpp"
#include "module/unpack.hpp"
#include "png/idat.hpp"
#include "png/inflate.hpp"
#include "png/png.hpp"
#include "png/scanline.hpp"
#include "png/walk.hpp"

namespace corvane {
namespace {

// The next chunk through the module's _readChunk; the module's own is run
// directly, without a round trip through a call.
PyObject *next_chunk(PyObject *fn, PyObject *stream) {
  Ref reader = Ref::steal(global(fn, "_readChunk"));
  if (!reader) return nullptr;
  if (reader.get() == host.read_chunk) return read_chunk(fn, stream);
  return call(reader.get(), stream);
}

// The IHDR values, -1 until a header is read.
struct Header {
  int32_t v[7] = {-1, -1, -1, -1, -1, -1, -1};
  int32_t width() const { return v[0]; }
  int32_t height() const { return v[1]; }
  bool complete() const {
    for (int32_t x : v)
      if (x == -1) return false;
    return true;
  }
};

int read_header(PyObject *fn, PyObject *data, Header &h) {
  Ref values = Ref::steal(struct_call(fn, "unpack", ">IIBBBBB", data));
  if (!values) return -1;
  Ref item[7];
  if (unpack_exact(values.get(), item, 7) < 0) return -1;
  Header next;
  for (int i = 0; i < 7; ++i)
    if (to_i32(item[i].get(), &next.v[i]) < 0) return -1;
  h = next;
  return 0;
}

// One chunk as read: its type and its data, which for an IDAT chunk read from
// a file in blocks may instead be the pieces it spans, in order.
struct Chunk {
  Ref type, data;
  std::vector<Ref> pieces;
  size_t pieces_size = 0;
};

// _readChunk's reading of a file held in memory or read from a file the
// front door opened, for a stream only the front door reads, with the
// module's own _readChunk, struct and zlib: the same chunks, the same errors
// in the same order, without a read call or a copy per chunk. A file is read
// in blocks of at most kReadBlock bytes, only as far as the chunks go: what
// follows IEND is never read, and a length field that lies costs no more
// than the file holds. Chunk data comes as views of the blocks.
class BlockChunks {
 public:
  static constexpr long long kReadBlock = 1 << 20;

  // The chunks of `held` (exact bytes) from `start` on; then, with `stream`,
  // of what it reads.
  BlockChunks(PyObject *stream, PyObject *held, size_t start) : stream_(stream) {
    if (held) set_block(Ref::borrow(held), start);
  }

  int next(Chunk &c) {
    uint8_t field[4];
    size_t got;
    if (take(field, 4, got) < 0) return -1;
    if (got == 0) {  // a clean end: the (b"", b"") of _readChunk
      c.type = Ref::borrow(host.empty_bytes);
      c.data = Ref::borrow(host.empty_bytes);
      return 0;
    }
    if (got < 4) return fail(value_error(msg::kEofLength));
    const uint32_t length = be32(field);
    if (take(field, 4, got) < 0) return -1;
    if (got < 4) return fail(value_error(msg::kEofType));
    if (!(c.type = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(field), 4)))) return -1;
    Ref crc = Ref::steal(call(host.zlib_crc32, c.type.get()));
    if (!crc || data(c, length, crc) < 0) return -1;
    if (take(field, 4, got) < 0) return -1;
    if (got < 4) return fail(value_error(msg::kEofCrc));
    const unsigned long actual = PyLong_AsUnsignedLong(crc.get());
    if (actual == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    return (actual & 0xFFFFFFFFul) == be32(field) ? 0 : fail(value_error(msg::kBadCrc));
  }

 private:
  static uint32_t be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  }
  size_t left() const { return bytes_.size() - pos_; }
  void set_block(Ref block, size_t start) {
    block_ = std::move(block);
    bytes_ = {reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(block_.get())), size_t(PyBytes_GET_SIZE(block_.get()))};
    pos_ = std::min(start, bytes_.size());
    sliced_ = false;
  }
  // The next block from the stream when this one is used up: 1 with bytes
  // to read, 0 at the end of the file, -1 with an error.
  int refill() {
    if (left() > 0) return 1;
    if (!stream_) return 0;
    Ref block = Ref::steal(stream_read(stream_, kReadBlock));
    if (block && !PyBytes_CheckExact(block.get())) block = Ref::steal(PyBytes_FromObject(block.get()));
    if (!block) return -1;
    if (PyBytes_GET_SIZE(block.get()) == 0) {
      stream_ = nullptr;
      return 0;
    }
    set_block(std::move(block), 0);
    return 1;
  }
  // Up to n (at most 4) bytes into `out`, across blocks; `got` says how many.
  int take(uint8_t *out, size_t n, size_t &got) {
    for (got = 0; got < n;) {
      int r = refill();
      if (r <= 0) return r;
      const size_t k = std::min(n - got, left());
      std::memcpy(out + got, bytes_.data() + pos_, k);
      pos_ += k;
      got += k;
    }
    return 0;
  }
  // The chunk's `length` data bytes as views of the blocks, the CRC
  // continued over each.
  int data(Chunk &c, uint32_t length, Ref &crc) {
    for (size_t need = length;;) {
      int r = refill();
      if (r < 0) return -1;
      if (r == 0) {
        if (need == 0) break;
        return fail(value_error(msg::kEofData));
      }
      const size_t k = std::min(need, left());
      if (!sliced_ && (sliced_ = true) && slices_.init(block_.get()) < 0) return -1;
      Ref piece = Ref::steal(slices_.slice(Py_ssize_t(pos_), Py_ssize_t(pos_ + k)));
      crc = Ref::steal(piece ? call(host.zlib_crc32, piece.get(), crc.get()) : nullptr);
      if (!crc) return -1;
      c.pieces.push_back(std::move(piece));
      pos_ += k;
      if ((need -= k) == 0) break;
    }
    c.pieces_size = length;
    if (c.pieces.size() == 1) {
      c.data = std::move(c.pieces.front());
      c.pieces.clear();
    } else if (c.pieces.empty()) {
      c.data = Ref::borrow(host.empty_bytes);
    } else if (std::memcmp(PyBytes_AS_STRING(c.type.get()), "IDAT", 4) != 0) {
      // Only image data is kept in pieces; other chunks go whole into the list.
      Ref list = Ref::steal(PyList_New(0));
      for (const Ref &piece : c.pieces)
        if (!list || PyList_Append(list.get(), piece.get()) < 0) return -1;
      if (!(c.data = Ref::steal(call_method(host.empty_bytes, "join", list.get())))) return -1;
      c.pieces.clear();
    }
    return 0;
  }

  PyObject *stream_;  // nullptr once it has ended
  Ref block_;
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  Slices slices_;
  bool sliced_ = false;
};

// Whether the names the chunk reading uses are the module's own and the
// host's: only then may it run over memory instead of through _readChunk.
bool genuine_chunk_reading(PyObject *fn) {
  Ref reader = Ref::steal(global(fn, "_readChunk")), st = Ref::steal(global(fn, "struct")),
      zlib = Ref::steal(global(fn, "zlib"));
  Ref unpack = Ref::steal(st ? attr(st.get(), "unpack") : nullptr);
  Ref crc32 = Ref::steal(zlib ? attr(zlib.get(), "crc32") : nullptr);
  PyErr_Clear();  // a name that is missing only rules the fast path out
  return reader.get() == host.read_chunk && st.get() == host.struct_module && unpack.get() == host.struct_unpack &&
         zlib.get() == host.zlib && crc32.get() == host.zlib_crc32;
}

// The next (type, data) through the module's _readChunk.
int next_through_reader(PyObject *fn, PyObject *stream, Chunk &c) {
  Ref result = Ref::steal(next_chunk(fn, stream));
  Ref pair[2];
  if (!result || unpack_exact(result.get(), pair, 2) < 0) return -1;
  c.type = std::move(pair[0]);
  c.data = std::move(pair[1]);
  return 0;
}

// Reads chunks up to IEND or a clean end, recording each in `chunks` and
// gathering IDAT data in `idat`. `next` fills in each chunk; with `views`,
// data is a view of the file, copied for the chunk list.
template <class Next>
int read_chunks(PyObject *fn, Next &&next, bool views, PyObject *chunks, PyObject *idat, Header &header) {
  for (;;) {
    Chunk c;
    if (next(c) < 0) return -1;
    PyObject *type = c.type.get();
    int r;
    if ((r = chunk_type_is(type, "", 0)) != 0) return r < 0 ? -1 : 0;
    Py_ssize_t n = Py_ssize_t(c.pieces_size);
    if (c.pieces.empty()) {
      if ((r = chunk_type_is(type, "IHDR")) < 0 || (r && read_header(fn, c.data.get(), header) < 0)) return -1;
      if ((n = PyObject_Size(c.data.get())) < 0) return -1;
    }
    Ref length = Ref::steal(PyLong_FromSsize_t(n));
    if (!length) return -1;
    if ((r = chunk_type_is(type, "IDAT")) < 0) return -1;
    Ref record;
    if (r) {
      if (c.pieces.empty() && PyList_Append(idat, c.data.get()) < 0) return -1;
      for (const Ref &piece : c.pieces)
        if (PyList_Append(idat, piece.get()) < 0) return -1;
      record = Ref::steal(PyTuple_Pack(3, type, Py_None, length.get()));
    } else {
      Ref kept = views ? Ref::steal(PyBytes_FromObject(c.data.get())) : Ref::borrow(c.data.get());
      record = Ref::steal(kept ? PyTuple_Pack(3, type, kept.get(), length.get()) : nullptr);
    }
    if (!record || PyList_Append(chunks, record.get()) < 0) return -1;
    if ((r = chunk_type_is(type, "IEND")) != 0) return r < 0 ? -1 : 0;
  }
}

int check_header(const Header &h) {
  if (!h.complete()) return fail(value_error(msg::kIncompleteHeader));
  if (h.v[2] != 8) return fail(value_error(msg::kOnly8Bit));
  if (h.v[3] != 2 && h.v[3] != 6) return fail(value_error(msg::kOnlyRgb));
  if (h.v[4] != 0 || h.v[5] != 0 || h.v[6] != 0)
    return fail(value_error(msg::kPngConfiguration));
  return 0;
}

[[gnu::cold]] PyObject *malformed() { return value_error(msg::kMalformed); }

// What the host's zlib.decompress raises for a stream that ends before its
// end marker: zlib's Z_BUF_ERROR (-5), which sets no message of its own.
[[gnu::cold]] PyObject *truncated_stream() {
  return raise(host.zlib_error, "Error -5 while decompressing data: incomplete or truncated stream");
}

// Where the decompressed stream goes: straight into the row reconstruction,
// so the stream itself is never held whole. Planes of a modest size are made
// whole at once; larger ones grow with the rows completed, so that a header's
// claimed size is never reserved before data backs it.
class RowSink {
 public:
  // What a header may cost before its data backs it.
  static constexpr int64_t kWholeAtOnce = 64 << 20;

  RowSink(int32_t width, int32_t height, int channels, const PngSizes &s)
      : width_(width), height_(height), expected_(s.raw_bytes), channels_(channels), rgb_(s.rgb_bytes),
        alpha_(channels == 4 ? s.area : 0), filters_(height), rows_(width, height, channels) {}
  int init() {
    const bool whole = int64_t(rgb_.total()) + alpha_.total() + filters_.total() <= kWholeAtOnce;
    if (rgb_.init(whole) < 0 || alpha_.init(whole) < 0 || filters_.init(whole) < 0) return -1;
    if (whole) room_rows_ = height_;
    look_up();
    return 0;
  }

  // Whether the planes were made whole: no room ever to be made.
  bool whole() const { return room_rows_ >= height_; }
  // Whether the rows that n more bytes complete have their room already.
  bool has_room(size_t n) const { return rows_.rows_after(n) <= room_rows_; }
  // Makes that room (the interpreter's lock held).
  int make_room(size_t n) {
    const int64_t rows = rows_.rows_after(n);
    if (rows <= room_rows_) return 0;
    if (rgb_.reserve(rows * width_ * 3) < 0 || alpha_.reserve(channels_ == 4 ? rows * width_ : 0) < 0 ||
        filters_.reserve(rows) < 0)
      return -1;
    room_rows_ = rows;
    look_up();
    return 0;
  }
  // Reconstructs rows from n more bytes, within the room made for them. Needs
  // no interpreter lock; false when memory for a split row was not had.
  bool feed_rows(std::span<const uint8_t> bytes) { return rows_.feed(bytes, rgb_room_, alpha_room_, filter_room_); }

  int feed(std::span<const uint8_t> bytes) {
    if (make_room(bytes.size()) < 0) return -1;
    return feed_rows(bytes) ? 0 : (PyErr_NoMemory(), -1);
  }
  size_t fed() const { return rows_.fed(); }
  // Back to the first row, for a stream that is fed again from its start.
  void restart() { rows_ = StreamUnfilter(int32_t(width_), int32_t(height_), channels_); }

  // The planes, once the whole stream was fed: a bad row's error otherwise.
  // What was fed is counted here, whatever any length said: planes whose
  // bytes were not all written are never handed out.
  int finish(Loaded &out) {
    if (rows_.fed() != size_t(expected_)) return fail(malformed());
    Result<int32_t> r = rows_.result();
    if (!r) return fail(raise_core(r));
    rgb_.set_filled(int64_t(width_) * height_ * 3);
    filters_.set_filled(height_);
    if (!(out.pixels = Ref::steal(rgb_.finish())) || !(out.png_filters = Ref::steal(filters_.finish()))) return -1;
    if (channels_ == 3) {
      out.alpha = Ref::borrow(Py_None);
      return 0;
    }
    alpha_.set_filled(int64_t(width_) * height_);
    return (out.alpha = Ref::steal(alpha_.finish())) ? 0 : -1;
  }

 private:
  // The planes' memory, looked up while the lock is held: on PyPy that is a
  // call into the host.
  void look_up() {
    rgb_room_ = rgb_.room();
    alpha_room_ = alpha_.room();
    filter_room_ = filters_.room();
  }

  int64_t width_, height_, expected_;
  int channels_;
  GrowingPlane rgb_, alpha_, filters_;
  StreamUnfilter rows_;
  int64_t room_rows_ = 0;
  std::span<uint8_t> rgb_room_, alpha_room_, filter_room_;
};

// Input is fed to the inflater in pieces of this size, and each call returns
// at most kOutputPiece bytes: no call can be made to produce more than the
// header allows, and what is in flight stays small.
constexpr Py_ssize_t kInputPiece = 64 << 10;
constexpr int64_t kOutputPiece = 256 << 10;

// zlib.decompress(data) through the module's zlib, fed to the sink and
// size-checked. With the host's own zlib it never inflates more than one
// byte past `expected`, so a few megabytes of crafted deflate data cannot
// cost gigabytes before the size check refuses them, and the data is
// inflated once: a corrupt stream gets the error its inflater raised, which
// is the one zlib.decompress gives it, and a stream that ends early the
// error zlib.decompress gives any stream cut short.
int inflate(PyObject *fn, PyObject *idat, int32_t expected, RowSink &sink) {
  Ref zlib = Ref::steal(global(fn, "zlib"));
  Ref plain = Ref::steal(zlib ? attr(zlib.get(), "decompress") : nullptr);
  if (!plain) return -1;
  // zlib.decompress(b"".join(idat)): joined only where it is called.
  auto whole = [&]() -> int {
    Ref data = Ref::steal(call_method(host.empty_bytes, "join", idat));
    Ref raw = Ref::steal(data ? call(plain.get(), data.get()) : nullptr);
    if (!raw) return -1;
    Py_ssize_t n = PyObject_Size(raw.get());
    if (n < 0) return -1;
    if (n != expected) return fail(malformed());
    // The size that counts is the buffer's: a len() may lie.
    BufferView view;
    if (view.get(raw.get()) < 0) return -1;
    if (view.size() != size_t(expected)) return fail(malformed());
    sink.restart();
    return sink.feed(view.bytes());
  };
  if (zlib.get() != host.zlib || plain.get() != host.zlib_decompress) return whole();

  // The IDAT pieces are joined by feeding them in turn: the joined data is
  // never made unless zlib.decompress must see it.
  Ref inflater = Ref::steal(call(host.zlib_decompressobj));
  if (!inflater) return -1;
  Slices input;  // the IDAT piece being fed
  Ref pending;  // input the inflater has not consumed yet
  Py_ssize_t next_piece = 0, fed = 0, total = 0;
  const size_t cap = size_t(expected) + 1;
  for (;;) {
    if (!pending || PyObject_Size(pending.get()) == 0) {
      while (fed >= total) {
        if (next_piece >= PyList_GET_SIZE(idat)) return fail(truncated_stream());
        if (input.init(PyList_GET_ITEM(idat, next_piece++)) < 0) {  // not bytes-like: the join says so in its words
          if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
          PyErr_Clear();
          return whole();
        }
        if ((total = input.size()) < 0) return -1;
        fed = 0;
      }
      pending = Ref::steal(input.slice(fed, std::min(total, fed + kInputPiece)));
      if (!pending) return -1;
      fed = std::min(total, fed + kInputPiece);
    }
    Ref limit = Ref::steal(PyLong_FromLongLong(std::min<int64_t>(kOutputPiece, int64_t(cap - sink.fed()))));
    Ref piece = Ref::steal(limit ? call_method(inflater.get(), "decompress", pending.get(), limit.get()) : nullptr);
    if (!piece) return -1;
    BufferView bytes;
    if (bytes.get(piece.get()) < 0 || sink.feed(bytes.bytes()) < 0) return -1;
    if (sink.fed() > size_t(expected)) return fail(malformed());
    Ref ended = Ref::steal(attr(inflater.get(), "eof"));
    int eof = ended ? PyObject_IsTrue(ended.get()) : -1;
    if (eof) return eof < 0 ? -1 : (sink.fed() == size_t(expected) ? 0 : fail(malformed()));
    if (!(pending = Ref::steal(attr(inflater.get(), "unconsumed_tail")))) return -1;
  }
}

// The planes' shape a checked header gives; with no rows every derived
// size is 0, however wide the rows would be. -1 with an error when a size
// leaves int32.
struct Layout {
  int channels;
  int32_t width;
  PngSizes sizes;
};
int layout_of(const Header &h, Layout &l) {
  l.channels = h.v[3] == 2 ? 3 : 4;
  l.width = h.height() == 0 ? 0 : h.width();
  Result<PngSizes> sizes = png_sizes(l.width, h.height(), l.channels);
  if (!sizes) return fail(raise_core(sizes));
  l.sizes = sizes.value;
  return 0;
}

// The loader result around the finished planes and the chunk list.
int hand_over(RowSink &sink, const Header &h, int channels, Ref chunks, Loaded &out) {
  if (sink.finish(out) < 0) return -1;
  out.width = Ref::steal(PyLong_FromLong(h.width()));
  out.height = Ref::steal(PyLong_FromLong(h.height()));
  out.channels = Ref::steal(PyLong_FromLong(channels));
  if (!out.width || !out.height || !out.channels) return -1;
  out.chunks = std::move(chunks);
  out.bmp_meta = Ref::borrow(Py_None);
  return 0;
}

// --- the native path: the whole decode in C, the interpreter's lock let go
// for the byte work, when every name it involves is the genuine one.

// Whether zlib.decompress is the host's own (the chunk reading's names are
// asked by genuine_chunk_reading).
bool genuine_inflate(PyObject *fn) {
  Ref zlib = Ref::steal(global(fn, "zlib"));
  Ref plain = Ref::steal(zlib ? attr(zlib.get(), "decompress") : nullptr);
  PyErr_Clear();  // a name that is missing only rules the native path out
  return zlib.get() == host.zlib && plain.get() == host.zlib_decompress;
}

// Where a private stream's bytes are: the bytes the front door holds (after
// the signature), or the seekable file under the stream, from its position
// on. Nothing for a file that cannot be read at an offset (a pipe, a
// terminal): the block reading takes those. -1 with an error set.
int native_source(PyObject *stream, const PrivateStream &priv, std::optional<ByteSource> &source) {
  if (priv.source) {
    const auto *data = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(priv.source));
    const size_t size = size_t(PyBytes_GET_SIZE(priv.source));
    source.emplace(std::span<const uint8_t>(data, size).subspan(std::min<size_t>(8, size)));
    return 0;
  }
  Ref fd_obj = Ref::steal(call_method(stream, "fileno"));
  Ref pos_obj = Ref::steal(fd_obj ? call_method(stream, "tell") : nullptr);
  if (!pos_obj) return -1;
  const long fd = PyLong_AsLong(fd_obj.get());
  const long long pos = PyLong_AsLongLong(pos_obj.get());
  if (PyErr_Occurred()) return -1;
  const int64_t size = ByteSource::seekable_size(int(fd));
  if (size >= 0) source.emplace(int(fd), int64_t(pos), size);
  return 0;
}

[[gnu::cold]] int raise_walk_error(const Walk &w) {
  switch (w.error) {
    case WalkError::None:
      return 0;
    case WalkError::EofLength:
      return fail(value_error(msg::kEofLength));
    case WalkError::EofType:
      return fail(value_error(msg::kEofType));
    case WalkError::EofData:
      return fail(value_error(msg::kEofData));
    case WalkError::EofCrc:
      return fail(value_error(msg::kEofCrc));
    case WalkError::BadCrc:
      return fail(value_error(msg::kBadCrc));
    case WalkError::Io:
      errno = w.io_errno;
      return fail(PyErr_SetFromErrno(PyExc_OSError));
  }
  return -1;
}

// The chunk list of a walk, as read_chunks records it, the header read from
// each IHDR on the way; then the error that stopped the walk, if any. The
// records come first: a chunk the walk finished was read before the one that
// failed.
int record_walk(PyObject *fn, const ByteSource &source, const Walk &w, PyObject *chunks, Header &header) {
  for (const ChunkRecord &c : w.chunks) {
    Ref type = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(c.type.data()), 4));
    Ref length = Ref::steal(PyLong_FromUnsignedLong(c.length));
    if (!type || !length) return -1;
    Ref data;
    if (c.is("IDAT")) {
      data = Ref::borrow(Py_None);
    } else {
      const uint8_t *bytes = source.in_memory() ? source.memory().data() + c.at : c.data.data();
      data = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes), Py_ssize_t(c.length)));
      if (!data || (c.is("IHDR") && read_header(fn, data.get(), header) < 0)) return -1;
    }
    Ref record = Ref::steal(PyTuple_Pack(3, type.get(), data.get(), length.get()));
    if (!record || PyList_Append(chunks, record.get()) < 0) return -1;
  }
  return raise_walk_error(w);
}

// A stream below this inflates in less time than a thread takes to start.
constexpr size_t kAlongside = 256 << 10;

// Inflates the IDAT data into the sink, the lock let go except to grow the
// planes.
Inflated inflate_native(const ByteSource &source, const Walk &w, size_t expected, RowSink &sink, bool exact) {
  IdatDecoder decoder(source, w.chunks, expected, exact);
  // Planes made whole for a stream of some size: the rows are rebuilt while
  // the next pieces inflate, on two threads.
  if (sink.whole() && expected >= kAlongside) return without_gil([&] { return run_alongside(decoder, sink); });
  for (;;) {
    std::optional<Inflated> ended = without_gil([&] { return decoder.run(sink); });
    if (ended) return *ended;
    if (sink.make_room(decoder.room_wanted()) < 0) {
      PyErr_Clear();
      return Inflated(Inflated::NoMemory);
    }
  }
}

// The native decode after the signature: 1 with `out` filled or -1 with an
// error, as load_png; 0 when the stream is not one it can read (the caller
// goes on with the chunks reading).
int load_native(PyObject *fn, PyObject *stream, const PrivateStream &priv, Loaded &out) {
  std::optional<ByteSource> source;
  if (native_source(stream, priv, source) < 0) return -1;
  if (!source) return 0;
  Walk w = without_gil([&] { return walk_chunks(*source); });
  Ref chunks = Ref::steal(PyList_New(0));
  Header h;
  Layout l;
  if (!chunks || record_walk(fn, *source, w, chunks.get(), h) < 0 || check_header(h) < 0 || layout_of(h, l) < 0)
    return -1;
  const size_t expected = size_t(l.sizes.raw_bytes);

  std::optional<RowSink> sink(std::in_place, l.width, h.height(), l.channels, l.sizes);
  if (sink->init() < 0) return -1;
  Inflated r = inflate_native(*source, w, expected, *sink, kZlibOnly);
  // A stream igzip did not inflate to its end is inflated again by zlib, the
  // planes let go first, for zlib's verdict and words; where zlib takes the
  // stream after all, it fills the planes anew.
  if (r.kind != Inflated::Done && !kZlibOnly) {
    sink.reset();
    if ((r = without_gil([&] { return zlib_verdict(*source, w.chunks, expected); })).kind == Inflated::Done) {
      sink.emplace(l.width, h.height(), l.channels, l.sizes);
      if (sink->init() < 0) return -1;
      r = inflate_native(*source, w, expected, *sink, true);
    }
  }
  if (r.kind != Inflated::Done) sink.reset();
  switch (r.kind) {
    case Inflated::Done:
      break;
    case Inflated::Malformed:
      return fail(malformed());
    case Inflated::Truncated:
      return fail(truncated_stream());
    case Inflated::Corrupt:
      return fail(raise(host.zlib_error, decompress_error_text(r.error).c_str()));
    case Inflated::Io:
      errno = r.io_errno;
      return fail(PyErr_SetFromErrno(PyExc_OSError));
    case Inflated::NoMemory:
      return fail(PyErr_NoMemory());
  }
  return hand_over(*sink, h, l.channels, std::move(chunks), out) < 0 ? -1 : 1;
}

}  // namespace

int load_png(PyObject *fn, PyObject *stream, Loaded &out, const PrivateStream *priv) {
  Ref signature = Ref::steal(stream_read(stream, 8));
  if (!signature) return -1;
  Ref expected_signature = Ref::steal(global(fn, "PNG_SIGNATURE"));
  if (!expected_signature) return -1;
  int differs = PyObject_RichCompareBool(signature.get(), expected_signature.get(), Py_NE);
  if (differs) return differs < 0 ? -1 : fail(value_error(msg::kPngSignature));

  Ref idat = Ref::steal(PyList_New(0));
  Ref chunks = Ref::steal(PyList_New(0));
  if (!idat || !chunks) return -1;
  Header h;
  int read;
  // A stream the front door made is read from memory: the bytes it was made
  // over, or the file in blocks instead of four reads per chunk.
  // Whether the names involved are genuine is asked only now: the comparison
  // above may have run a caller's code.
  const bool genuine = priv && genuine_chunk_reading(fn);
  if (genuine && genuine_inflate(fn)) {
    const int done = load_native(fn, stream, *priv, out);
    if (done != 0) return done < 0 ? -1 : 0;
  }
  if (genuine) {
    BlockChunks blocks(priv->source ? nullptr : stream, priv->source, 8);
    read = read_chunks(fn, [&](Chunk &c) { return blocks.next(c); }, true, chunks.get(), idat.get(), h);
  } else {
    read = read_chunks(fn, [&](Chunk &c) { return next_through_reader(fn, stream, c); }, false, chunks.get(),
                       idat.get(), h);
  }
  Layout l;
  if (read < 0 || check_header(h) < 0 || layout_of(h, l) < 0) return -1;
  RowSink sink(l.width, h.height(), l.channels, l.sizes);
  if (sink.init() < 0 || inflate(fn, idat.get(), l.sizes.raw_bytes, sink) < 0) return -1;
  idat = Ref();
  return hand_over(sink, h, l.channels, std::move(chunks), out);
}

}  // namespace corvane
