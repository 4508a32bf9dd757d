// module/byte_values.hpp: the ints 0..255 as shared, immortal-for-the-process
// objects. A fresh int made in C costs PyPy's cpyext a new app-level object on
// its way out (about 150 ns); handing out one it has seen before costs almost
// nothing. On CPython these are its own small-int cache.
#pragma once
#include "module/python.hpp"

#include <cstdint>

namespace corvane {

int init_byte_values();  // at load: 0, or -1 with an exception set

extern PyObject *byte_values[256];

// A new reference to int(v). Inline: the pixel methods make three a call.
inline PyObject *byte_value(uint8_t v) {
  Py_INCREF(byte_values[v]);
  return byte_values[v];
}

}  // namespace corvane
