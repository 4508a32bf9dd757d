// png/decode.cpp: the PNG decoder. Reads the signature and every chunk up to
// IEND (recording each, IDAT with its length only), checks the header,
// inflates the joined IDAT data once and reconstructs the rows straight into
// the image's planes (png/scanline.hpp).
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "module/args.hpp"
#include "module/buffer.hpp"
#include "module/errors.hpp"
#include "module/host.hpp"
#include "module/plane.hpp"
#include "module/unpack.hpp"
#include "png/png.hpp"
#include "png/scanline.hpp"

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

// _readChunk's reading of a whole file held in memory, for a stream only the
// front door reads, with the module's own _readChunk, struct and zlib: the
// same chunks, the same errors in the same order, without a read call or a
// copy per chunk. Chunk data comes as views of the file's bytes.
class MemoryChunks {
 public:
  // `file` is exact bytes, read from `start` on.
  MemoryChunks(PyObject *fn, PyObject *file, size_t start)
      : fn_(fn), bytes_(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(file)), size_t(PyBytes_GET_SIZE(file))),
        pos_(std::min(start, bytes_.size())) {
    ok_ = slices_.init(file) == 0;
  }
  bool ok() const { return ok_; }

  PyObject *next() {
    const size_t left = bytes_.size() - pos_;
    if (left == 0) return Ref::borrow(host.end_of_stream).release();
    if (left < 4) return value_error("Unexpected EOF while reading chunk length");
    const uint32_t length = be32();
    if (bytes_.size() - pos_ < 4) return value_error("Unexpected EOF while reading chunk type");
    Ref type = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes_.data() + pos_), 4));
    if (!type) return nullptr;
    pos_ += 4;
    if (bytes_.size() - pos_ < length) return value_error("Unexpected EOF while reading chunk data");
    Ref data = Ref::steal(slices_.slice(Py_ssize_t(pos_), Py_ssize_t(pos_ + length)));
    if (!data) return nullptr;
    pos_ += length;
    if (bytes_.size() - pos_ < 4) return value_error("Unexpected EOF while reading chunk CRC");
    const uint32_t expected = be32();
    Ref actual = Ref::steal(chunk_crc(fn_, type.get(), data.get()));
    if (!actual) return nullptr;
    if (PyLong_AsUnsignedLong(actual.get()) != expected) {
      if (PyErr_Occurred()) return nullptr;
      return value_error("Corrupted PNG chunk detected");
    }
    return PyTuple_Pack(2, type.get(), data.get());
  }

 private:
  uint32_t be32() {
    const uint8_t *p = bytes_.data() + pos_;
    pos_ += 4;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  }
  PyObject *fn_;
  std::span<const uint8_t> bytes_;
  size_t pos_;
  Slices slices_;
  bool ok_;
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

// Reads chunks up to IEND or a clean end, recording each in `chunks` and
// gathering IDAT data in `idat`. `next` gives each (type, data); with
// `views`, data is a view of the file, copied for the chunk list.
template <class Next>
int read_chunks(PyObject *fn, Next &&next, bool views, PyObject *chunks, PyObject *idat, Header &header) {
  for (;;) {
    Ref result = Ref::steal(next());
    if (!result) return -1;
    Ref pair[2];
    if (unpack_exact(result.get(), pair, 2) < 0) return -1;
    PyObject *type = pair[0].get(), *data = pair[1].get();
    int r;
    if ((r = chunk_type_is(type, "", 0)) != 0) return r < 0 ? -1 : 0;
    if ((r = chunk_type_is(type, "IHDR")) < 0 || (r && read_header(fn, data, header) < 0)) return -1;
    Py_ssize_t n = PyObject_Size(data);
    if (n < 0) return -1;
    Ref length = Ref::steal(PyLong_FromSsize_t(n));
    if (!length) return -1;
    if ((r = chunk_type_is(type, "IDAT")) < 0) return -1;
    Ref record;
    if (r) {
      if (PyList_Append(idat, data) < 0) return -1;
      record = Ref::steal(PyTuple_Pack(3, type, Py_None, length.get()));
    } else {
      Ref kept = views ? Ref::steal(PyBytes_FromObject(data)) : Ref::borrow(data);
      record = Ref::steal(kept ? PyTuple_Pack(3, type, kept.get(), length.get()) : nullptr);
    }
    if (!record || PyList_Append(chunks, record.get()) < 0) return -1;
    if ((r = chunk_type_is(type, "IEND")) != 0) return r < 0 ? -1 : 0;
  }
}

int check_header(const Header &h) {
  if (!h.complete()) return fail(value_error("Incomplete PNG header information"));
  if (h.v[2] != 8) return fail(value_error("Only 8-bit PNG images are supported"));
  if (h.v[3] != 2 && h.v[3] != 6) return fail(value_error("Only RGB/RGBA PNG images are supported"));
  if (h.v[4] != 0 || h.v[5] != 0 || h.v[6] != 0)
    return fail(value_error("Unsupported PNG configuration (compression/filter/interlace)"));
  return 0;
}

[[gnu::cold]] PyObject *malformed() { return value_error("Malformed PNG image data"); }

// Where the decompressed stream goes: straight into the row reconstruction,
// whose planes grow with the rows completed, so the stream itself is never
// held whole and a header's claimed size is never reserved before data backs it.
class RowSink {
 public:
  RowSink(int32_t width, int32_t height, int channels, const PngSizes &s)
      : width_(width), height_(height), channels_(channels), rgb_(s.rgb_bytes),
        alpha_(channels == 4 ? s.area : 0), filters_(height), rows_(width, height, channels) {}
  int init() { return rgb_.init() < 0 || alpha_.init() < 0 || filters_.init() < 0 ? -1 : 0; }

  int feed(std::span<const uint8_t> bytes) {
    const int64_t rows = rows_.rows_after(bytes.size());
    if (rgb_.reserve(rows * width_ * 3) < 0 || alpha_.reserve(channels_ == 4 ? rows * width_ : 0) < 0 ||
        filters_.reserve(rows) < 0)
      return -1;
    return rows_.feed(bytes, rgb_.room(), alpha_.room(), filters_.room()) ? 0 : (PyErr_NoMemory(), -1);
  }
  size_t fed() const { return rows_.fed(); }
  // Back to the first row, for a stream that is fed again from its start.
  void restart() { rows_ = StreamUnfilter(int32_t(width_), int32_t(height_), channels_); }

  // The planes, once the whole stream was fed: a bad row's error otherwise.
  int finish(Loaded &out) {
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
  int64_t width_, height_;
  int channels_;
  GrowingPlane rgb_, alpha_, filters_;
  StreamUnfilter rows_;
};

// Input is fed to the inflater in pieces of this size, and each call returns
// at most kOutputPiece bytes: no call can be made to produce more than the
// header allows, and what is in flight stays small.
constexpr Py_ssize_t kInputPiece = 64 << 10;
constexpr int64_t kOutputPiece = 256 << 10;

// zlib.decompress(data) through the module's zlib, fed to the sink and
// size-checked. With the host's own zlib it never inflates more than one
// byte past `expected`, so a few megabytes of crafted deflate data cannot
// cost gigabytes before the size check refuses them. A stream that is corrupt
// or ends early is handed to zlib.decompress itself, which gives it its own
// error, having produced no more than what was inflated here.
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
    BufferView view;
    if (view.get(raw.get()) < 0) return -1;
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
        if (next_piece >= PyList_GET_SIZE(idat)) return whole();  // the input ran out before the stream ended
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
    if (!piece) {
      if (!PyErr_ExceptionMatches(host.zlib_error)) return -1;
      PyErr_Clear();
      return whole();
    }
    BufferView bytes;
    if (bytes.get(piece.get()) < 0 || sink.feed(bytes.bytes()) < 0) return -1;
    if (sink.fed() > size_t(expected)) return fail(malformed());
    Ref ended = Ref::steal(attr(inflater.get(), "eof"));
    int eof = ended ? PyObject_IsTrue(ended.get()) : -1;
    if (eof) return eof < 0 ? -1 : (sink.fed() == size_t(expected) ? 0 : fail(malformed()));
    if (!(pending = Ref::steal(attr(inflater.get(), "unconsumed_tail")))) return -1;
  }
}

}  // namespace

int load_png(PyObject *fn, PyObject *stream, Loaded &out, const PrivateStream *priv) {
  Ref signature = Ref::steal(stream_read(stream, 8));
  if (!signature) return -1;
  Ref expected_signature = Ref::steal(global(fn, "PNG_SIGNATURE"));
  if (!expected_signature) return -1;
  int differs = PyObject_RichCompareBool(signature.get(), expected_signature.get(), Py_NE);
  if (differs) return differs < 0 ? -1 : fail(value_error("Unsupported PNG signature"));

  Ref idat = Ref::steal(PyList_New(0));
  Ref chunks = Ref::steal(PyList_New(0));
  if (!idat || !chunks) return -1;
  Header h;
  int read;
  // A stream the front door made is read from memory: the bytes it was made
  // over, or the rest of a file taken in one read instead of four per chunk.
  // Whether the names involved are genuine is asked only now: the comparison
  // above may have run a caller's code.
  if (priv && genuine_chunk_reading(fn)) {
    Ref file = Ref::steal(priv->source ? Ref::borrow(priv->source).release() : call_method(stream, "read"));
    if (file && !PyBytes_CheckExact(file.get())) file = Ref::steal(PyBytes_FromObject(file.get()));
    if (!file) return -1;
    MemoryChunks memory(fn, file.get(), priv->source ? 8 : 0);
    read = memory.ok() ? read_chunks(fn, [&] { return memory.next(); }, true, chunks.get(), idat.get(), h) : -1;
  } else {
    read = read_chunks(fn, [&] { return next_chunk(fn, stream); }, false, chunks.get(), idat.get(), h);
  }
  if (read < 0 || check_header(h) < 0) return -1;
  const int channels = h.v[3] == 2 ? 3 : 4;
  // With no rows every derived size is 0, however wide the rows would be.
  const int32_t width = h.height() == 0 ? 0 : h.width();
  Result<PngSizes> sizes = png_sizes(width, h.height(), channels);
  if (!sizes) return fail(raise_core(sizes));

  RowSink sink(width, h.height(), channels, sizes.value);
  if (sink.init() < 0 || inflate(fn, idat.get(), sizes.value.raw_bytes, sink) < 0) return -1;
  idat = Ref();
  if (sink.finish(out) < 0) return -1;

  out.width = Ref::steal(PyLong_FromLong(h.width()));
  out.height = Ref::steal(PyLong_FromLong(h.height()));
  out.channels = Ref::steal(PyLong_FromLong(channels));
  if (!out.width || !out.height || !out.channels) return -1;
  out.chunks = std::move(chunks);
  out.bmp_meta = Ref::borrow(Py_None);
  return 0;
}

}  // namespace corvane
