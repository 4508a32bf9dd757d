// module/errors.hpp: raising helpers that return the failure value, so call
// sites read `return type_error("...")`. PyObject* paths fail with nullptr,
// int paths with -1.
#pragma once
#include "module/python.hpp"

#include "image/result.hpp"

namespace corvane {

[[gnu::cold]] inline PyObject *raise(PyObject *type, const char *msg) {
  PyErr_SetString(type, msg);
  return nullptr;
}
[[gnu::cold]] inline PyObject *type_error(const char *msg) { return raise(PyExc_TypeError, msg); }
[[gnu::cold]] inline PyObject *value_error(const char *msg) { return raise(PyExc_ValueError, msg); }

// For int-returning paths: `return fail(value_error("..."));`
inline int fail(PyObject *) { return -1; }

// The single mapping from core errors to exceptions.
[[gnu::cold]] PyObject *raise_core(const Failure &f);
[[gnu::cold]] inline PyObject *raise_core(Err e, size_t at = 0, uint32_t detail = 0) {
  return raise_core(Failure{e, at, detail, nullptr});
}
template <class T>
[[gnu::cold]] PyObject *raise_core(const Result<T> &r) {
  return raise_core(r.failure());
}

// What making a buffer of a negative size raises, in the host's words (as
// bytearray(n) gives them). Returns nullptr.
[[gnu::cold]] PyObject *refuse_negative_count();

// The C++ exception being handled, raised as the host's own: no memory is
// MemoryError, any other std::exception a RuntimeError with its what(), and
// anything else a SystemError. Only for the one boundary every callable is
// dispatched through (module/function.cpp); called from a catch block, with
// the lock held. Returns nullptr.
[[gnu::cold]] PyObject *raise_cxx_exception() noexcept;

// Name of an object's type, or of a type, as the host's own messages print
// it (its tp_name). The text lasts until the next few calls on this thread.
const char *type_name(PyObject *o);
const char *type_name_of(PyTypeObject *t);

#if defined(Py_LIMITED_API)
// The tp_name of a type this module made with PyType_FromSpec, which the stable ABI
// cannot read back (`made_name` lasts as long as the process).
void remember_type_name(PyTypeObject *t, const char *made_name);
#endif

}  // namespace corvane
