// loadsave/save.cpp: SimpleImage.save and saveBmp. They only choose a writer,
// looked up by name in the module namespace at each call, and hand it the
// image's fields.
#include "image/image.hpp"
#include "loadsave/loadsave.hpp"
#include "module/host.hpp"

namespace corvane {
namespace {

// writer(path, width, height, <fields...>), the fields read from the image now.
template <class... F>
PyObject *hand_to(PyObject *fn, const char *writer_name, PyObject *self, PyObject *path, F... fields) {
  Ref writer = Ref::steal(global(fn, writer_name));
  Ref w = Ref::steal(PyLong_FromLong(as_image(self)->width));
  Ref h = Ref::steal(PyLong_FromLong(as_image(self)->height));
  if (!writer || !w || !h) return nullptr;
  Ref r = Ref::steal(call(writer.get(), path, w.get(), h.get(), fields...));
  return r ? Ref::borrow(Py_None).release() : nullptr;
}

}  // namespace

PyObject *save_image(PyObject *fn, PyObject *self, PyObject *path) {
  ImageObject *im = as_image(self);
  Ref pixels = Ref::borrow(field(im->pixels)), alpha = Ref::borrow(field(im->alpha)),
      chunks = Ref::borrow(field(im->chunks)), filters = Ref::borrow(field(im->filters)),
      header = Ref::borrow(field(im->bmp_header));
  if (chunks.get() != Py_None)
    return hand_to(fn, "_writePngWithChunks", self, path, pixels.get(), alpha.get(), chunks.get(), filters.get());
  if (header.get() != Py_None) return hand_to(fn, "_writeBmp", self, path, pixels.get(), header.get());
  return hand_to(fn, "_writePng", self, path, pixels.get(), alpha.get(), filters.get());
}

PyObject *save_bmp(PyObject *fn, PyObject *self, PyObject *path) {
  ImageObject *im = as_image(self);
  Ref pixels = Ref::borrow(field(im->pixels)), header = Ref::borrow(field(im->bmp_header));
  return hand_to(fn, "_writeBmp", self, path, pixels.get(), header.get());
}

}  // namespace corvane
