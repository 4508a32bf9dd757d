// module/function.hpp: the module's own callable type. Its objects look like
// ordinary Python functions to introspection (__name__, __qualname__,
// __defaults__, __annotations__ as strings, __signature__), bind to instances
// through the descriptor protocol, and bind their arguments from a Signature
// before the implementation sees them.
#pragma once
#include "module/python.hpp"

#include "module/args.hpp"

namespace corvane {

// self is the bound instance or class (nullptr for functions and static
// methods); fn is the function object, which carries the module globals
// that late-bound names are looked up in.
using Impl = PyObject *(*)(PyObject *fn, PyObject *self, const BoundArgs &args);

// The plainest call of a method, taken without binding: self of exactly
// *self_type, exactly the parameters' count of positional arguments (args),
// no keywords. Its checks and results must be the entry's own.
using Direct = PyObject *(*)(PyObject *self, PyObject *const *args);

struct FnDef {
  Signature sig;
  Impl impl;
  // For Binding::Method: self must be an instance of this type (or a subclass).
  PyTypeObject *const *self_type = nullptr;
  // For the pixel methods, whose cost is mostly the call itself (CPython).
  Direct direct = nullptr;
};

int function_type_ready();

// A new function object for def, whose __module__ is module_name and whose
// late-bound names resolve in globals (both borrowed).
PyObject *make_function(const FnDef *def, PyObject *module_name, PyObject *globals);

// The namespace a function of ours resolves late-bound names in (borrowed).
PyObject *function_globals(PyObject *fn);

// A descriptor for a class's __signature__ that describes its constructor as
// sig (without self) when read from owner itself.
PyObject *make_class_signature(const Signature *sig, PyTypeObject *owner);

}  // namespace corvane
