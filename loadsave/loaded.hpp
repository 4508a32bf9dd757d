// loadsave/loaded.hpp: what a decoder hands to the front door: the eight
// fields of the loader result, owned. `pixels` and `alpha` are bytearrays the
// decoder made and nobody else has seen, so the image may adopt them.
#pragma once
#include "module/ref.hpp"

#include <cstdint>
#include <span>

namespace corvane {

struct Loaded {
  Ref width, height, pixels, channels, alpha, chunks, bmp_meta, png_filters;

  // The loader result as Python sees it: an 8-tuple, fields in this order.
  PyObject *to_tuple() const {
    return PyTuple_Pack(8, width.get(), height.get(), pixels.get(), channels.get(), alpha.get(), chunks.get(),
                        bmp_meta.get(), png_filters.get());
  }
};

// A stream that only the front door reads (it made it, and runs the module's
// own loader on it): how its bytes are taken is nobody else's to see, so a
// decoder may take them the cheapest way. `source` is the bytes object (exact)
// a BytesIO stream was made from, nullptr for a file.
//
// A BytesIO of the host's own over bytes is not even made until a decoder
// needs a stream (the decoders are then handed none): a PNG read by the
// core's walk never does, and on PyPy making one copies the whole file.
//
// `memory`, when set, is where the source's bytes are, reached without the
// source object crossing into C (on PyPy that crossing copies the bytes);
// the caller keeps them alive and in place.
struct PrivateStream {
  PyObject *source = nullptr;
  std::span<const uint8_t> memory = {};

  // The first n bytes of the stream, as its read(n) would give them.
  PyObject *head(Py_ssize_t n) const { return PySequence_GetSlice(source, 0, n); }
  // `stream`, or the stream made now and positioned at `at`, into `made`:
  // over the whole source, or over its first `reads` bytes when a decoder
  // reads no more than that through it (the rest it takes from the source).
  PyObject *stream_at(PyObject *stream, long long at, Ref &made, Py_ssize_t reads = -1) const;
};

}  // namespace corvane
