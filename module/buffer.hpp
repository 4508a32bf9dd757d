// module/buffer.hpp: a Python buffer held for as long as native code reads
// it, released on every way out. No caller code may run while a span taken
// from it is in use: a bytearray can move when resized.
#pragma once
#include "module/python.hpp"

#include <cstdint>
#include <optional>
#include <span>

#include "module/host.hpp"
#include "module/ref.hpp"

namespace corvane {

class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView &) = delete;
  BufferView &operator=(const BufferView &) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&v_);
  }
  // PyObject_GetBuffer(o, flags): 0, or -1 with the host's error.
  int get(PyObject *o, int flags = PyBUF_SIMPLE) {
#if defined(PYPY_VERSION)
    // PyPy keeps 32 bytes for good with every buffer a bytearray exports; a
    // bytearray's memory is taken directly, as the flat writable bytes
    // (format "B", one dimension) its buffer would describe.
    if (PyByteArray_CheckExact(o)) {
      v_.buf = PyByteArray_AS_STRING(o);
      v_.len = PyByteArray_GET_SIZE(o);
      v_.itemsize = 1;
      v_.ndim = 1;
      v_.readonly = 0;
      v_.format = const_cast<char *>("B");
      return 0;
    }
#endif
    held_ = PyObject_GetBuffer(o, &v_, flags) == 0;
    if (!held_) return -1;
#if defined(PYPY_VERSION)
    // cpyext sizes its C copy of a bytes subclass by the subclass's len(),
    // which may claim more than the bytes hold: only the bytes' own length
    // says how much of that copy was written.
    if (PyBytes_Check(o) && !PyBytes_CheckExact(o)) {
      Ref len = Ref::steal(attr(reinterpret_cast<PyObject *>(&PyBytes_Type), "__len__"));
      Ref n = Ref::steal(len ? PyObject_CallFunctionObjArgs(len.get(), o, nullptr) : nullptr);
      const Py_ssize_t real = n ? PyLong_AsSsize_t(n.get()) : -1;
      if (real < 0) return -1;
      if (real < v_.len) v_.len = real;
    }
#endif
    return 0;
  }
  const Py_buffer &raw() const { return v_; }
  size_t size() const { return size_t(v_.len); }
  std::span<const uint8_t> bytes() const { return {static_cast<const uint8_t *>(v_.buf), size()}; }

 private:
  Py_buffer v_{};
  bool held_ = false;
};

// Pieces of a bytes-like object to hand back to the host. On CPython they are
// memoryview slices: no copy. On PyPy a memoryview made from C is never
// freed, and it keeps the C copy of the whole object it views alive with it
// (a file's worth of memory per open), so there the pieces are slices of a
// bytes or bytearray itself, which PyPy cuts on its own side.
class Slices {
 public:
  // 0; or -1 with TypeError when `o` has no buffer of contiguous bytes, or
  // with the host's error.
  int init(PyObject *o) {
#if defined(PYPY_VERSION)
    // Exact types only: a subclass may answer len() and slicing as it likes.
    if (PyBytes_CheckExact(o) || PyByteArray_CheckExact(o)) {
      base_ = Ref::borrow(o);
      return 0;
    }
    if (!PyObject_CheckBuffer(o)) {
      PyErr_Format(PyExc_TypeError, "memoryview: a bytes-like object is required, not '%.200s'", Py_TYPE(o)->tp_name);
      return -1;
    }
    base_ = Ref::steal(PyBytes_FromObject(o));
#else
    base_ = Ref::steal(PyMemoryView_FromObject(o));
    // Slices count bytes: a view of wider items, or of more than one
    // dimension, is taken as the bytes it holds; one with gaps is no more
    // bytes-like here than it is to a join.
    if (base_) {
#if defined(Py_LIMITED_API)
      // The view a memoryview holds is out of the stable ABI's reach; one
      // taken from it describes the same memory.
      BufferView held;
      if (held.get(base_.get(), PyBUF_FULL_RO) < 0) return -1;
      const Py_buffer *v = &held.raw();
#else
      const Py_buffer *v = PyMemoryView_GET_BUFFER(base_.get());
#endif
      if (!PyBuffer_IsContiguous(v, 'C')) {
        PyErr_Format(PyExc_TypeError, "memoryview: underlying buffer is not C-contiguous");
        base_ = Ref();
      } else if (v->ndim != 1 || v->itemsize != 1) {
        base_ = Ref::steal(PyBytes_FromObject(o));
      }
    }
#endif
    return base_ ? 0 : -1;
  }
  Py_ssize_t size() const { return PyObject_Size(base_.get()); }
  PyObject *slice(Py_ssize_t from, Py_ssize_t to) const { return PySequence_GetSlice(base_.get(), from, to); }

 private:
  Ref base_;
};

}  // namespace corvane

namespace corvane {

// Whether a memoryview views an exact bytes object (which nothing can change).
inline bool views_bytes(PyObject *view) {
#if defined(Py_LIMITED_API)
  // A released view has no .obj: it views nothing.
  Ref base = Ref::steal(PyObject_GetAttrString(view, "obj"));
  if (!base) PyErr_Clear();
  return base && PyBytes_CheckExact(base.get());
#else
  PyObject *base = PyMemoryView_GET_BUFFER(view)->obj;
  return base && PyBytes_CheckExact(base);
#endif
}

// What a writer frames (a chunk's length and CRC are computed from it) or
// lays into a file must be the bytes that are written, whatever caller code
// runs in between: `o` itself when it is bytes or a memoryview of bytes,
// which nothing can change; a bytes copy of any other buffer, taken now; and
// `o` itself when it has no buffer, so that the host refuses it later in its
// own words. A new reference, or nullptr with the host's error.
inline PyObject *freeze(PyObject *o) {
  if (PyBytes_CheckExact(o)) return Ref::borrow(o).release();
  if (PyMemoryView_Check(o) && views_bytes(o)) return Ref::borrow(o).release();
  if (!PyObject_CheckBuffer(o)) return Ref::borrow(o).release();
  BufferView view;
  if (view.get(o) < 0) {
    // Not contiguous bytes: left for the host to refuse where it is used.
    PyErr_Clear();
    return Ref::borrow(o).release();
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(view.bytes().data()), Py_ssize_t(view.size()));
}

// The bytes of an object nothing can change (bytes, or a contiguous
// memoryview of bytes), for work done on them here; nothing otherwise.
inline std::optional<std::span<const uint8_t>> fixed_bytes(PyObject *o) {
  if (PyBytes_CheckExact(o))
    return std::span(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(o)), size_t(PyBytes_GET_SIZE(o)));
  if (PyMemoryView_Check(o) && views_bytes(o)) {
#if defined(Py_LIMITED_API)
    // The bytes outlive the view taken here: `o` holds them.
    BufferView held;
    if (held.get(o, PyBUF_FULL_RO) < 0) {
      PyErr_Clear();
      return std::nullopt;
    }
    Py_buffer *v = const_cast<Py_buffer *>(&held.raw());
#else
    Py_buffer *v = PyMemoryView_GET_BUFFER(o);  // cpyext's IsContiguous takes it writable
#endif
    if (PyBuffer_IsContiguous(v, 'C')) return std::span(static_cast<const uint8_t *>(v->buf), size_t(v->len));
  }
  return std::nullopt;
}

// The number of bytes `frozen` (a result of freeze) puts into a file: its
// buffer's size, or len() of an object without one, which the host refuses
// before anything is written.
inline Py_ssize_t written_size(PyObject *frozen) {
  if (const auto b = fixed_bytes(frozen)) return Py_ssize_t(b->size());
  return PyObject_Size(frozen);
}

}  // namespace corvane
