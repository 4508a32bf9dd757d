// module/unpack.hpp: `a, b, ... = value` for a fixed count of names, with the
// module's wording for a wrong count. Exact lists and tuples are checked by
// length; anything else is iterated: n items are taken, then the iteration
// must be at its end.
#pragma once
#include <Python.h>

#include "module/ref.hpp"

namespace corvane {

// 0 with out[0..n) set, or -1 with an exception set.
int unpack_exact(PyObject *value, Ref *out, Py_ssize_t n);

// The wording for `got` values where `expected` were wanted.
[[gnu::cold]] PyObject *raise_unpack(Py_ssize_t got, Py_ssize_t expected);

}  // namespace corvane
