// loadsave/loadsave.hpp: the front door. Opening turns a path or a file's
// bytes into an image, sniffing PNG or BMP; `fn` is the member being run,
// whose namespace late-bound names resolve in.
#pragma once
#include "module/python.hpp"

#include "loadsave/loaded.hpp"

#include <cstdint>
#include <span>

namespace corvane {

// SimpleImage._streamToImage: the loader result for the image that begins at
// the stream's offset 0 (the stream positioned there). 0, or -1 with an error.
// `priv` is set when the front door made the stream itself.
int stream_to_image(PyObject *fn, PyObject *stream, Loaded &out, const PrivateStream *priv = nullptr);

// SimpleImage.open, called on the class `cls`.
PyObject *open_image(PyObject *fn, PyObject *cls, PyObject *source);
// SimpleImage.open(source) for exact bytes, up to its report, where what
// open does before it reads the PNG (the path check, the BytesIO and
// _streamToImage it would use, the sniffing, the names the chunk reading
// goes through) is known to come to the core's walk: (image, channels).
// With `memory` set, the bytes are read there and `source` is not used.
PyObject *open_walked_png(PyObject *fn, PyObject *source, std::span<const uint8_t> memory = {});
// SimpleImage.open(source) for exact bytes at `memory` that open would sniff
// as BMP, with the BytesIO, _streamToImage and Path it would use the
// module's own: `head` holds the bytes' start, what the BMP reader reads
// through its stream.
PyObject *open_sniffed_bmp(PyObject *fn, PyObject *head, std::span<const uint8_t> memory);
// On PyPy: SimpleImage.open as a Python function that takes that common
// case to open_walked_png itself, every other call to `c_open`.
int install_fast_open(PyObject *type, PyObject *c_open, PyObject *module_name, PyObject *globals);

// SimpleImage.save: PNG with the kept chunk list, else BMP with the kept
// header values, else a plain PNG. saveBmp: always BMP.
PyObject *save_image(PyObject *fn, PyObject *self, PyObject *path);
PyObject *save_bmp(PyObject *fn, PyObject *self, PyObject *path);

}  // namespace corvane
