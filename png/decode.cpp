// png/decode.cpp: the PNG decoder. Reads the signature and every chunk up to
// IEND (recording each, IDAT with its length only), checks the header,
// inflates the joined IDAT data once and reconstructs the rows straight into
// the image's planes (png/scanline.hpp).
#include "module/args.hpp"
#include "module/buffer.hpp"
#include "module/errors.hpp"
#include "module/host.hpp"
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

// Reads chunks up to IEND or a clean end, recording each in `chunks` and
// gathering IDAT data in `idat`.
int read_chunks(PyObject *fn, PyObject *stream, PyObject *chunks, PyObject *idat, Header &header) {
  for (;;) {
    Ref result = Ref::steal(next_chunk(fn, stream));
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
      record = Ref::steal(PyTuple_Pack(3, type, data, length.get()));
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

// zlib.decompress(data), through the module's zlib. With the host's own zlib
// it never inflates more than one byte past `expected`: a few megabytes of
// crafted deflate data must not cost gigabytes before the size check refuses
// them. Streams that end short of `expected`, or are corrupt before it, are
// inflated again by zlib.decompress itself, which gives them its own error.
PyObject *decompress(PyObject *fn, PyObject *data, int32_t expected) {
  Ref zlib = Ref::steal(global(fn, "zlib"));
  if (!zlib) return nullptr;
  Ref plain = Ref::steal(attr(zlib.get(), "decompress"));
  if (!plain) return nullptr;
  if (zlib.get() != host.zlib || plain.get() != host.zlib_decompress) return call(plain.get(), data);

  Ref inflater = Ref::steal(call(host.zlib_decompressobj));
  Ref limit = Ref::steal(PyLong_FromLongLong(int64_t(expected) + 1));
  if (!inflater || !limit) return nullptr;
  Ref out = Ref::steal(call_method(inflater.get(), "decompress", data, limit.get()));
  if (!out) {
    if (!PyErr_ExceptionMatches(host.zlib_error)) return nullptr;
    PyErr_Clear();
    return call(plain.get(), data);
  }
  Py_ssize_t n = PyObject_Size(out.get());
  if (n < 0) return nullptr;
  if (n > expected) return malformed();
  Ref eof = Ref::steal(attr(inflater.get(), "eof"));
  if (!eof) return nullptr;
  int ended = PyObject_IsTrue(eof.get());
  if (ended < 0) return nullptr;
  return ended ? out.release() : call(plain.get(), data);
}

// A new bytearray of n bytes, left for the caller to fill.
PyObject *new_plane(int32_t n) { return PyByteArray_FromStringAndSize(nullptr, n); }

uint8_t *plane(PyObject *bytearray) { return reinterpret_cast<uint8_t *>(PyByteArray_AS_STRING(bytearray)); }

}  // namespace

int load_png(PyObject *fn, PyObject *stream, Loaded &out) {
  Ref eight = Ref::steal(PyLong_FromLong(8));
  Ref signature = Ref::steal(eight ? call_method(stream, "read", eight.get()) : nullptr);
  if (!signature) return -1;
  Ref expected_signature = Ref::steal(global(fn, "PNG_SIGNATURE"));
  if (!expected_signature) return -1;
  int differs = PyObject_RichCompareBool(signature.get(), expected_signature.get(), Py_NE);
  if (differs) return differs < 0 ? -1 : fail(value_error("Unsupported PNG signature"));

  Ref idat = Ref::steal(PyList_New(0));
  Ref chunks = Ref::steal(PyList_New(0));
  if (!idat || !chunks) return -1;
  Header h;
  if (read_chunks(fn, stream, chunks.get(), idat.get(), h) < 0 || check_header(h) < 0) return -1;
  const int channels = h.v[3] == 2 ? 3 : 4;
  // With no rows every derived size is 0, however wide the rows would be.
  const int32_t width = h.height() == 0 ? 0 : h.width();
  Result<PngSizes> sizes = png_sizes(width, h.height(), channels);
  if (!sizes) return fail(raise_core(sizes));

  Ref joined = Ref::steal(call_method(host.empty_bytes, "join", idat.get()));
  if (!joined) return -1;
  idat = Ref();  // the pieces are no longer needed; keep the peak at one copy
  Ref raw = Ref::steal(decompress(fn, joined.get(), sizes.value.raw_bytes));
  if (!raw) return -1;
  joined = Ref();
  Py_ssize_t n = PyObject_Size(raw.get());
  if (n < 0) return -1;
  if (n != sizes.value.raw_bytes) return fail(malformed());

  BufferView view;
  if (view.get(raw.get()) < 0) return -1;
  Ref pixels = Ref::steal(new_plane(sizes.value.rgb_bytes));
  Ref alpha = Ref::steal(channels == 4 ? new_plane(sizes.value.area) : Ref::borrow(Py_None).release());
  Ref filters = Ref::steal(new_plane(h.height()));
  if (!pixels || !alpha || !filters) return -1;
  std::span<uint8_t> alpha_plane;
  if (channels == 4) alpha_plane = {plane(alpha.get()), size_t(sizes.value.area)};
  Result<int32_t> rows = unfilter_image(view.bytes(), width, h.height(), channels,
                                        {plane(pixels.get()), size_t(sizes.value.rgb_bytes)}, alpha_plane,
                                        {plane(filters.get()), size_t(h.height())});
  if (!rows) return fail(raise_core(rows));

  out.width = Ref::steal(PyLong_FromLong(h.width()));
  out.height = Ref::steal(PyLong_FromLong(h.height()));
  out.channels = Ref::steal(PyLong_FromLong(channels));
  if (!out.width || !out.height || !out.channels) return -1;
  out.pixels = std::move(pixels);
  out.alpha = std::move(alpha);
  out.chunks = std::move(chunks);
  out.bmp_meta = Ref::borrow(Py_None);
  out.png_filters = std::move(filters);
  return 0;
}

}  // namespace corvane
