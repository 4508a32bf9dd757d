// bmp/decode.cpp: the BMP decoder: file header, BITMAPINFOHEADER, then one
// read of the row stride per stored row, each row turned from BGR with pad
// into RGB (bmp/rows.hpp).
#include <algorithm>
#include <cstring>

#include "bmp/bmp.hpp"
#include "bmp/rows.hpp"
#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/host.hpp"
#include "module/plane.hpp"
#include "module/unpack.hpp"

namespace corvane {
namespace {

PyObject *read(PyObject *stream, long long n) {
  Ref count = Ref::steal(PyLong_FromLongLong(n));
  return count ? call_method(stream, "read", count.get()) : nullptr;
}

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
  Ref head = Ref::steal(read(stream, 14));
  if (!head) return -1;
  Py_ssize_t n = PyObject_Size(head.get());
  if (n < 0) return -1;
  int bad = n < 14;
  if (!bad) {
    Ref magic = Ref::steal(PySequence_GetSlice(head.get(), 0, 2));
    Ref bm = Ref::steal(PyBytes_FromStringAndSize("BM", 2));
    if (!magic || !bm || (bad = PyObject_RichCompareBool(magic.get(), bm.get(), Py_NE)) < 0) return -1;
  }
  if (bad) return fail(value_error("Unsupported BMP header"));
  Ref rest = Ref::steal(PySequence_GetSlice(head.get(), 2, 14));
  Ref fields[4];
  if (!rest || unpack(fn, "<IHHI", rest.get(), fields, 4) < 0) return -1;
  offset = std::move(fields[3]);
  return 0;
}

// The ten values of the information header after its size field.
int read_info_header(PyObject *fn, PyObject *stream, Ref (&v)[10]) {
  Ref size_bytes = Ref::steal(read(stream, 4));
  if (!size_bytes) return -1;
  Py_ssize_t n = PyObject_Size(size_bytes.get());
  if (n < 0) return -1;
  if (n < 4) return fail(value_error("Corrupted BMP DIB header"));
  Ref size[1];
  if (unpack(fn, "<I", size_bytes.get(), size, 1) < 0) return -1;
  int r = differs(size[0].get(), 40);
  if (r) return r < 0 ? -1 : fail(value_error("Only BITMAPINFOHEADER BMP files are supported"));
  Ref rest = Ref::steal(read(stream, 36));
  if (!rest || unpack(fn, "<iiHHIIiiII", rest.get(), v, 10) < 0) return -1;
  int planes, bits, compression;
  if ((planes = differs(v[2].get(), 1)) < 0 || (!planes && (bits = differs(v[3].get(), 24)) < 0) ||
      (!planes && !bits && (compression = differs(v[4].get(), 0)) < 0))
    return -1;
  if (planes || bits || compression) return fail(value_error("Only uncompressed 24-bit BMP files are supported"));
  return 0;
}

}  // namespace

int load_bmp(PyObject *fn, PyObject *stream, Loaded &out) {
  Ref offset;
  Ref v[10];  // width, height, planes, bits, compression, image size, xppm, yppm, clrUsed, clrImportant
  if (read_file_header(fn, stream, offset) < 0 || read_info_header(fn, stream, v) < 0) return -1;
  int32_t width, height;
  if (to_i32(v[0].get(), &width) < 0 || to_i32(v[1].get(), &height) < 0) return -1;
  Ref rows_obj = Ref::steal(PyNumber_Absolute(v[1].get()));
  if (!rows_obj) return -1;
  const int64_t rows = height < 0 ? -int64_t(height) : height;
  const int64_t total = int64_t(width) * rows * 3;
  if (total < 0) {  // a negative width: the host's own refusal of a negative size
    Ref n = Ref::steal(PyLong_FromLongLong(total));
    return n ? (Py_XDECREF(call(reinterpret_cast<PyObject *>(&PyByteArray_Type), n.get())), -1) : -1;
  }
  if (total > kI32Max) return fail(raise_core(Err::Overflow));
  const int64_t row_bytes = int64_t(width) * 3, stride = (row_bytes + 3) / 4 * 4;

  Ref sought = Ref::steal(call_method(stream, "seek", offset.get()));
  if (!sought) return -1;
  GrowingPlane pixels(total);
  if (pixels.init() < 0) return -1;
  // Rows of stride 0 hold nothing: no read for them, however many the header claims.
  for (int64_t r = 0; stride > 0 && r < rows; ++r) {
    Ref row = Ref::steal(read(stream, stride));
    if (!row) return -1;
    if (!PyBytes_Check(row.get()))
      return PyErr_Format(PyExc_TypeError, "Expected bytes, got %.200s", type_name(row.get())), -1;
    if (PyBytes_GET_SIZE(row.get()) != stride) return fail(value_error("Incomplete BMP pixel data"));
    uint8_t *dst = pixels.append(row_bytes);
    if (!dst) return -1;
    auto stored = std::span(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(row.get())), size_t(stride));
    bmp_decode_row(stored, {dst, size_t(row_bytes)});
  }
  if (height > 0) flip_rows({pixels.data(), size_t(stride > 0 ? total : 0)}, size_t(row_bytes));

  Ref meta = Ref::steal(PyDict_New());
  if (!meta) return -1;
  const char *keys[] = {"xppm", "yppm", "clrUsed", "clrImportant"};
  for (int i = 0; i < 4; ++i)
    if (PyDict_SetItemString(meta.get(), keys[i], v[6 + i].get()) < 0) return -1;
  out.pixels = Ref::steal(pixels.finish());
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
