// bmp/encode.cpp: the BMP writer: a 54-byte header with the resolution and
// colour counts from `meta` (or the defaults), then the rows bottom-up with
// zero pad bytes (bmp/rows.hpp). The whole file is built before the target
// is opened, so a refused call never truncates an existing file.
#include <cstring>
#include <memory>

#include "bmp/bmp.hpp"
#include "bmp/rows.hpp"
#include "image/pages.hpp"
#include "image/sizes.hpp"
#include "module/buffer.hpp"
#include "module/errors.hpp"
#include "module/host.hpp"

namespace corvane {
namespace {

struct Field {
  const char *key;
  long fallback;
};
constexpr Field kMetaFields[] = {{"xppm", 2835}, {"yppm", 2835}, {"clrUsed", 0}, {"clrImportant", 0}};

// int(meta.get(key, default)) for each field, in order; the defaults alone
// when meta is None.
int meta_values(PyObject *meta, Ref (&out)[4]) {
  for (int i = 0; i < 4; ++i) {
    Ref fallback = Ref::steal(PyLong_FromLong(kMetaFields[i].fallback));
    if (!fallback) return -1;
    if (meta == Py_None) {
      out[i] = std::move(fallback);
      continue;
    }
    PyObject *key = name(kMetaFields[i].key);
    Ref value = Ref::steal(key ? call_method(meta, "get", key, fallback.get()) : nullptr);
    if (!value || !(out[i] = Ref::steal(PyNumber_Long(value.get())))) return -1;
  }
  return 0;
}

// The decoder reads the resolutions signed, so a file may hold a negative
// one; it is written back as the same four bytes (its two's complement).
PyObject *as_unsigned_resolution(PyObject *v) {
  Ref low = Ref::steal(PyLong_FromLongLong(INT32_MIN));
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!low || !zero) return nullptr;
  int negative = PyObject_RichCompareBool(v, zero.get(), Py_LT);
  int in_range = negative > 0 ? PyObject_RichCompareBool(v, low.get(), Py_GE) : 0;
  if (negative < 0 || in_range < 0) return nullptr;
  if (!in_range) return Ref::borrow(v).release();
  Ref wrap = Ref::steal(PyLong_FromLongLong(int64_t{1} << 32));
  return wrap ? PyNumber_Add(v, wrap.get()) : nullptr;
}

}  // namespace

PyObject *write_bmp(PyObject *fn, PyObject *path, int32_t width, int32_t height, PyObject *pixels, PyObject *meta) {
  Result<BmpSizes> sizes = bmp_sizes(width, height);
  Result<ImageSizes> image = image_sizes(width, height);
  if (!sizes) return raise_core(sizes);
  if (!image) return raise_core(image);
  const BmpSizes &s = sizes.value;
  Ref values[4];
  if (meta_values(meta, values) < 0) return nullptr;
  Ref pix_buf = Ref::steal(PyByteArray_Check(pixels) ? Ref::borrow(pixels).release()
                                                     : call(reinterpret_cast<PyObject *>(&PyByteArray_Type), pixels));
  if (!pix_buf) return nullptr;

  auto num = [](long long v) { return Ref::steal(PyLong_FromLongLong(v)); };
  Ref file_size = num(s.file_bytes), zero = num(0), offset = num(54), header_size = num(40), w = num(width),
      h = num(height), planes = num(1), bits = num(24), image_size = num(s.pixel_bytes);
  if (!file_size || !zero || !offset || !header_size || !w || !h || !planes || !bits || !image_size) return nullptr;
  // The headers are frozen as they are made: caller code still runs before
  // the file is written (a stand-in struct, conversions, the path's fspath).
  Ref file_header = Ref::steal(struct_call(fn, "pack", "<IHHI", file_size.get(), zero.get(), zero.get(), offset.get()));
  file_header = Ref::steal(file_header ? freeze(file_header.get()) : nullptr);
  if (!file_header) return nullptr;
  Ref xppm = Ref::steal(as_unsigned_resolution(values[0].get()));
  Ref yppm = Ref::steal(xppm ? as_unsigned_resolution(values[1].get()) : nullptr);
  if (!yppm) return nullptr;
  Ref info_header = Ref::steal(struct_call(fn, "pack", "<IIIHHIIIIII", header_size.get(), w.get(), h.get(),
                                           planes.get(), bits.get(), zero.get(), image_size.get(), xppm.get(),
                                           yppm.get(), values[2].get(), values[3].get()));
  info_header = Ref::steal(info_header ? freeze(info_header.get()) : nullptr);
  if (!info_header) return nullptr;

  // The pixel array in the module's own memory, given to the file as it is:
  // on PyPy a bytearray written from C is cleared, then copied once before C
  // may write it, and bytes made in C are copied once more on their way out.
  const auto array = std::make_unique_for_overwrite<uint8_t[]>(size_t(s.pixel_bytes));
  prefer_huge_pages(array.get(), size_t(s.pixel_bytes));
  {
    // The rows come from the caller's buffer, which another thread could
    // resize (or, on PyPy, move) were the lock let go: it is kept, and the
    // view is let go before the file is written. Rows read past the end of a
    // short buffer fail as indexing it would.
    BufferView rgb;
    if (rgb.get(pix_buf.get()) < 0) return nullptr;
    if (rgb.size() < size_t(image.value.rgb_bytes)) return raise_core(Err::BadLength);
    const auto rows = std::span(array.get(), size_t(s.pixel_bytes));
    Result<size_t> done = bmp_encode_pixels(rgb.bytes(), width, height, rows);
    if (!done) return raise_core(done);
  }
  Ref magic = Ref::steal(PyBytes_FromStringAndSize("BM", 2));
  if (!magic) return nullptr;
  PyObject *pieces[] = {magic.get(), file_header.get(), info_header.get()};
  if (write_file(path, pieces, 3, {array.get(), size_t(s.pixel_bytes)}) < 0) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace corvane
