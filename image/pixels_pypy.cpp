// image/pixels_pypy.cpp: getPixel and putPixel as PyPy's JIT sees them.
//
// Under PyPy every call into C, and every tuple crossing into or out of it,
// costs hundreds of nanoseconds, twenty times a dict look-up. So on PyPy the
// class holds two small Python functions that do the common case themselves:
// an exact SimpleImage, a tuple of two exact ints inside the image, a list or
// tuple of three exact ints, an exact bytearray long enough. They read width,
// height and _pixels through member descriptors that the host reads without
// entering C. Any other call, every error and every hostile object goes,
// untouched, to the C methods (image/pixels.cpp), so behaviour, messages and
// the order of checks are those of the C path. The functions carry the C
// methods' names, annotations and signature.
#include "image/image.hpp"
#include "module/host.hpp"
#include "module/ref.hpp"

#if defined(PYPY_VERSION)

namespace corvane {
namespace {

constexpr const char kSource[] = R"PY(
def make(SimpleImage, width, height, pixels, c_get, c_put):
    get_w, get_h, get_p = width.__get__, height.__get__, pixels.__get__

    def getPixel(*args, **kwargs):
        if not kwargs and len(args) == 2:
            self, coords = args
            if isinstance(self, SimpleImage) and type(coords) is tuple and len(coords) == 2:
                x, y = coords
                if type(x) is int and type(y) is int:
                    w = get_w(self)
                    if 0 <= x < w and 0 <= y < get_h(self):
                        p = get_p(self)
                        i = (y * w + x) * 3
                        if type(p) is bytearray and i + 2 < len(p):
                            return (p[i], p[i + 1], p[i + 2])
        return c_get(*args, **kwargs)

    def putPixel(*args, **kwargs):
        if not kwargs and len(args) == 3:
            self, coords, value = args
            if isinstance(self, SimpleImage) and type(coords) is tuple and len(coords) == 2:
                x, y = coords
                kind = type(value)
                if type(x) is int and type(y) is int and (kind is tuple or kind is list) and len(value) == 3:
                    r, g, b = value
                    if type(r) is int and type(g) is int and type(b) is int:
                        w = get_w(self)
                        if 0 <= x < w and 0 <= y < get_h(self):
                            p = get_p(self)
                            i = (y * w + x) * 3
                            if type(p) is bytearray and i + 2 < len(p):
                                p[i] = r & 255
                                p[i + 1] = g & 255
                                p[i + 2] = b & 255
                                return None
        return c_put(*args, **kwargs)

    for fast, slow in ((getPixel, c_get), (putPixel, c_put)):
        fast.__name__ = slow.__name__
        fast.__qualname__ = slow.__qualname__
        fast.__module__ = slow.__module__
        fast.__annotations__ = dict(slow.__annotations__)
        fast.__signature__ = slow.__signature__
    return getPixel, putPixel
)PY";

}  // namespace

int install_fast_pixels(PyObject *type, PyObject *get_pixel, PyObject *put_pixel) {
  Ref make = Ref::steal(jit_side_maker(kSource));
  if (!make) return -1;
  Ref made = Ref::steal(PyObject_CallFunctionObjArgs(make.get(), type, layout_members.width, layout_members.height,
                                                     layout_members.pixels, get_pixel, put_pixel, nullptr));
  if (!made) return -1;
  if (PyObject_SetAttrString(type, "getPixel", PyTuple_GET_ITEM(made.get(), 0)) < 0) return -1;
  return PyObject_SetAttrString(type, "putPixel", PyTuple_GET_ITEM(made.get(), 1));
}

}  // namespace corvane
#endif
