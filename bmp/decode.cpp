// bmp/decode.cpp: the BMP decoder: file header, BITMAPINFOHEADER, then one
// read of the row stride per stored row, each row turned from BGR with pad
// into RGB (bmp/rows.hpp).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "bmp/bmp.hpp"
#include "bmp/rows.hpp"
#include "module/args.hpp"
#include "module/buffer.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/host.hpp"
#include "module/messages.hpp"
#include "module/plane.hpp"
#include "module/unpack.hpp"
#include "loadsave/source.hpp"

namespace corvane {
namespace {

// struct.unpack(fmt, data) into n values, through the module's struct.
int unpack(PyObject *fn, const char *fmt, PyObject *data, Ref *out, Py_ssize_t n) {
  Ref values = Ref::steal(struct_call(fn, "unpack", fmt, data));
  return values ? unpack_exact(values.get(), out, n) : -1;
}

// o != v by the host's comparison: 1, 0, or -1 on error.
int differs(PyObject *o, long v) {
  Ref value = Ref::steal(PyLong_FromLong(v));
  return value ? PyObject_RichCompareBool(o, value.get(), Py_NE) : -1;
}

int read_file_header(PyObject *fn, PyObject *stream, Ref &offset) {
  Ref head = Ref::steal(stream_read(stream, 14));
  if (!head) return -1;
  Py_ssize_t n = PyObject_Size(head.get());
  if (n < 0) return -1;
  int bad = n < 14;
  if (!bad) {
    Ref magic = Ref::steal(PySequence_GetSlice(head.get(), 0, 2));
    Ref bm = Ref::steal(PyBytes_FromStringAndSize("BM", 2));
    if (!magic || !bm || (bad = PyObject_RichCompareBool(magic.get(), bm.get(), Py_NE)) < 0) return -1;
  }
  if (bad) return fail(value_error(msg::kBmpHeader));
  Ref rest = Ref::steal(PySequence_GetSlice(head.get(), 2, 14));
  Ref fields[4];
  if (!rest || unpack(fn, "<IHHI", rest.get(), fields, 4) < 0) return -1;
  offset = std::move(fields[3]);
  return 0;
}

// The ten values of the information header after its size field.
int read_info_header(PyObject *fn, PyObject *stream, Ref (&v)[10]) {
  Ref size_bytes = Ref::steal(stream_read(stream, 4));
  if (!size_bytes) return -1;
  Py_ssize_t n = PyObject_Size(size_bytes.get());
  if (n < 0) return -1;
  if (n < 4) return fail(value_error(msg::kBmpDibHeader));
  Ref size[1];
  if (unpack(fn, "<I", size_bytes.get(), size, 1) < 0) return -1;
  int r = differs(size[0].get(), 40);
  if (r) return r < 0 ? -1 : fail(value_error(msg::kBmpInfoHeader));
  Ref rest = Ref::steal(stream_read(stream, 36));
  if (!rest || unpack(fn, "<iiHHIIiiII", rest.get(), v, 10) < 0) return -1;
  int planes, bits, compression;
  if ((planes = differs(v[2].get(), 1)) < 0 || (!planes && (bits = differs(v[3].get(), 24)) < 0) ||
      (!planes && !bits && (compression = differs(v[4].get(), 0)) < 0))
    return -1;
  if (planes || bits || compression) return fail(value_error(msg::kBmp24Bit));
  return 0;
}

// The stored pixel array: `count` rows of `stride` bytes, each holding
// `bytes` of pixel data, bottom row first when `bottom_up`.
struct Rows {
  int64_t count, bytes, stride;
  bool bottom_up;
};

[[gnu::cold]] PyObject *incomplete() { return value_error(msg::kBmpIncomplete); }

// Rows as the stream hands them out, one read of the row stride each. Rows
// of stride 0 hold nothing: no read for them, however many the header claims.
PyObject *rows_one_by_one(PyObject *stream, const Rows &r, int64_t total) {
  GrowingPlane plane(total);
  if (plane.init() < 0) return nullptr;
  for (int64_t i = 0; r.stride > 0 && i < r.count; ++i) {
    Ref row = Ref::steal(stream_read(stream, r.stride));
    if (!row) return nullptr;
    if (!PyBytes_Check(row.get()))
      return PyErr_Format(PyExc_TypeError, "Expected bytes, got %.200s", type_name(row.get()));
    // The row's own bytes are counted: on PyPy the size a bytes subclass
    // shows C is its len(), which may claim more than it holds.
    BufferView stored;
    if (stored.get(row.get()) < 0) return nullptr;
    if (stored.size() != size_t(r.stride)) return incomplete();
    uint8_t *dst = plane.append(r.bytes);
    if (!dst) return nullptr;
    bmp_decode_row(stored.bytes(), {dst, size_t(r.bytes)});
  }
  if (r.bottom_up) flip_rows({plane.data(), size_t(r.stride > 0 ? total : 0)}, size_t(r.bytes));
  return plane.finish();
}

// Rows from a file the front door opened: its size says at once whether the
// rows are there (the plane is made only then), and they are read into one
// reused buffer of about 1 MiB, each row decoded to its place.
PyObject *rows_from_file(PyObject *stream, int64_t offset, const Rows &r, int64_t total) {
  if (r.stride == 0 || r.count == 0) return PyByteArray_FromStringAndSize(nullptr, 0);
  Ref zero = Ref::steal(PyLong_FromLong(0)), two = Ref::steal(PyLong_FromLong(2));
  Ref end = Ref::steal(zero && two ? call_method(stream, "seek", zero.get(), two.get()) : nullptr);
  long long size = end ? PyLong_AsLongLong(end.get()) : -1;
  if (size == -1 && PyErr_Occurred()) return nullptr;
  if (offset < 0 || size - offset < r.count * r.stride) return incomplete();
  Ref at = Ref::steal(PyLong_FromLongLong(offset));
  Ref sought = Ref::steal(at ? call_method(stream, "seek", at.get()) : nullptr);
  Ref plane = Ref::steal(sought ? new_plane(Py_ssize_t(total)) : nullptr);
  if (!plane) return nullptr;
  const int64_t per_read = std::min(r.count, std::max<int64_t>(1, (int64_t{1} << 20) / r.stride));
  // A seekable file is read through its descriptor, the lock let go for the
  // reads and the rows: the plane is this call's own, and so is the buffer.
  Ref fd_obj = Ref::steal(call_method(stream, "fileno"));
  const long fd = fd_obj ? PyLong_AsLong(fd_obj.get()) : -1;
  if (PyErr_Occurred()) return nullptr;
  if (ByteSource::seekable_size(int(fd)) >= 0) {
    auto *dst = reinterpret_cast<uint8_t *>(PyByteArray_AS_STRING(plane.get()));
    const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(size_t(per_read * r.stride));
    Failure why;
    const int64_t read_rows = without_gil([&]() -> int64_t {
      for (int64_t i = 0; i < r.count; i += per_read) {
        const int64_t n = std::min(per_read, r.count - i);
        const ByteSource file(int(fd), offset + i * r.stride, size);
        if (file.read(0, {buffer.get(), size_t(n * r.stride)}, why) != n * r.stride) return i;
        bmp_decode_rows({buffer.get(), size_t(n * r.stride)}, size_t(i), size_t(n), size_t(r.count),
                        size_t(r.stride), size_t(r.bytes), r.bottom_up, dst);
      }
      return r.count;
    });
    if (read_rows == r.count) return plane.release();
    return why ? incomplete() : raise_core(why);
  }
  // The buffer itself is read into, shrunk for the last read: a memoryview
  // made from C would never be freed on PyPy.
  Ref buffer = Ref::steal(PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(per_read * r.stride)));
  if (!buffer) return nullptr;
  for (int64_t i = 0; i < r.count; i += per_read) {
    const int64_t n = std::min(per_read, r.count - i);
    if (n != per_read && PyByteArray_Resize(buffer.get(), Py_ssize_t(n * r.stride)) < 0) return nullptr;
    Ref got = Ref::steal(call_method(stream, "readinto", buffer.get()));
    if (!got) return nullptr;
    if (PyLong_AsLongLong(got.get()) != n * r.stride) return PyErr_Occurred() ? nullptr : incomplete();
    const auto *src = reinterpret_cast<const uint8_t *>(PyByteArray_AS_STRING(buffer.get()));
    auto *dst = reinterpret_cast<uint8_t *>(PyByteArray_AS_STRING(plane.get()));
    for (int64_t k = 0; k < n; ++k) {
      const int64_t y = r.bottom_up ? r.count - 1 - (i + k) : i + k;
      bmp_decode_row({src + k * r.stride, size_t(r.stride)}, {dst + y * r.bytes, size_t(r.bytes)});
    }
  }
  return plane.release();
}

// Rows straight from the bytes a BytesIO stream was made from: one pass,
// each row to its place. The plane is made only once the rows are known to
// be there.
PyObject *rows_from_source(const PrivateStream &priv, int64_t offset, const Rows &r, int64_t total) {
  BufferView view;
  if (!priv.memory.data() && view.get(priv.source) < 0) return nullptr;
  const std::span<const uint8_t> src = priv.memory.data() ? priv.memory : view.bytes();
  if (r.stride > 0 && r.count > 0 &&
      (offset < 0 || uint64_t(offset) > src.size() || src.size() - uint64_t(offset) < uint64_t(r.count * r.stride)))
    return incomplete();
  Ref plane = Ref::steal(new_plane(Py_ssize_t(r.stride > 0 ? total : 0)));
  if (!plane || r.stride == 0) return plane.release();
  auto *dst = reinterpret_cast<uint8_t *>(PyByteArray_AS_STRING(plane.get()));
  // The source is the front door's own bytes, the plane this call's: the
  // rows need no lock.
  const auto rows = src.subspan(size_t(offset), size_t(r.count * r.stride));
  without_gil([&] {
    bmp_decode_rows(rows, 0, size_t(r.count), size_t(r.count), size_t(r.stride), size_t(r.bytes), r.bottom_up, dst);
  });
  return plane.release();
}

}  // namespace

int load_bmp(PyObject *fn, PyObject *stream, Loaded &out, const PrivateStream *priv) {
  Ref offset;
  Ref v[10];  // width, height, planes, bits, compression, image size, xppm, yppm, clrUsed, clrImportant
  if (read_file_header(fn, stream, offset) < 0 || read_info_header(fn, stream, v) < 0) return -1;
  int32_t width, height;
  if (to_i32(v[0].get(), &width) < 0 || to_i32(v[1].get(), &height) < 0) return -1;
  Ref rows_obj = Ref::steal(PyNumber_Absolute(v[1].get()));
  if (!rows_obj) return -1;
  const int64_t rows = height < 0 ? -int64_t(height) : height;
  const int64_t area = int64_t(width) * rows;  // exact: both at most 2^31 in magnitude
  if (area < 0) return fail(refuse_negative_count());  // as allocating the plane would
  if (area > kI32Max / 3) return fail(raise_core(Err::Overflow));
  const int64_t total = area * 3;
  const int64_t row_bytes = int64_t(width) * 3, stride = (row_bytes + 3) / 4 * 4;

  Ref sought = Ref::steal(call_method(stream, "seek", offset.get()));
  if (!sought) return -1;
  const Rows layout{rows, row_bytes, stride, height > 0};
  Ref pixels;
  if (!priv) {
    pixels = Ref::steal(rows_one_by_one(stream, layout, total));
  } else {
    long long at = PyLong_AsLongLong(offset.get());
    if (at == -1 && PyErr_Occurred()) return -1;
    pixels = Ref::steal(priv->source ? rows_from_source(*priv, at, layout, total)
                                     : rows_from_file(stream, at, layout, total));
  }
  if (!pixels) return -1;

  Ref meta = Ref::steal(PyDict_New());
  if (!meta) return -1;
  const char *keys[] = {"xppm", "yppm", "clrUsed", "clrImportant"};
  for (int i = 0; i < 4; ++i) {
    PyObject *key = name(keys[i]);
    if (!key || PyDict_SetItem(meta.get(), key, v[6 + i].get()) < 0) return -1;
  }
  out.pixels = std::move(pixels);
  out.channels = Ref::steal(PyLong_FromLong(3));
  if (!out.pixels || !out.channels) return -1;
  out.width = std::move(v[0]);
  out.height = std::move(rows_obj);
  out.alpha = Ref::borrow(Py_None);
  out.chunks = Ref::borrow(Py_None);
  out.bmp_meta = std::move(meta);
  out.png_filters = Ref::borrow(Py_None);
  return 0;
}

}  // namespace corvane
