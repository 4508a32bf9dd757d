// loadsave/open.cpp: SimpleImage.open and SimpleImage._streamToImage.
#include <cstdio>
#include <cstring>

#include "bmp/bmp.hpp"
#include "image/image.hpp"
#include "loadsave/loadsave.hpp"
#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/host.hpp"
#include "module/messages.hpp"
#include "module/unpack.hpp"
#include "png/png.hpp"

namespace corvane {
namespace {

// cls._streamToImage(stream). The module's own loader is run directly; its
// planes then reach the constructor unseen by anyone else.
int load_through(PyObject *fn, PyObject *cls, PyObject *stream, Loaded &out, bool &fresh,
                 const PrivateStream *priv) {
  Ref loader = Ref::steal(attr(cls, "_streamToImage"));
  if (!loader) return -1;
  if ((fresh = loader.get() == host.stream_to_image)) return stream_to_image(fn, stream, out, priv);
  Ref made;
  if (priv && !(stream = priv->stream_at(stream, 0, made))) return -1;
  Ref result = Ref::steal(call(loader.get(), stream));
  Ref f[8];
  if (!result || unpack_exact(result.get(), f, 8) < 0) return -1;
  out = {std::move(f[0]), std::move(f[1]), std::move(f[2]), std::move(f[3]),
         std::move(f[4]), std::move(f[5]), std::move(f[6]), std::move(f[7])};
  return 0;
}

// `with open(path, "rb") as stream:` around load_through.
int load_file(PyObject *fn, PyObject *cls, PyObject *path, Loaded &out, bool &fresh) {
  const PrivateStream file;
  return with_open(path, "rb", [&](PyObject *stream) { return load_through(fn, cls, stream, out, fresh, &file); });
}

int load_bytes(PyObject *fn, PyObject *cls, PyObject *source, Loaded &out, bool &fresh) {
  Ref bytes_io = Ref::steal(global(fn, "BytesIO"));
  if (!bytes_io) return -1;
  // Only the host's BytesIO is a stream nobody else sees read. It holds its
  // own copy of a bytearray, so the decoders read from one made here: the
  // caller may change the bytearray before they start (a class attribute
  // lookup runs the caller's code).
  const bool genuine = bytes_io.get() == host.bytes_io;
  Ref snapshot = Ref::steal(!genuine || PyBytes_CheckExact(source) ? Ref::borrow(source).release()
                                                                    : PyBytes_FromObject(source));
  if (!snapshot) return -1;
  if (genuine) {
    // Nobody sees the host's own BytesIO made or read, so it is made only
    // where a stream must be handed on.
    const PrivateStream bytes{snapshot.get()};
    return load_through(fn, cls, nullptr, out, fresh, &bytes);
  }
  Ref stream = Ref::steal(call(bytes_io.get(), snapshot.get()));
  return stream ? load_through(fn, cls, stream.get(), out, fresh, nullptr) : -1;
}

// print("[SimpleImage] Opened image: {width}x{height}, channels={channels}")
int report(const Loaded &r) {
  Ref line;
  if (PyLong_CheckExact(r.width.get()) && PyLong_CheckExact(r.height.get()) && PyLong_CheckExact(r.channels.get())) {
    // format(x, "") of an exact int is its digits: no call needed for them.
    const long long w = PyLong_AsLongLong(r.width.get()), h = PyLong_AsLongLong(r.height.get()),
                    c = PyLong_AsLongLong(r.channels.get());
    if (!PyErr_Occurred()) {
      // Formatted here: PyPy's PyUnicode_FromFormat costs more than the rest of a small open.
      char text[128];
      const int n = std::snprintf(text, sizeof text, "[SimpleImage] Opened image: %lldx%lld, channels=%lld", w, h, c);
      line = Ref::steal(PyUnicode_FromStringAndSize(text, n));
      Ref printed = Ref::steal(line ? call(host.print, line.get()) : nullptr);
      return printed ? 0 : -1;
    }
    PyErr_Clear();  // digits beyond a long long: as any other object
  }
  PyObject *plain = name("");  // format(x, "")
  if (!plain) return -1;
  Ref w = Ref::steal(PyObject_Format(r.width.get(), plain));
  Ref h = Ref::steal(w ? PyObject_Format(r.height.get(), plain) : nullptr);
  Ref c = Ref::steal(h ? PyObject_Format(r.channels.get(), plain) : nullptr);
  if (!c) return -1;
  line = Ref::steal(PyUnicode_FromFormat("[SimpleImage] Opened image: %Ux%U, channels=%U", w.get(), h.get(),
                                         c.get()));
  Ref printed = Ref::steal(line ? call(host.print, line.get()) : nullptr);
  return printed ? 0 : -1;
}

// The image of a loader result, made by `cls`; `fresh` when its planes are
// the decoder's own, for the image to adopt.
PyObject *image_of(PyObject *cls, const Loaded &r, bool fresh) {
  if (cls != reinterpret_cast<PyObject *>(ImageType))
    return call(cls, r.width.get(), r.height.get(), r.pixels.get(), r.alpha.get(), r.chunks.get(), r.bmp_meta.get(),
                r.png_filters.get());
  int32_t width, height;
  if (to_i32(r.width.get(), &width) < 0 || to_i32(r.height.get(), &height) < 0) return nullptr;
  return construct_image(ImageType, width, height, r.pixels.get(), r.alpha.get(), r.chunks.get(), r.bmp_meta.get(),
                         r.png_filters.get(), Fresh{fresh, fresh, fresh});
}

// That image, and the report of it.
PyObject *opened(PyObject *cls, const Loaded &r, bool fresh) {
  Ref image = Ref::steal(image_of(cls, r, fresh));
  if (!image || report(r) < 0) return nullptr;
  return image.release();
}

}  // namespace

PyObject *PrivateStream::stream_at(PyObject *stream, long long at, Ref &made, Py_ssize_t reads) const {
  if (stream) return stream;
  Ref part = Ref::steal(reads < 0 ? Ref::borrow(source).release() : head(reads));
  made = Ref::steal(part ? call(host.bytes_io, part.get()) : nullptr);
  if (!made) return nullptr;
  if (at) {
    Ref offset = Ref::steal(PyLong_FromLongLong(at));
    Ref sought = Ref::steal(offset ? call_method(made.get(), "seek", offset.get()) : nullptr);
    if (!sought) return nullptr;
  }
  return made.get();
}

int stream_to_image(PyObject *fn, PyObject *stream, Loaded &out, const PrivateStream *priv) {
  const bool unmade = !stream;
  Ref signature = Ref::steal(unmade ? priv->head(8) : stream_read(stream, 8));
  if (!signature) return -1;
  if (!unmade) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref sought = Ref::steal(zero ? call_method(stream, "seek", zero.get()) : nullptr);
    if (!sought) return -1;
  }
  Ref png_signature = Ref::steal(global(fn, "PNG_SIGNATURE"));
  if (!png_signature) return -1;
  bool starts_with = false, equal = false;
  int is_png;
  if (exact_bytes_pair(signature.get(), png_signature.get(), starts_with, equal)) {
    is_png = starts_with;
  } else {
    Ref starts = Ref::steal(call_method(signature.get(), "startswith", png_signature.get()));
    is_png = starts ? PyObject_IsTrue(starts.get()) : -1;
  }
  // The decoders' native parts allocate as C++ does: a failure to is the
  // host's MemoryError, never an exception through the interpreter.
  if (is_png) return is_png < 0 ? -1 : load_png(fn, stream, out, priv);
  Ref magic = Ref::steal(PySequence_GetSlice(signature.get(), 0, 2));
  Ref bm = Ref::steal(PyBytes_FromStringAndSize("BM", 2));
  int is_bmp = magic && bm ? PyObject_RichCompareBool(magic.get(), bm.get(), Py_EQ) : -1;
  if (is_bmp) {
    Ref made;
    // The BMP reader reads its headers through the stream and its rows from
    // the source itself: on PyPy a BytesIO of the whole file is a copy of it.
    if (is_bmp < 0 || (unmade && !(stream = priv->stream_at(nullptr, 0, made, kBmpHeaderReads)))) return -1;
    return load_bmp(fn, stream, out, priv);
  }
  return fail(value_error(msg::kUnsupportedFormat));
}

PyObject *open_image(PyObject *fn, PyObject *cls, PyObject *source) {
  if (PyObject_TypeCheck(source, ImageType)) return Ref::borrow(source).release();
  Loaded r;
  bool fresh = false;
  int rc;
  int is_path = PyUnicode_Check(source);
  if (!is_path) {
    Ref path_type = Ref::steal(global(fn, "Path"));
    if (!path_type || (is_path = PyObject_IsInstance(source, path_type.get())) < 0) return nullptr;
  }
  if (is_path)
    rc = load_file(fn, cls, source, r, fresh);
  else if (PyBytes_Check(source) || PyByteArray_Check(source))
    rc = load_bytes(fn, cls, source, r, fresh);
  else
    return type_error(msg::kNotPathOrBytes);
  return rc < 0 ? nullptr : opened(cls, r, fresh);
}

PyObject *open_walked_png(PyObject *fn, PyObject *source, std::span<const uint8_t> memory) {
  const PrivateStream bytes{source, memory};
  Loaded r;
  if (load_png_walked(fn, bytes, r) < 0) return nullptr;
  Ref image = Ref::steal(image_of(reinterpret_cast<PyObject *>(ImageType), r, true));
  return image ? PyTuple_Pack(2, image.get(), r.channels.get()) : nullptr;
}

PyObject *open_sniffed_bmp(PyObject *fn, PyObject *head, std::span<const uint8_t> memory) {
  const PrivateStream bytes{head, memory};
  Ref made;
  PyObject *stream = bytes.stream_at(nullptr, 0, made, kBmpHeaderReads);
  Loaded r;
  if (!stream || load_bmp(fn, stream, r, &bytes) < 0) return nullptr;
  return opened(reinterpret_cast<PyObject *>(ImageType), r, true);
}

}  // namespace corvane
