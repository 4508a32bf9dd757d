// module/plane.hpp: a bytearray that grows as a decoder's data arrives, in
// doubling steps capped at the size the header promises. A header may claim
// far more than its file holds; a few bytes of input must not cost gigabytes
// before the short data is found. On success the bytearray is handed over at
// the size filled.
#pragma once
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <span>

#include "module/ref.hpp"

namespace corvane {

class GrowingPlane {
 public:
  explicit GrowingPlane(int64_t total) : total_(total) {}
  // With `whole`, the plane is made at its full size at once: where the
  // header's size is modest, one allocation costs less than growing (on
  // PyPy much less: each growth copies).
  int init(bool whole = false) {
    const int64_t n = whole ? total_ : 0;
    if (!(plane_ = Ref::steal(PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(n))))) return -1;
    capacity_ = n;
    return 0;
  }

  // Capacity for at least n bytes (n <= total); -1 with an exception set.
  int reserve(int64_t n) {
    if (n <= capacity_) return 0;
    int64_t want = std::min(total_, std::max({capacity_ * 2, n, int64_t{1} << 20}));
    if (PyByteArray_Resize(plane_.get(), Py_ssize_t(want)) < 0) return -1;
    capacity_ = want;
    return 0;
  }
  // Room for n more bytes at the end; nullptr with an exception set if none.
  uint8_t *append(int64_t n) {
    if (reserve(filled_ + n) < 0) return nullptr;
    uint8_t *at = data() + filled_;
    filled_ += n;
    return at;
  }
  int64_t total() const { return total_; }
  uint8_t *data() { return reinterpret_cast<uint8_t *>(PyByteArray_AS_STRING(plane_.get())); }
  // All the memory reserved so far; it moves when reserve grows it.
  std::span<uint8_t> room() { return {data(), size_t(capacity_)}; }
  void set_filled(int64_t n) { filled_ = n; }
  // The bytearray at the size filled.
  PyObject *finish() {
    if (capacity_ != filled_ && PyByteArray_Resize(plane_.get(), Py_ssize_t(filled_)) < 0) return nullptr;
    return plane_.release();
  }

 private:
  Ref plane_;
  int64_t total_, filled_ = 0, capacity_ = 0;
};

}  // namespace corvane
