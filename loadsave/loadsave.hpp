// loadsave/loadsave.hpp: the front door. Opening turns a path or a file's
// bytes into an image, sniffing PNG or BMP; `fn` is the member being run,
// whose namespace late-bound names resolve in.
#pragma once
#include <Python.h>

#include "loadsave/loaded.hpp"

namespace corvane {

// SimpleImage._streamToImage: the loader result for the image that begins at
// the stream's offset 0 (the stream positioned there). 0, or -1 with an error.
// `priv` is set when the front door made the stream itself.
int stream_to_image(PyObject *fn, PyObject *stream, Loaded &out, const PrivateStream *priv = nullptr);

// SimpleImage.open, called on the class `cls`.
PyObject *open_image(PyObject *fn, PyObject *cls, PyObject *source);

// SimpleImage.save: PNG with the kept chunk list, else BMP with the kept
// header values, else a plain PNG. saveBmp: always BMP.
PyObject *save_image(PyObject *fn, PyObject *self, PyObject *path);
PyObject *save_bmp(PyObject *fn, PyObject *self, PyObject *path);

}  // namespace corvane
