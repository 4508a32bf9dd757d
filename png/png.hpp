// png/png.hpp: the Python-facing PNG reader: the chunk layer and the decoder.
// `fn` is the module function being run; late-bound names (struct, zlib,
// PNG_SIGNATURE, _readChunk) are looked up in its namespace at each use.
#pragma once
#include <Python.h>

#include "loadsave/loaded.hpp"

namespace corvane {

// The next chunk of `stream` as (type, data), or the shared (b"", b"") at a
// clean end of the stream.
PyObject *read_chunk(PyObject *fn, PyObject *stream);
// length + type + data + CRC as one bytes object; both arguments exact bytes.
PyObject *make_chunk(PyObject *fn, PyObject *chunk_type, PyObject *data);

// Decodes the PNG at the stream's position. 0, or -1 with an exception set.
int load_png(PyObject *fn, PyObject *stream, Loaded &out);

}  // namespace corvane
