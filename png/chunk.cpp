// png/chunk.cpp: one PNG chunk on the wire, read and written: big-endian
// length, four type bytes, data, big-endian CRC-32 over type and data. The
// fixed layouts go through the module's `struct` and the CRC through its
// `zlib.crc32`, both looked up at each use.
#include <cstring>
#include <optional>
#include <span>

#include "module/buffer.hpp"
#include "module/byte_values.hpp"
#include "module/errors.hpp"
#include "module/host.hpp"
#include "module/messages.hpp"
#include "png/inflate.hpp"
#include "png/png.hpp"

namespace corvane {
namespace {

// A file's read(n) allocates n bytes before it reads (on PyPy in particular),
// so a corrupted length field must not turn into one read of gigabytes: data
// longer than this is read in pieces of this size, stopping at a short one.
constexpr long long kReadPiece = 16 << 20;

// struct.unpack(">I", b)[0]
PyObject *unpack_u32(PyObject *fn, PyObject *b) {
  Ref t = Ref::steal(struct_call(fn, "unpack", ">I", b));
  return t ? PySequence_GetItem(t.get(), 0) : nullptr;
}

}  // namespace

PyObject *chunk_crc(PyObject *fn, PyObject *chunk_type, PyObject *data) {
  Ref zlib = Ref::steal(global(fn, "zlib"));
  if (!zlib) return nullptr;
  Ref crc32 = Ref::steal(attr(zlib.get(), "crc32"));
  if (!crc32) return nullptr;
  // The host's crc32 over bytes is the CRC-32 computed here, several times
  // faster; anything else goes to whatever crc32 is, for its result or error.
  if (crc32.get() == host.zlib_crc32) {
    const auto type_bytes = fixed_bytes(chunk_type), data_bytes = type_bytes ? fixed_bytes(data) : std::nullopt;
    if (data_bytes) return PyLong_FromUnsignedLong(chunk_crc32(chunk_crc32(0, *type_bytes), *data_bytes));
  }
  Ref first = Ref::steal(call(crc32.get(), chunk_type));
  if (!first) return nullptr;
  Ref both = Ref::steal(call(crc32.get(), data, first.get()));
  Ref mask = Ref::steal(PyLong_FromUnsignedLong(0xFFFFFFFFul));
  if (!both || !mask) return nullptr;
  return PyNumber_And(both.get(), mask.get());
}

namespace {

PyObject *read(PyObject *stream, PyObject *count) { return call_method(stream, "read", count); }

// stream.read(length) for the data field; lengths past kReadPiece in pieces.
// The result differs from one read only in what it costs: a short piece ends
// the reading where one read would have ended it too.
PyObject *read_data(PyObject *stream, PyObject *length) {
  long long n = PyLong_Check(length) ? PyLong_AsLongLong(length) : -1;
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (n <= kReadPiece) return read(stream, length);
  Ref pieces = Ref::steal(PyList_New(0));
  if (!pieces) return nullptr;
  for (long long left = n; left > 0;) {
    long long want = left < kReadPiece ? left : kReadPiece;
    Ref count = Ref::steal(PyLong_FromLongLong(want));
    if (!count) return nullptr;
    Ref piece = Ref::steal(read(stream, count.get()));
    if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return nullptr;
    Py_ssize_t got = PyObject_Size(piece.get());
    if (got < 0) return nullptr;
    if (got != want) break;
    left -= got;
  }
  return call_method(host.empty_bytes, "join", pieces.get());
}

// Whether len(o) == n; -1 with an error when o has no length.
int has_length(PyObject *o, Py_ssize_t n) {
  Py_ssize_t len = PyObject_Size(o);
  return len < 0 ? -1 : len == n;
}

// a + b + c + d, in one allocation when all four are bytes.
PyObject *concat4(PyObject *a, PyObject *b, PyObject *c, PyObject *d) {
  PyObject *parts[] = {a, b, c, d};
  Py_ssize_t total = 0;
  bool all_bytes = true;
  for (PyObject *p : parts) {
    all_bytes = all_bytes && PyBytes_CheckExact(p);
    if (all_bytes) total += PyBytes_GET_SIZE(p);
  }
  if (!all_bytes) {
    Ref ab = Ref::steal(PyNumber_Add(a, b));
    Ref abc = Ref::steal(ab ? PyNumber_Add(ab.get(), c) : nullptr);
    return abc ? PyNumber_Add(abc.get(), d) : nullptr;
  }
  PyObject *out = PyBytes_FromStringAndSize(nullptr, total);
  if (!out) return nullptr;
  char *w = PyBytes_AS_STRING(out);
  for (PyObject *p : parts) {
    std::memcpy(w, PyBytes_AS_STRING(p), size_t(PyBytes_GET_SIZE(p)));
    w += PyBytes_GET_SIZE(p);
  }
  return out;
}

}  // namespace

int chunk_type_is(PyObject *o, const char *literal, Py_ssize_t n) {
  if (PyBytes_CheckExact(o)) return PyBytes_GET_SIZE(o) == n && std::memcmp(PyBytes_AS_STRING(o), literal, size_t(n)) == 0;
  Ref lit = Ref::steal(PyBytes_FromStringAndSize(literal, n));
  return lit ? PyObject_RichCompareBool(o, lit.get(), Py_EQ) : -1;
}

PyObject *read_chunk(PyObject *fn, PyObject *stream) {
  Ref four = Ref::steal(byte_value(4));
  Ref length_bytes = Ref::steal(read(stream, four.get()));
  if (!length_bytes) return nullptr;
  Py_ssize_t n = PyObject_Size(length_bytes.get());
  if (n < 0) return nullptr;
  if (n == 0) return Ref::borrow(host.end_of_stream).release();
  if (n != 4) return value_error(msg::kEofLength);
  Ref length = Ref::steal(unpack_u32(fn, length_bytes.get()));
  if (!length) return nullptr;

  Ref chunk_type = Ref::steal(read(stream, four.get()));
  if (!chunk_type) return nullptr;
  int ok = has_length(chunk_type.get(), 4);
  if (ok <= 0) return ok < 0 ? nullptr : value_error(msg::kEofType);

  Ref data = Ref::steal(read_data(stream, length.get()));
  if (!data) return nullptr;
  Py_ssize_t got = PyObject_Size(data.get());
  if (got < 0) return nullptr;
  Ref got_obj = Ref::steal(PyLong_FromSsize_t(got));
  if (!got_obj) return nullptr;
  if ((ok = PyObject_RichCompareBool(got_obj.get(), length.get(), Py_NE)) != 0)
    return ok < 0 ? nullptr : value_error(msg::kEofData);

  Ref crc = Ref::steal(read(stream, four.get()));
  if (!crc) return nullptr;
  if ((ok = has_length(crc.get(), 4)) <= 0)
    return ok < 0 ? nullptr : value_error(msg::kEofCrc);

  Ref actual = Ref::steal(chunk_crc(fn, chunk_type.get(), data.get()));
  if (!actual) return nullptr;
  Ref expected = Ref::steal(unpack_u32(fn, crc.get()));
  if (!expected) return nullptr;
  if ((ok = PyObject_RichCompareBool(expected.get(), actual.get(), Py_NE)) != 0)
    return ok < 0 ? nullptr : value_error(msg::kBadCrc);
  return PyTuple_Pack(2, chunk_type.get(), data.get());
}

int chunk_frame(PyObject *fn, PyObject *chunk_type, PyObject *data, Ref &length, Ref &crc) {
  Py_ssize_t n = PyObject_Size(data);
  Ref size = Ref::steal(n < 0 ? nullptr : PyLong_FromSsize_t(n));
  if (!size || !(length = Ref::steal(struct_call(fn, "pack", ">I", size.get())))) return -1;
  Ref crc_value = Ref::steal(chunk_crc(fn, chunk_type, data));
  return crc_value && (crc = Ref::steal(struct_call(fn, "pack", ">I", crc_value.get()))) ? 0 : -1;
}

PyObject *make_chunk(PyObject *fn, PyObject *chunk_type, PyObject *data) {
  Ref length, crc;
  if (chunk_frame(fn, chunk_type, data, length, crc) < 0) return nullptr;
  return concat4(length.get(), chunk_type, data, crc.get());
}

}  // namespace corvane
