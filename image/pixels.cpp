// image/pixels.cpp: getPixel and putPixel.
//
// Coordinates and colour components are the caller's objects and are treated
// with the host's comparisons, arithmetic and int(), which may run caller code
// that changes the image mid-call. So the fast path applies only when nothing
// can run caller code (exact ints, an exact bytearray that is long enough),
// and the general path re-reads every field of the image after each call out
// and lets the host index the buffer, so a resized or replaced _pixels gives
// the host's own error instead of a stale pointer.
#include "module/python.hpp"
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

#include <climits>
#include <cstdint>
#include <optional>

#include "image/image.hpp"
#include "image/sizes.hpp"
#include "module/byte_values.hpp"
#include "module/errors.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"
#include "module/unpack.hpp"

namespace corvane {
namespace {

// An exact int of one digit read in place: coordinates and components
// nearly always are, and the conversion call costs more than the rest of
// the fast path. False for anything else (PyPy reads none in place). On the
// stable ABI, which hides the digits, the value is asked for and kept to the
// one-digit range, so that both builds take the same path.
inline bool compact_int(PyObject *o, long *v) {
#if defined(Py_LIMITED_API)
  int overflow = 0;
  const long x = PyLong_AsLongAndOverflow(o, &overflow);
  if (overflow || x <= -(1L << 30) || x >= (1L << 30)) return false;
  *v = x;
  return true;
#elif !defined(PYPY_VERSION) && PY_VERSION_HEX >= 0x030C0000
  auto *l = reinterpret_cast<PyLongObject *>(o);
  if (!PyUnstable_Long_IsCompact(l)) return false;
  *v = long(PyUnstable_Long_CompactValue(l));
  return true;
#elif !defined(PYPY_VERSION)
  Py_ssize_t size = Py_SIZE(o);
  if (size < -1 || size > 1) return false;
  *v = long(size) * long(reinterpret_cast<PyLongObject *>(o)->ob_digit[0]);
  return true;
#else
  (void)o, (void)v;
  return false;
#endif
}

// An exact int as a long; values beyond long saturate, which keeps them out of
// any int32 range. Exact ints run no caller code, so this cannot fail.
bool exact_int(PyObject *o, long *v) {
  if (!PyLong_CheckExact(o)) return false;
  if (compact_int(o, v)) return true;
  int overflow = 0;
  *v = PyLong_AsLongAndOverflow(o, &overflow);
  if (overflow) *v = overflow > 0 ? LONG_MAX : LONG_MIN;
  return true;
}

// `a OP b` truth-tested, as the host evaluates a comparison in a condition.
int compare(PyObject *a, PyObject *b, int op) {
  Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
  return r ? PyObject_IsTrue(r.get()) : -1;
}

// 0 <= x < width and 0 <= y < height, left to right, stopping at the first
// false test. width and height are read when their test runs: the tests before
// may have changed them. 1 inside, 0 outside, -1 error.
int in_bounds_general(PyObject *self, PyObject *x, PyObject *y) {
  Ref zero = Ref::steal(byte_value(0));
  int r;
  if ((r = compare(zero.get(), x, Py_LE)) <= 0) return r;
  Ref width = Ref::steal(PyLong_FromLong(as_image(self)->width));
  if (!width || (r = compare(x, width.get(), Py_LT)) <= 0) return width ? r : -1;
  if ((r = compare(zero.get(), y, Py_LE)) <= 0) return r;
  Ref height = Ref::steal(PyLong_FromLong(as_image(self)->height));
  if (!height) return -1;
  return compare(y, height.get(), Py_LT);
}

// (y * width + x) * 3 with the host's arithmetic on the given objects.
PyObject *index_general(PyObject *self, PyObject *x, PyObject *y) {
  Ref width = Ref::steal(PyLong_FromLong(as_image(self)->width));
  if (!width) return nullptr;
  Ref row = Ref::steal(PyNumber_Multiply(y, width.get()));
  if (!row) return nullptr;
  Ref at = Ref::steal(PyNumber_Add(row.get(), x));
  if (!at) return nullptr;
  Ref three = Ref::steal(byte_value(3));
  return PyNumber_Multiply(at.get(), three.get());
}

// index + k; index itself for k == 0.
PyObject *index_plus(PyObject *index, long k) {
  if (k == 0) {
    Py_INCREF(index);
    return index;
  }
  Ref kk = Ref::steal(byte_value(uint8_t(k)));
  return PyNumber_Add(index, kk.get());
}

// Where the pixel's bytes start, when the fast path can touch them directly.
std::optional<Py_ssize_t> direct_offset(PyObject *self, std::optional<int64_t> offset) {
  PyObject *pixels = field(as_image(self)->pixels);
  if (!offset || !PyByteArray_CheckExact(pixels)) return std::nullopt;
  if (*offset > int64_t(PyByteArray_GET_SIZE(pixels)) - 3) return std::nullopt;
  return Py_ssize_t(*offset);
}

uint8_t *pixel_bytes(PyObject *self) {
  return reinterpret_cast<uint8_t *>(PyByteArray_AS_STRING(field(as_image(self)->pixels)));
}

// Where the coordinates land. `offset` is set when both are exact ints (the
// tests and the index then need no host calls); `index` holds the host-computed
// index otherwise. Returns 0, or -1 with the error set.
struct Target {
  std::optional<int64_t> offset;
  Ref index;
  bool exact = false;
};

int locate(PyObject *self, PyObject *coords, Target &t) {
  Py_ssize_t n = PyTuple_GET_SIZE(coords);
  if (n != 2) return fail(raise_unpack(n, 2));
  PyObject *x = PyTuple_GET_ITEM(coords, 0);
  PyObject *y = PyTuple_GET_ITEM(coords, 1);
  long lx, ly;
  if (exact_int(x, &lx) && exact_int(y, &ly)) {
    const ImageObject *im = as_image(self);
    if (!(0 <= lx && lx < im->width && 0 <= ly && ly < im->height)) return fail(value_error(msg::kOutOfBounds));
    t.exact = true;
    t.offset = rgb_offset(lx, ly, im->width);
    if (t.offset) return 0;
  } else {
    int r = in_bounds_general(self, x, y);
    if (r < 0) return -1;
    if (r == 0) return fail(value_error(msg::kOutOfBounds));
  }
  t.index = Ref::steal(index_general(self, x, y));
  return t.index ? 0 : -1;
}

// The index as a host object, for the general path.
PyObject *index_object(const Target &t) {
  if (t.index) {
    Py_INCREF(t.index.get());
    return t.index.get();
  }
  return PyLong_FromLongLong(*t.offset);
}

PyObject *rgb_tuple(const uint8_t *p) {
  PyObject *t = PyTuple_New(3);
  if (!t) return nullptr;
  for (Py_ssize_t i = 0; i < 3; ++i) PyTuple_SET_ITEM(t, i, byte_value(p[i]));
  return t;
}

// The low eight bits of an exact int, in two's complement.
int exact_low_byte(PyObject *v, uint8_t *out) {
  long l;
  if (compact_int(v, &l)) {
    *out = uint8_t(l & 255);
    return 0;
  }
  int overflow = 0;
  l = PyLong_AsLongAndOverflow(v, &overflow);
  if (!overflow) {
    *out = uint8_t(l & 255);
    return 0;
  }
  Ref mask = Ref::steal(byte_value(255));
  Ref low = Ref::steal(PyNumber_And(v, mask.get()));
  if (!low) return -1;
  *out = uint8_t(PyLong_AsLong(low.get()));
  return 0;
}

// The key for pixels[at], the way the host would index it. CPython 3.11's own
// bytearray assignment reads its buffer before it calls the key's __index__,
// so a key whose __index__ resizes the buffer makes the host write into freed
// memory. The module converts such a key itself (once, as the host would) and
// hands the buffer a plain int. Other keys reach the buffer unchanged, so the
// host's refusal keeps its own wording; so does every key of a non-bytearray.
PyObject *buffer_key(PyObject *pixels, PyObject *at) {
  if (PyLong_Check(at) || !PyByteArray_Check(pixels) || !PyIndex_Check(at)) {
    Py_INCREF(at);
    return at;
  }
  return PyNumber_Index(at);
}

// pixels[index + k], evaluated as the host evaluates the expression: the
// buffer is fetched first and is the one read, whatever the key's code does.
PyObject *load_general(PyObject *self, PyObject *index, long k) {
  Ref pixels = Ref::borrow(field(as_image(self)->pixels));
  Ref at = Ref::steal(index_plus(index, k));
  if (!at) return nullptr;
  Ref key = Ref::steal(buffer_key(pixels.get(), at.get()));
  return key ? PyObject_GetItem(pixels.get(), key.get()) : nullptr;
}

// One component the general way: int(c) & 255 stored at index + k, in the
// host's order for `pixels[index + k] = int(c) & 255`.
int store_general(PyObject *self, PyObject *index, long k, PyObject *component) {
  Ref v = Ref::steal(PyNumber_Long(component));
  if (!v) return -1;
  Ref mask = Ref::steal(byte_value(255));
  Ref low = Ref::steal(PyNumber_And(v.get(), mask.get()));
  if (!low) return -1;
  Ref pixels = Ref::borrow(field(as_image(self)->pixels));
  Ref at = Ref::steal(index_plus(index, k));
  if (!at) return -1;
  Ref key = Ref::steal(buffer_key(pixels.get(), at.get()));
  return key ? PyObject_SetItem(pixels.get(), key.get(), low.get()) : -1;
}

}  // namespace

namespace {

// Where the plainest call's pixel starts: two one-digit exact ints inside the
// image and an exact bytearray that holds the pixel. Nothing here can run
// caller code; any other case takes the full path, which decides everything
// again (out-of-bounds errors included).
inline uint8_t *plain_pixel(PyObject *self, PyObject *coords) {
  if (PyTuple_GET_SIZE(coords) != 2) return nullptr;
  PyObject *ox = PyTuple_GET_ITEM(coords, 0), *oy = PyTuple_GET_ITEM(coords, 1);
  long x, y;
  if (!PyLong_CheckExact(ox) || !PyLong_CheckExact(oy) || !compact_int(ox, &x) || !compact_int(oy, &y))
    return nullptr;
  const ImageObject *im = as_image(self);
  if (x < 0 || x >= im->width || y < 0 || y >= im->height || !im->pixels || !PyByteArray_CheckExact(im->pixels))
    return nullptr;
  // y * width + x < 2^62, so three times it fits 64 unsigned bits.
  uint64_t at = (uint64_t(y) * uint64_t(im->width) + uint64_t(x)) * 3;
  if (at + 3 > uint64_t(PyByteArray_GET_SIZE(im->pixels))) return nullptr;
  return reinterpret_cast<uint8_t *>(PyByteArray_AS_STRING(im->pixels)) + at;
}

// The low bytes of three one-digit exact ints in an exact list or tuple.
inline bool plain_rgb(PyObject *value, uint8_t (&rgb)[3]) {
  if (!(PyTuple_CheckExact(value) || PyList_CheckExact(value))) return false;
  const SeqItems items(value);
  if (items.size() != 3) return false;
  for (int i = 0; i < 3; ++i) {
    long v;
    if (!PyLong_CheckExact(items.data()[i]) || !compact_int(items.data()[i], &v)) return false;
    rgb[i] = uint8_t(v & 255);
  }
  return true;
}

}  // namespace

PyObject *image_get_pixel(PyObject *self, PyObject *coords) {
  if (const uint8_t *p = plain_pixel(self, coords)) return rgb_tuple(p);
  Target t;
  if (locate(self, coords, t) < 0) return nullptr;
  if (t.exact) {
    if (auto at = direct_offset(self, t.offset)) {
      return rgb_tuple(pixel_bytes(self) + *at);
    }
  }
  Ref index = Ref::steal(index_object(t));
  if (!index) return nullptr;
  Ref v[3];
  for (long k = 0; k < 3; ++k)
    if (!(v[k] = Ref::steal(load_general(self, index.get(), k)))) return nullptr;
  return PyTuple_Pack(3, v[0].get(), v[1].get(), v[2].get());
}

PyObject *image_put_pixel(PyObject *self, PyObject *coords, PyObject *value) {
  uint8_t rgb[3];
  if (uint8_t *p = plain_pixel(self, coords); p && plain_rgb(value, rgb)) {
    p[0] = rgb[0];
    p[1] = rgb[1];
    p[2] = rgb[2];
    Py_RETURN_NONE;
  }
  Target t;
  if (locate(self, coords, t) < 0) return nullptr;
  Ref c[3];
  if (unpack_exact(value, c, 3, Wording::Pixel) < 0) return nullptr;

  if (t.exact && PyLong_CheckExact(c[0].get()) && PyLong_CheckExact(c[1].get()) && PyLong_CheckExact(c[2].get())) {
    uint8_t b[3];
    for (int i = 0; i < 3; ++i)
      if (exact_low_byte(c[i].get(), &b[i]) < 0) return nullptr;
    if (auto at = direct_offset(self, t.offset)) {
      uint8_t *p = pixel_bytes(self) + *at;
      p[0] = b[0];
      p[1] = b[1];
      p[2] = b[2];
      Py_RETURN_NONE;
    }
  }
  Ref index = Ref::steal(index_object(t));
  if (!index) return nullptr;
  for (long k = 0; k < 3; ++k)
    if (store_general(self, index.get(), k, c[k].get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace corvane
