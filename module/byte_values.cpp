// module/byte_values.cpp: the shared ints 0..255.
#include "module/byte_values.hpp"

namespace corvane {

PyObject *byte_values[256] = {};

int init_byte_values() {
  for (int i = 0; i < 256; ++i)
    if (!byte_values[i] && !(byte_values[i] = PyLong_FromLong(i))) return -1;
  return 0;
}

}  // namespace corvane
