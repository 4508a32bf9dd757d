// image/copy.cpp: copy() gathers slices of the image's fields and builds a new
// SimpleImage through the constructor, which copies and re-checks them.
#include "image/image.hpp"
#include "module/errors.hpp"
#include "module/ref.hpp"

namespace corvane {
namespace {

// o[:], refused for objects without item access the way the host refuses it.
PyObject *full_slice(PyObject *o) {
#if defined(Py_LIMITED_API)
  const bool subscriptable = PyType_GetSlot(Py_TYPE(o), Py_mp_subscript) != nullptr;
#else
  PyMappingMethods *m = Py_TYPE(o)->tp_as_mapping;
  const bool subscriptable = m && m->mp_subscript;
#endif
  if (!subscriptable) return PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", type_name(o));
  Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
  return all ? PyObject_GetItem(o, all.get()) : nullptr;
}

// A slice of an exact bytearray is a fresh bytearray that the new image may
// adopt as is, instead of the constructor copying it a second time.
PyObject *bytearray_slice(PyObject *o, bool *fresh) {
  *fresh = PyByteArray_CheckExact(o);
  if (*fresh) return PyByteArray_FromStringAndSize(PyByteArray_AS_STRING(o), PyByteArray_GET_SIZE(o));
  return full_slice(o);
}

}  // namespace

PyObject *image_copy(PyObject *self) {
  // Each step re-reads the field: a slice of a caller's object may run code
  // that changes the image.
  Fresh fresh;
  Ref alpha = Ref::borrow(Py_None);
  if (field(as_image(self)->alpha) != Py_None) {
    Ref src = Ref::borrow(field(as_image(self)->alpha));
    alpha = Ref::steal(bytearray_slice(src.get(), &fresh.alpha));
    if (!alpha) return nullptr;
  }
  Ref chunks = Ref::borrow(Py_None);
  if (field(as_image(self)->chunks) != Py_None) {
    Ref src = Ref::borrow(field(as_image(self)->chunks));
    if (!(chunks = Ref::steal(full_slice(src.get())))) return nullptr;
  }
  Ref filters = Ref::borrow(Py_None);
  if (field(as_image(self)->filters) != Py_None) {
    Ref src = Ref::borrow(field(as_image(self)->filters));
    if (!(filters = Ref::steal(bytearray_slice(src.get(), &fresh.filters)))) return nullptr;
  }
  Ref header = Ref::borrow(Py_None);
  if (field(as_image(self)->bmp_header) != Py_None) {
    Ref src = Ref::borrow(field(as_image(self)->bmp_header));
    header = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyDict_Type), src.get(), nullptr));
    if (!header) return nullptr;
  }
  const int32_t width = as_image(self)->width, height = as_image(self)->height;
  PyObject *src_pixels = field(as_image(self)->pixels);
  if (src_pixels == Py_None) return type_error("'NoneType' object is not subscriptable");
  Ref pixels = Ref::steal(bytearray_slice(src_pixels, &fresh.pixels));
  if (!pixels) return nullptr;
  return construct_image(ImageType, width, height, pixels.get(), alpha.get(), chunks.get(), header.get(),
                         filters.get(), fresh);
}

}  // namespace corvane
