// module/args.hpp: argument handling shared by every callable of the module.
// Binding (arity and keywords) is table-driven from a Signature; the typed
// converters (exact built-in types, 32-bit integers) follow CPython's
// converter convention: 0 on success, -1 with an exception set.
#pragma once
#include "module/python.hpp"

#include <cstdint>
#include <span>

namespace corvane {

enum class Binding : uint8_t {
  Function,  // module-level: every positional argument is a parameter
  Method,    // instance method: the first positional argument is self
  Static,    // static method: no self
  Class,     // class method: the first positional argument is the class
};

struct Param {
  const char *name;
  const char *annotation;  // text stored in __annotations__, or nullptr
};

struct Signature {
  const char *name;      // __name__, and the name arity messages print
  const char *qualname;  // __qualname__
  std::span<const Param> params;  // without self / cls
  Py_ssize_t nrequired;  // leading parameters without a default; the rest default to None
  const char *returns;   // return annotation text, or nullptr
  Binding binding;

  Py_ssize_t nparams() const { return Py_ssize_t(params.size()); }
  bool has_defaults() const { return nrequired < nparams(); }
  bool takes_self() const { return binding == Binding::Method || binding == Binding::Class; }
};

inline constexpr Py_ssize_t kMaxParams = 7;

// The arguments of one call, one per parameter, in parameter order. Values
// taken from a keyword dict are owned here: the dict belongs to the caller,
// whose code (an __index__, a __len__) may empty it while the body still uses
// them. Positional values and vectorcall keywords live in the caller's
// argument array, which the host keeps alive for the whole call.
struct BoundArgs {
  PyObject *v[kMaxParams] = {};
  PyObject *operator[](Py_ssize_t i) const { return v[i]; }
  BoundArgs() = default;
  BoundArgs(const BoundArgs &) = delete;
  BoundArgs &operator=(const BoundArgs &) = delete;
  ~BoundArgs() {
    for (PyObject *o : owned) Py_XDECREF(o);
  }
  void own(Py_ssize_t i) {
    Py_INCREF(v[i]);
    owned[i] = v[i];
  }

 private:
  PyObject *owned[kMaxParams] = {};
};

// vectorcall form: args[0..nargs) positional, then one value per kwnames item.
int bind_vector(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                BoundArgs &out);
// tp_call form. kwargs may be NULL or, as PyPy passes it, an empty dict.
int bind_tuple(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwargs,
               BoundArgs &out);

// The wrong-type refusal of the exact checks below: -1 with the TypeError set.
[[gnu::cold]] int raise_incorrect_type(PyObject *o, PyTypeObject *expected, const char *param);

// Exact built-in type checks: subclass instances are refused too.
inline int check_exact_tuple(PyObject *o, const char *param) {
  return PyTuple_CheckExact(o) ? 0 : raise_incorrect_type(o, &PyTuple_Type, param);
}
int check_exact_bytes(PyObject *o, const char *param);
int check_exact_str(PyObject *o, const char *param);
// As above, with None let through.
int check_exact_bytes_or_none(PyObject *o, const char *param);
int check_exact_list_or_none(PyObject *o, const char *param);

// The value of the _pixels property: exactly a bytearray, or None.
int check_pixels_value(PyObject *o);

// A signed 32-bit integer: an int that fits, or any object with an integer
// conversion whose result fits.
int to_i32(PyObject *o, int32_t *out);

}  // namespace corvane
