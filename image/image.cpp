// image/image.cpp: the SimpleImage type, its constructor and its properties.
#include "image/image.hpp"

#include <cstddef>
#include <new>
#include <vector>
#if defined(PYPY_VERSION)
#include <structmember.h>
#endif

#include "image/sizes.hpp"
#include "module/errors.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"

namespace corvane {

PyTypeObject *ImageType = nullptr;

namespace {

constexpr Param kConstructorParams[] = {
    {"width", nullptr},      {"height", nullptr},     {"pixels", nullptr},      {"alpha", nullptr},
    {"png_chunks", nullptr}, {"bmp_header", nullptr}, {"png_filters", nullptr},
};

}  // namespace

// The constructor reports itself as __cinit__ in arity messages.
const Signature kConstructorSignature{"__cinit__", "SimpleImage.__cinit__", kConstructorParams, 3, nullptr,
                                      Binding::Function};

namespace {

// bytearray(o), with the two common exact types copied directly.
PyObject *to_bytearray(PyObject *o) {
  if (PyByteArray_CheckExact(o))
    return PyByteArray_FromStringAndSize(PyByteArray_AS_STRING(o), PyByteArray_GET_SIZE(o));
  if (PyBytes_CheckExact(o)) return PyByteArray_FromStringAndSize(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
  return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyByteArray_Type), o, nullptr);
}

// The constructor checks len() first, then converts. An object whose len()
// disagrees with what it yields would leave the image with a buffer of the
// wrong size; the same length check, after the copy, keeps the invariant.
PyObject *checked_bytearray(PyObject *o, Py_ssize_t expected, bool fresh, const char *mismatch) {
  Ref b = fresh ? Ref::borrow(o) : Ref::steal(to_bytearray(o));
  if (!b) return nullptr;
  if (PyByteArray_GET_SIZE(b.get()) != expected) return value_error(mismatch);
  return b.release();
}

PyObject *image_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  if (kwargs && PyDict_GET_SIZE(kwargs) == 0) kwargs = nullptr;
  BoundArgs a;
  const SeqItems items(args);
  if (bind_tuple(kConstructorSignature, items.data(), items.size(), kwargs, a) < 0) return nullptr;
  int32_t width, height;
  if (to_i32(a[0], &width) < 0 || to_i32(a[1], &height) < 0) return nullptr;
  return construct_image(type, width, height, a[2], a[3], a[4], a[5], a[6]);
}

void clear_fields(ImageObject *im) {
  Py_CLEAR(im->pixels);
  Py_CLEAR(im->alpha);
  Py_CLEAR(im->chunks);
  Py_CLEAR(im->filters);
  Py_CLEAR(im->bmp_header);
}

// A long chain of images (each holding the next in a field) would free
// recursively and overflow the C stack; the host's trashcan defers the deeper
// levels, as its own containers do. cpyext has no trashcan, and needs none:
// it does not free C-held references recursively on the C stack.
// The stable ABI has no trashcan, so that build defers the same way on its
// own: past kDeferDepth images being freed inside one another on a thread,
// the next is put aside and freed by the outermost one, once it is done.
#if defined(PYPY_VERSION)
#define CORVANE_TRASHCAN_BEGIN(op, fn)
#define CORVANE_TRASHCAN_END
#else
#define CORVANE_TRASHCAN_BEGIN(op, fn) Py_TRASHCAN_BEGIN(op, fn)
#define CORVANE_TRASHCAN_END Py_TRASHCAN_END
#endif

void free_image(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  clear_fields(as_image(self));
#if defined(Py_LIMITED_API)
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
#else
  type->tp_free(self);
#endif
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

#if defined(Py_LIMITED_API)
constexpr int kDeferDepth = 50;
thread_local int dealloc_depth = 0;
thread_local std::vector<PyObject *> deferred;
#endif

void image_dealloc(PyObject *self) {
  PyObject_GC_UnTrack(self);
#if defined(Py_LIMITED_API)
  if (dealloc_depth >= kDeferDepth) {
    try {
      deferred.push_back(self);
      return;
    } catch (const std::bad_alloc &) {
      // No room to put it aside: freed here, one level deeper.
    }
  }
  ++dealloc_depth;
  free_image(self);
  if (dealloc_depth == 1) {
    while (!deferred.empty()) {
      PyObject *next = deferred.back();
      deferred.pop_back();
      free_image(next);
    }
  }
  --dealloc_depth;
#else
  CORVANE_TRASHCAN_BEGIN(self, image_dealloc)
  free_image(self);
  CORVANE_TRASHCAN_END
#endif
}

// _pixels holds only a bytearray or None and cannot take part in a cycle.
int image_traverse(PyObject *self, visitproc visit, void *arg) {
  ImageObject *im = as_image(self);
#if !defined(PYPY_VERSION) && PY_VERSION_HEX >= 0x03090000
  Py_VISIT(Py_TYPE(self));
#endif
  Py_VISIT(im->alpha);
  Py_VISIT(im->chunks);
  Py_VISIT(im->filters);
  Py_VISIT(im->bmp_header);
  return 0;
}

int image_clear(PyObject *self) {
  ImageObject *im = as_image(self);
  set_field(im->alpha, new_none());
  set_field(im->chunks, new_none());
  set_field(im->filters, new_none());
  set_field(im->bmp_header, new_none());
  return 0;
}

#if defined(PYPY_VERSION)
PyGetSetDef *image_properties = nullptr;

// cpyext gives instances of every type an attribute dictionary. Instances of
// SimpleImage itself have none: only its properties can be set. Subclasses
// keep their dictionary. Both PyObject_GenericSetAttr and the descriptor's
// own slot come back into this function under cpyext, so the property table
// is consulted directly.
int image_setattro(PyObject *self, PyObject *name, PyObject *value) {
  if (Py_TYPE(self) != ImageType) return PyObject_GenericSetAttr(self, name, value);
  for (PyGetSetDef *p = image_properties; p->name; ++p) {
    if (PyUnicode_CompareWithASCIIString(name, p->name) != 0) continue;
    if (p->set) return p->set(self, value, p->closure);
    PyErr_Format(PyExc_AttributeError, "attribute '%U' of '%.100s' objects is not writable", name,
                 ImageType->tp_name);
    return -1;
  }
  PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", ImageType->tp_name, name);
  return -1;
}
#endif

}  // namespace

PyObject *construct_image(PyTypeObject *type, int32_t width, int32_t height, PyObject *pixels, PyObject *alpha,
                          PyObject *png_chunks, PyObject *bmp_header, PyObject *png_filters, Fresh fresh) {
  Result<ImageSizes> sizes = image_sizes(width, height);
  if (!sizes) return raise_core(sizes.err);

#if defined(Py_LIMITED_API)
  Ref obj = Ref::steal(reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0));
#else
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
#endif
  if (!obj) return nullptr;
  ImageObject *im = as_image(obj.get());
  im->width = im->height = 0;
  im->pixels = new_none();
  im->alpha = new_none();
  im->chunks = new_none();
  im->filters = new_none();
  im->bmp_header = new_none();

  Py_ssize_t n = PyObject_Size(pixels);
  if (n < 0) return nullptr;
  if (n != sizes.value.rgb_bytes) return value_error(msg::kPixelMismatch);
  im->width = width;
  im->height = height;
  PyObject *buf = checked_bytearray(pixels, n, fresh.pixels, msg::kPixelMismatch);
  if (!buf) return nullptr;
  set_field(im->pixels, buf);

  if (alpha != Py_None) {
    if ((n = PyObject_Size(alpha)) < 0) return nullptr;
    if (n != sizes.value.area) return value_error(msg::kAlphaMismatch);
    if (!(buf = checked_bytearray(alpha, n, fresh.alpha, msg::kAlphaMismatch))) return nullptr;
    set_field(im->alpha, buf);
  }
  if (png_chunks != Py_None) {
    PyObject *list = PySequence_List(png_chunks);
    if (!list) return nullptr;
    set_field(im->chunks, list);
  }
  if (png_filters != Py_None) {
    if ((n = PyObject_Size(png_filters)) < 0) return nullptr;
    if (n != height) return value_error(msg::kFilterMismatch);
    if (!(buf = checked_bytearray(png_filters, n, fresh.filters, msg::kFilterMismatch))) return nullptr;
    set_field(im->filters, buf);
  }
  if (bmp_header != Py_None) {
    PyObject *dict = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyDict_Type), bmp_header, nullptr);
    if (!dict) return nullptr;
    set_field(im->bmp_header, dict);
  }
  return obj.release();
}

#if defined(PYPY_VERSION)
// Members the host reads without a call into C. They are taken out of the
// class dict once the type is made, so only the module's fast pixel path
// (image/pixels_pypy.cpp), which keeps the descriptors, can use them.
PyMemberDef kLayoutMembers[] = {
    {"_layout_width", T_INT, offsetof(ImageObject, width), READONLY, nullptr},
    {"_layout_height", T_INT, offsetof(ImageObject, height), READONLY, nullptr},
    {"_layout_pixels", T_OBJECT, offsetof(ImageObject, pixels), READONLY, nullptr},
    {},
};
#endif

PyObject *make_image_type(PyGetSetDef *properties) {
#if defined(PYPY_VERSION)
  image_properties = properties;
#endif
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char *>("A minimal RGB image helper with optional alpha and format memory.")},
      {Py_tp_new, reinterpret_cast<void *>(image_new)},
      {Py_tp_dealloc, reinterpret_cast<void *>(image_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void *>(image_traverse)},
      {Py_tp_clear, reinterpret_cast<void *>(image_clear)},
      {Py_tp_getset, properties},
#if defined(PYPY_VERSION)
      {Py_tp_setattro, reinterpret_cast<void *>(image_setattro)},
      {Py_tp_members, kLayoutMembers},
#endif
      {0, nullptr},
  };
  PyType_Spec type_spec{"Corvane.simpleImage_ext.SimpleImage", int(sizeof(ImageObject)), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  PyObject *type = PyType_FromSpec(&type_spec);
  if (type) {
    Py_INCREF(type);  // the module keeps its own reference for the life of the process
    ImageType = reinterpret_cast<PyTypeObject *>(type);
#if defined(Py_LIMITED_API)
    remember_type_name(ImageType, type_spec.name);
#endif
  }
#if defined(PYPY_VERSION)
  if (type && take_layout_members(type) < 0) {
    Py_CLEAR(type);
    return nullptr;
  }
#endif
  return type;
}

#if defined(PYPY_VERSION)
LayoutMembers layout_members;

int take_layout_members(PyObject *type) {
  PyObject **slots[] = {&layout_members.width, &layout_members.height, &layout_members.pixels};
  for (int i = 0; i < 3; ++i) {
    if (!(*slots[i] = PyObject_GetAttrString(type, kLayoutMembers[i].name))) return -1;
    if (PyObject_DelAttrString(type, kLayoutMembers[i].name) < 0) return -1;
  }
  return 0;
}
#endif

// --- properties -----------------------------------------------------------

namespace {

// Fields read through field(), so an image whose constructor never ran
// (cpyext lets object.__new__ make one) reads as an empty image.
PyObject *new_ref(PyObject *o) {
  o = field(o);
  Py_INCREF(o);
  return o;
}

int set_dimension(int32_t &field, PyObject *value) {
  if (!value) return fail(raise(PyExc_NotImplementedError, "__del__"));
  int32_t v;
  if (to_i32(value, &v) < 0) return -1;
  field = v;
  return 0;
}

// Unchecked fields: any object is stored as given; deleting stores None.
int set_any(PyObject *&field, PyObject *value) {
  set_field(field, new_ref(value ? value : Py_None));
  return 0;
}

}  // namespace

PyObject *image_get_width(PyObject *self, void *) { return PyLong_FromLong(as_image(self)->width); }
int image_set_width(PyObject *self, PyObject *v, void *) { return set_dimension(as_image(self)->width, v); }
PyObject *image_get_height(PyObject *self, void *) { return PyLong_FromLong(as_image(self)->height); }
int image_set_height(PyObject *self, PyObject *v, void *) { return set_dimension(as_image(self)->height, v); }
PyObject *image_get_size(PyObject *self, void *) {
  return Py_BuildValue("(ii)", as_image(self)->width, as_image(self)->height);
}

PyObject *image_get_pixels(PyObject *self, void *) { return new_ref(as_image(self)->pixels); }
int image_set_pixels(PyObject *self, PyObject *v, void *) {
  if (v && check_pixels_value(v) < 0) return -1;
  return set_any(as_image(self)->pixels, v);
}
PyObject *image_get_alpha(PyObject *self, void *) { return new_ref(as_image(self)->alpha); }
int image_set_alpha(PyObject *self, PyObject *v, void *) { return set_any(as_image(self)->alpha, v); }
PyObject *image_get_chunks(PyObject *self, void *) { return new_ref(as_image(self)->chunks); }
int image_set_chunks(PyObject *self, PyObject *v, void *) { return set_any(as_image(self)->chunks, v); }
PyObject *image_get_filters(PyObject *self, void *) { return new_ref(as_image(self)->filters); }
int image_set_filters(PyObject *self, PyObject *v, void *) { return set_any(as_image(self)->filters, v); }
PyObject *image_get_bmp_header(PyObject *self, void *) { return new_ref(as_image(self)->bmp_header); }
int image_set_bmp_header(PyObject *self, PyObject *v, void *) { return set_any(as_image(self)->bmp_header, v); }

PyObject *image_refuse_pickle() { return type_error(msg::kNoReduce); }

}  // namespace corvane
