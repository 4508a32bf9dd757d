// module/errors.cpp: the one place where core errors become Python exceptions.
#include "module/errors.hpp"

#include <exception>
#include <new>

#include "module/ref.hpp"

namespace corvane {

PyObject *raise_core(Err e, size_t at, uint32_t detail) {
  (void)at;
  switch (e) {
    case Err::Ok:
      break;
    case Err::Overflow:
      return raise(PyExc_OverflowError, "image dimensions too large");
    case Err::BadFilter:
      return PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %u", unsigned(detail));
    case Err::BadLength:
      // What indexing past the end of the caller's pixel buffer raises.
      return raise(PyExc_IndexError, "bytearray index out of range");
  }
  return raise(PyExc_SystemError, "core error without an exception");
}

PyObject *refuse_negative_count() {
  Ref n = Ref::steal(PyLong_FromLong(-1));
  Ref made = Ref::steal(n ? PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyByteArray_Type), n.get(),
                                                         nullptr)
                          : nullptr);
  if (made) PyErr_SetString(PyExc_ValueError, "negative count");  // no host accepts one
  return nullptr;
}

PyObject *raise_cxx_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  } catch (const std::exception &e) {
    return raise(PyExc_RuntimeError, e.what());
  } catch (...) {
    return raise(PyExc_SystemError, "unknown C++ exception in native code");
  }
}

const char *type_name(PyObject *o) { return Py_TYPE(o)->tp_name; }

}  // namespace corvane
