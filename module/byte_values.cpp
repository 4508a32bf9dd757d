// module/byte_values.cpp: the shared ints 0..255.
#include "module/byte_values.hpp"

namespace corvane {
namespace {
PyObject *values[256] = {};
}

int init_byte_values() {
  for (int i = 0; i < 256; ++i)
    if (!values[i] && !(values[i] = PyLong_FromLong(i))) return -1;
  return 0;
}

PyObject *byte_value(uint8_t v) {
  Py_INCREF(values[v]);
  return values[v];
}

}  // namespace corvane
