// image/image.hpp: the SimpleImage record: width and height as int32, the RGB
// buffer (exactly a bytearray, or None), and four more references that are
// never NULL (None when absent): alpha plane, PNG chunk list, PNG filter
// types, BMP header values.
#pragma once
#include "module/python.hpp"

#include <cstdint>

#include "module/args.hpp"

namespace corvane {

struct ImageObject {
  PyObject_HEAD
  int32_t width;
  int32_t height;
  PyObject *pixels;
  PyObject *alpha;
  PyObject *chunks;
  PyObject *filters;
  PyObject *bmp_header;
};

// Set once at load; the type of every image, and the base of subclasses.
extern PyTypeObject *ImageType;

inline ImageObject *as_image(PyObject *o) { return reinterpret_cast<ImageObject *>(o); }

// A reference field as the rest of the module reads it (borrowed). PyPy's
// object.__new__ can make an image without running the constructor, leaving
// the fields NULL (and the dimensions 0); such a field means None.
inline PyObject *field(PyObject *f) { return f ? f : Py_None; }

// Creates ImageType from the module's property table and class docstring.
PyObject *make_image_type(PyGetSetDef *properties);

extern const Signature kConstructorSignature;

// Which planes handed to construct_image are bytearrays nobody else holds,
// so that they can be adopted instead of copied; the result is the same.
struct Fresh {
  bool pixels = false, alpha = false, filters = false;
};

// The constructor's steps after its arguments are bound and width and height
// converted.
PyObject *construct_image(PyTypeObject *type, int32_t width, int32_t height, PyObject *pixels, PyObject *alpha,
                          PyObject *png_chunks, PyObject *bmp_header, PyObject *png_filters, Fresh fresh = {});

// Property accessors, wired into the table in module/surface.cpp.
PyObject *image_get_width(PyObject *self, void *);
int image_set_width(PyObject *self, PyObject *value, void *);
PyObject *image_get_height(PyObject *self, void *);
int image_set_height(PyObject *self, PyObject *value, void *);
PyObject *image_get_size(PyObject *self, void *);
PyObject *image_get_pixels(PyObject *self, void *);
int image_set_pixels(PyObject *self, PyObject *value, void *);
PyObject *image_get_alpha(PyObject *self, void *);
int image_set_alpha(PyObject *self, PyObject *value, void *);
PyObject *image_get_chunks(PyObject *self, void *);
int image_set_chunks(PyObject *self, PyObject *value, void *);
PyObject *image_get_filters(PyObject *self, void *);
int image_set_filters(PyObject *self, PyObject *value, void *);
PyObject *image_get_bmp_header(PyObject *self, void *);
int image_set_bmp_header(PyObject *self, PyObject *value, void *);

#if defined(PYPY_VERSION)
// Descriptors of width, height and _pixels that PyPy reads without calling
// into C; kept out of the class dict (image.cpp) for the fast pixel path.
struct LayoutMembers {
  PyObject *width = nullptr, *height = nullptr, *pixels = nullptr;
};
extern LayoutMembers layout_members;
int take_layout_members(PyObject *type);

// Replaces getPixel and putPixel on the class with functions the JIT can run
// without leaving Python for plain calls; everything else reaches the given
// C functions, whose behaviour is the whole contract.
int install_fast_pixels(PyObject *type, PyObject *get_pixel, PyObject *put_pixel);
#endif

// Method bodies (self is an ImageObject).
PyObject *image_get_pixel(PyObject *self, PyObject *coords);
PyObject *image_put_pixel(PyObject *self, PyObject *coords, PyObject *value);
PyObject *image_copy(PyObject *self);
PyObject *image_refuse_pickle();

}  // namespace corvane
