// module/buffer.hpp: a Python buffer held for as long as native code reads
// it, released on every way out. No caller code may run while a span taken
// from it is in use: a bytearray can move when resized.
#pragma once
#include <Python.h>

#include <cstdint>
#include <span>

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
    held_ = PyObject_GetBuffer(o, &v_, flags) == 0;
    return held_ ? 0 : -1;
  }
  const Py_buffer &raw() const { return v_; }
  size_t size() const { return size_t(v_.len); }
  std::span<const uint8_t> bytes() const { return {static_cast<const uint8_t *>(v_.buf), size()}; }

 private:
  Py_buffer v_{};
  bool held_ = false;
};

}  // namespace corvane
