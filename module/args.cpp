// module/args.cpp: every argument check of the module and its messages, so
// they read the same on CPython and PyPy and sit in one place.
#include "module/args.hpp"

#include "module/errors.hpp"
#include "module/host.hpp"
#include "module/ref.hpp"

namespace corvane {
namespace {

[[gnu::cold]] int raise_arity(const Signature &sig, bool too_many, Py_ssize_t given) {
  const bool defaults = sig.has_defaults();
  const char *qualifier;
  Py_ssize_t expected;
  if (too_many) {
    qualifier = defaults ? "at most" : "exactly";
    expected = sig.nparams();
  } else {
    qualifier = defaults ? "at least" : "exactly";
    expected = sig.nrequired;
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name,
               qualifier, expected, expected == 1 ? "" : "s", given);
  return -1;
}

int bind_positional(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, BoundArgs &out) {
  if (nargs > sig.nparams()) return raise_arity(sig, true, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.v[i] = args[i];
  return 0;
}

int bind_keyword(const Signature &sig, Py_ssize_t nargs, PyObject *key, PyObject *value, BoundArgs &out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
    return -1;
  }
  for (Py_ssize_t i = 0; i < sig.nparams(); ++i) {
    int eq = PyUnicode_CompareWithASCIIString(key, sig.params[i].name);
    if (eq != 0) continue;
    if (i < nargs || out.v[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
      return -1;
    }
    out.v[i] = value;
    return 0;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
  return -1;
}

// After keywords: the first missing required parameter decides the message,
// which counts the parameters supplied before it.
int bind_finish(const Signature &sig, BoundArgs &out) {
  for (Py_ssize_t i = 0; i < sig.nrequired; ++i)
    if (!out.v[i]) return raise_arity(sig, false, i);
  for (Py_ssize_t i = sig.nrequired; i < sig.nparams(); ++i)
    if (!out.v[i]) out.v[i] = Py_None;
  return 0;
}

}  // namespace

int bind_vector(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                BoundArgs &out) {
  if (bind_positional(sig, args, nargs, out) < 0) return -1;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      if (bind_keyword(sig, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out) < 0) return -1;
  } else if (nargs == sig.nparams()) {
    return 0;  // the common call: everything positional, nothing to fill
  }
  return bind_finish(sig, out);
}

int bind_tuple(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwargs,
               BoundArgs &out) {
  if (bind_positional(sig, args, nargs, out) < 0) return -1;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (bind_keyword(sig, nargs, key, value, out) < 0) return -1;
    }
    // Owned only once binding is done: an error above leaves nothing owned
    // twice, and nothing in the loop runs caller code.
    for (Py_ssize_t i = nargs; i < sig.nparams(); ++i)
      if (out.v[i]) out.own(i);
  }
  return bind_finish(sig, out);
}

int raise_incorrect_type(PyObject *o, PyTypeObject *expected, const char *param) {
  if (PyObject_TypeCheck(o, expected))
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                 "Subclasses of built-in types are not accepted.",
                 param, type_name_of(expected), type_name(o));
  else
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 type_name_of(expected), type_name(o));
  return -1;
}

int check_exact_bytes(PyObject *o, const char *param) {
  return PyBytes_CheckExact(o) ? 0 : raise_incorrect_type(o, &PyBytes_Type, param);
}
int check_exact_str(PyObject *o, const char *param) {
  return PyUnicode_CheckExact(o) ? 0 : raise_incorrect_type(o, &PyUnicode_Type, param);
}
int check_exact_bytes_or_none(PyObject *o, const char *param) {
  return o == Py_None ? 0 : check_exact_bytes(o, param);
}
int check_exact_list_or_none(PyObject *o, const char *param) {
  return (o == Py_None || PyList_CheckExact(o)) ? 0 : raise_incorrect_type(o, &PyList_Type, param);
}

int check_pixels_value(PyObject *o) {
  if (o == Py_None || PyByteArray_CheckExact(o)) return 0;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytearray", type_name(o));
  return -1;
}

namespace {

[[gnu::cold]] int raise_too_large() {
  PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
  return -1;
}

int int_to_i32(PyObject *o, int32_t *out) {
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return -1;
  if (overflow || v < INT32_MIN || v > INT32_MAX) return raise_too_large();
  *out = int32_t(v);
  return 0;
}

// Whether int(o) has a conversion to call, found where the host's own number
// protocol finds it: on o's type, never through the metaclass (a metaclass
// __int__ converts the class, not its instances). CPython keeps it in the
// type's number slots; PyPy looks the names up along the type's MRO.
#if defined(PYPY_VERSION)
bool type_defines(PyObject *type, const char *name) {
  PyObject *key = corvane::name(name);
  Ref mro = Ref::steal(key ? attr(type, "__mro__") : nullptr);
  if (!mro || !PyTuple_Check(mro.get())) {
    PyErr_Clear();
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    Ref dict = Ref::steal(attr(PyTuple_GET_ITEM(mro.get(), i), "__dict__"));
    int found = dict ? PyMapping_HasKey(dict.get(), key) : 0;
    if (!dict) PyErr_Clear();
    if (found) return true;
  }
  return false;
}

bool has_int_conversion(PyObject *o) {
  PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(o));
  return type_defines(type, "__int__") || type_defines(type, "__index__");
}
#else
bool has_int_conversion(PyObject *o) {
#if defined(Py_LIMITED_API)
  return PyType_GetSlot(Py_TYPE(o), Py_nb_int) || PyType_GetSlot(Py_TYPE(o), Py_nb_index);
#else
  PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
  return nb && (nb->nb_int || nb->nb_index);
#endif
}
#endif

}  // namespace

int to_i32(PyObject *o, int32_t *out) {
  if (PyLong_Check(o)) return int_to_i32(o, out);
  if (!has_int_conversion(o)) return fail(type_error("an integer is required"));
  Ref v = Ref::steal(PyNumber_Long(o));
  if (!v) return -1;
  return int_to_i32(v.get(), out);
}

}  // namespace corvane
