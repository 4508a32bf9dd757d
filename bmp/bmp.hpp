// bmp/bmp.hpp: the Python-facing BMP reader. `fn` is the module function
// being run; `struct` is looked up in its namespace at each use.
#pragma once
#include "module/python.hpp"

#include <cstdint>

#include "loadsave/loaded.hpp"

namespace corvane {

// Decodes the BMP at the stream's position (its offset 0 must be the file's
// first byte: the pixel data offset is sought absolutely). 0, or -1 with an
// exception set.
// With `priv`, the pixel rows are taken in few reads, or straight from the
// source's bytes; otherwise one read of the row stride per row.
int load_bmp(PyObject *fn, PyObject *stream, Loaded &out, const PrivateStream *priv = nullptr);
// How many bytes load_bmp reads through a stream over a private source (the
// file header and the info header's first 40 bytes) before it seeks to the
// rows, which it takes from the source.
inline constexpr Py_ssize_t kBmpHeaderReads = 14 + 4 + 36;

// _writeBmp, after width and height were converted. Every check, the header
// packing included, runs before the file is opened.
PyObject *write_bmp(PyObject *fn, PyObject *path, int32_t width, int32_t height, PyObject *pixels, PyObject *meta);

}  // namespace corvane
