// module/errors.cpp: the one place where core errors become Python exceptions.
#include "module/errors.hpp"

namespace corvane {

PyObject *raise_core(Err e, size_t at) {
  (void)at;
  switch (e) {
    case Err::Ok:
      break;
    case Err::Overflow:
      return raise(PyExc_OverflowError, "image dimensions too large");
  }
  return raise(PyExc_SystemError, "core error without an exception");
}

const char *type_name(PyObject *o) { return Py_TYPE(o)->tp_name; }

}  // namespace corvane
