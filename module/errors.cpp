// module/errors.cpp: the one place where core errors become Python exceptions.
#include "module/errors.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <string>

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

#if defined(Py_LIMITED_API)
namespace {
struct KnownType {
  PyTypeObject *type;
  const char *made_name;
};
KnownType known_types[4];
}  // namespace

void remember_type_name(PyTypeObject *t, const char *made_name) {
  for (KnownType &k : known_types)
    if (!k.type || k.type == t) {
      k = {t, made_name};
      return;
    }
}

// tp_name is out of the stable ABI's reach, so it is rebuilt from the names
// the type shows, as the host derives those from it: a static type's
// tp_name is "module.name", the module left out for the built-ins; a class
// statement's type, or a type renamed since, has its __name__; this module's
// own types have the dotted name they were made with while they keep their __name__.
// The one type named otherwise than by the host: one another extension made
// with PyType_FromSpec, which this names by its __name__ alone.
const char *type_name_of(PyTypeObject *t) {
  thread_local std::string ring[4];
  thread_local unsigned next = 0;
  std::string &out = ring[next++ % 4];
  out.clear();
  auto text = [](PyObject *s) -> const char * {
    const char *u = s && PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, nullptr) : nullptr;
    if (!u) PyErr_Clear();
    return u;
  };
  // Naming a type must not disturb an error being raised, or set one.
  PyObject *pending = PyErr_GetRaisedException();
  Ref name = Ref::steal(PyType_GetName(t));
  const char *n = text(name.get());
  if (PyType_GetFlags(t) & Py_TPFLAGS_HEAPTYPE) {
    for (const KnownType &k : known_types) {
      if (k.type != t || !n) continue;
      const char *dot = std::strrchr(k.made_name, '.');
      if (std::strcmp(dot ? dot + 1 : k.made_name, n) == 0) n = k.made_name;
    }
    out = n ? n : "?";
  } else {
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(t), "__module__"));
    const char *m = text(module.get());
    if (m && std::strcmp(m, "builtins") != 0) out.append(m).append(".");
    out += n ? n : "?";
  }
  PyErr_SetRaisedException(pending);
  return out.c_str();
}
#else
const char *type_name_of(PyTypeObject *t) { return t->tp_name; }
#endif

const char *type_name(PyObject *o) { return type_name_of(Py_TYPE(o)); }

}  // namespace corvane
