// loadsave/loaded.hpp: what a decoder hands to the front door: the eight
// fields of the loader result, owned. `pixels` and `alpha` are bytearrays the
// decoder made and nobody else has seen, so the image may adopt them.
#pragma once
#include "module/ref.hpp"

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
// decoder may take them the cheapest way. `source` is the bytes or bytearray
// a BytesIO stream was made from, nullptr for a file.
struct PrivateStream {
  PyObject *source = nullptr;
};

}  // namespace corvane
