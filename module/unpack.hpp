// module/unpack.hpp: `a, b, ... = value` for a fixed count of names, with the
// module's wording for a wrong count. Exact lists and tuples are checked by
// length; anything else is iterated: n items are taken, then the iteration
// must be at its end.
#pragma once
#include "module/python.hpp"

#include "module/ref.hpp"

namespace corvane {

// How a wrong count is reported: as the host reports `a, b = value`, or in
// the pixel methods' own words ("need more than 1 value to unpack").
enum class Wording : bool { Host, Pixel };

// 0 with out[0..n) set, or -1 with an exception set.
int unpack_exact(PyObject *value, Ref *out, Py_ssize_t n, Wording wording = Wording::Host);

// The message for `got` values where `expected` were wanted.
[[gnu::cold]] PyObject *raise_unpack(Py_ssize_t got, Py_ssize_t expected, Wording wording = Wording::Pixel);

}  // namespace corvane
