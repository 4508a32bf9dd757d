// module/ref.hpp: an owning, move-only reference to a Python object.
// Ownership is said at the point of taking it: Ref::steal adopts a new
// reference, Ref::borrow adds one. release() hands the reference back out.
#pragma once
#include "module/python.hpp"

#include <utility>

namespace corvane {

class Ref {
  PyObject *p_ = nullptr;
  explicit Ref(PyObject *p) : p_(p) {}

 public:
  Ref() = default;
  static Ref steal(PyObject *p) { return Ref(p); }
  static Ref borrow(PyObject *p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref &operator=(Ref &&o) noexcept {
    PyObject *old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject *get() const { return p_; }
  PyObject *release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }
};

// A new reference to None, for fields that are never NULL.
inline PyObject *new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}

// Replace an owned field with a new reference; the old value is released
// last, so its destructor sees the object already consistent.
inline void set_field(PyObject *&field, PyObject *owned) {
  PyObject *old = std::exchange(field, owned);
  Py_XDECREF(old);
}

}  // namespace corvane
