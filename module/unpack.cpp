// module/unpack.cpp: fixed-count unpacking.
#include "module/unpack.hpp"

#include "module/errors.hpp"

namespace corvane {
namespace {

bool has_iter_slot(PyObject *o) {
#if defined(Py_LIMITED_API)
  return PyType_GetSlot(Py_TYPE(o), Py_tp_iter) != nullptr;
#else
  return Py_TYPE(o)->tp_iter != nullptr;
#endif
}

}  // namespace

PyObject *raise_unpack(Py_ssize_t got, Py_ssize_t expected, Wording wording) {
  if (got > expected) return PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
  if (wording == Wording::Host)
    return PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", expected, got);
  return PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

int unpack_exact(PyObject *value, Ref *out, Py_ssize_t n, Wording wording) {
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
    const SeqItems items(value);
    if (items.size() != n) return fail(raise_unpack(items.size(), n, wording));
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items.data()[i]);
    return 0;
  }
  Ref it = Ref::steal(PyObject_GetIter(value));
  if (!it) {
    // The host words an unpacking of something not iterable at all apart.
    if (wording == Wording::Host && PyErr_ExceptionMatches(PyExc_TypeError) && !has_iter_slot(value) &&
        !PySequence_Check(value))
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(value));
    return -1;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!out[i]) return PyErr_Occurred() ? -1 : fail(raise_unpack(i, n, wording));
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) return fail(raise_unpack(n + 1, n, wording));
  return PyErr_Occurred() ? -1 : 0;
}

}  // namespace corvane
