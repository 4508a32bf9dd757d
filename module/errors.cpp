// module/errors.cpp: the one place where core errors become Python exceptions.
#include "module/errors.hpp"

#include <cerrno>
#include <exception>
#include <new>

#include "module/host.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"
#include "png/inflate.hpp"

namespace corvane {

PyObject *raise_core(const Failure &f) {
  switch (f.err) {
    case Err::Ok:
      break;
    case Err::Overflow:
      return raise(PyExc_OverflowError, "image dimensions too large");
    case Err::BadFilter:
      return PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %u", unsigned(f.detail));
    case Err::BadLength:
      // What indexing past the end of the caller's pixel buffer raises.
      return raise(PyExc_IndexError, "bytearray index out of range");
    case Err::EofLength:
      return value_error(msg::kEofLength);
    case Err::EofType:
      return value_error(msg::kEofType);
    case Err::EofData:
      return value_error(msg::kEofData);
    case Err::EofCrc:
      return value_error(msg::kEofCrc);
    case Err::BadCrc:
      return value_error(msg::kBadCrc);
    case Err::NoHeader:
      return value_error(msg::kIncompleteHeader);
    case Err::BitDepth:
      return value_error(msg::kOnly8Bit);
    case Err::ColourType:
      return value_error(msg::kOnlyRgb);
    case Err::Configuration:
      return value_error(msg::kPngConfiguration);
    case Err::Malformed:
      return value_error(msg::kMalformed);
    case Err::Zlib:
      // zlib's code and words, as the host's zlib module raises them.
      return raise(host.zlib_error, decompress_error_text(int32_t(f.detail), f.text).c_str());
    case Err::Io:
      errno = int(f.detail);
      return PyErr_SetFromErrno(PyExc_OSError);
    case Err::NoMemory:
      return PyErr_NoMemory();
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
