// png/png.hpp: the Python-facing PNG reader: the chunk layer and the decoder.
// `fn` is the module function being run; late-bound names (struct, zlib,
// PNG_SIGNATURE, _readChunk) are looked up in its namespace at each use.
#pragma once
#include "module/python.hpp"

#include <cstdint>

#include "loadsave/loaded.hpp"

namespace corvane {

// The next chunk of `stream` as (type, data), or the shared (b"", b"") at a
// clean end of the stream.
PyObject *read_chunk(PyObject *fn, PyObject *stream);
// length + type + data + CRC as one bytes object; both arguments exact bytes.
PyObject *make_chunk(PyObject *fn, PyObject *chunk_type, PyObject *data);
// The fields _makeChunk puts around the data, struct.pack(">I", len(data))
// and the packed CRC, for a writer that lays the data out itself.
int chunk_frame(PyObject *fn, PyObject *chunk_type, PyObject *data, Ref &length, Ref &crc);

// zlib.crc32(chunk_type) continued over data, masked to 32 bits, through the
// module's zlib: the CRC field of a chunk, as a Python int.
PyObject *chunk_crc(PyObject *fn, PyObject *chunk_type, PyObject *data);

// type == literal (n bytes), by the host's comparison unless type is bytes:
// 1, 0, or -1 with an error.
int chunk_type_is(PyObject *type, const char *literal, Py_ssize_t n = 4);

// Decodes the PNG at the stream's position. 0, or -1 with an exception set.
// With `priv` over bytes, and the module's own chunk reading, the chunks are
// read from those bytes rather than through the stream.
int load_png(PyObject *fn, PyObject *stream, Loaded &out, const PrivateStream *priv = nullptr);
// load_png of bytes that begin with the signature, when the names its chunk
// reading goes through are known to be the genuine ones (only the core's
// walk reads them).
int load_png_walked(PyObject *fn, const PrivateStream &bytes, Loaded &out);

// _split_idat_payload: data exactly bytes, lengths exactly a list.
PyObject *split_idat_payload(PyObject *data, PyObject *lengths);

// _writePng and _writePngWithChunks, after their dimensions were converted.
PyObject *write_png(PyObject *fn, PyObject *path, int32_t width, int32_t height, PyObject *pixels, PyObject *alpha,
                    PyObject *filter_types);
PyObject *write_png_with_chunks(PyObject *fn, PyObject *path, int32_t width, int32_t height, PyObject *pixels,
                                PyObject *alpha, PyObject *chunks, PyObject *filter_types);

}  // namespace corvane
