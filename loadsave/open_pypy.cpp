// loadsave/open_pypy.cpp: SimpleImage.open as PyPy's JIT sees it.
//
// On PyPy a small image's open costs mostly its crossings into and out of
// C. So there the class's open is a small Python function, compiled by the
// JIT, that answers the questions open asks before it reads a PNG from bytes
// (is the source a path, are BytesIO, _streamToImage and the signature the
// module's own) by looking at dictionaries, which runs nobody's code, and
// takes that case to the PNG reading directly, printing the report line
// itself (through the print the module was loaded with). Every other call, and every
// case where a looked-up name is not what the module bound, goes untouched to
// the C method, which looks everything up again in its own order: behaviour,
// messages and the order of checks are the C method's.
#include "loadsave/loadsave.hpp"

#include "image/image.hpp"
#include "module/function.hpp"
#include "module/host.hpp"
#include "module/ref.hpp"

#if defined(PYPY_VERSION)

namespace corvane {
namespace {

constexpr const char kSource[] = R"PY(
def make(SimpleImage, c_open, png_open, g, names, report):
    BytesIO, Path, stream_to_image, read_chunk, struct_m, unpack, zlib_m, crc32 = names
    get, class_dict = g.get, SimpleImage.__dict__
    struct_dict, zlib_dict = struct_m.__dict__, zlib_m.__dict__

    def open(*args, **kwargs):
        if not kwargs and len(args) == 2:
            cls, source = args
            if cls is SimpleImage and type(source) is bytes:
                sig = get("PNG_SIGNATURE")
                if (get("Path") is Path and get("BytesIO") is BytesIO
                        and class_dict.get("_streamToImage") is stream_to_image
                        and type(sig) is bytes and len(sig) == 8 and source[:8] == sig
                        and get("_readChunk") is read_chunk and get("struct") is struct_m
                        and struct_dict.get("unpack") is unpack and get("zlib") is zlib_m
                        and zlib_dict.get("crc32") is crc32):
                    image, channels = png_open(source)
                    report("[SimpleImage] Opened image: %dx%d, channels=%d" % (image.width, image.height, channels))
                    return image
        return c_open(*args, **kwargs)

    open.__name__ = c_open.__name__
    open.__qualname__ = c_open.__qualname__
    open.__module__ = c_open.__module__
    open.__doc__ = c_open.__doc__
    open.__annotations__ = dict(c_open.__annotations__)
    open.__signature__ = c_open.__signature__
    return open
)PY";

constexpr Param kBytes[] = {{"source", "bytes"}};
PyObject *png_open_entry(PyObject *fn, PyObject *, const BoundArgs &a) { return open_walked_png(fn, a[0]); }
const FnDef kPngOpen{{"_open_png_bytes", "_open_png_bytes", kBytes, 1, "Tuple[SimpleImage, int]", Binding::Function},
                     png_open_entry};

}  // namespace

int install_fast_open(PyObject *type, PyObject *c_open, PyObject *module_name, PyObject *globals) {
  PyObject *stream_to_image = PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(type)->tp_dict,
                                                   "_streamToImage");  // borrowed: the staticmethod
  PyObject *path = PyDict_GetItemString(globals, "Path");
  if (!stream_to_image || !path || !host.bytes_io || !host.read_chunk) {
    PyErr_SetString(PyExc_ImportError, "the module's namespace is not as its body made it");
    return -1;
  }
  Ref png_open = Ref::steal(make_function(&kPngOpen, module_name, globals));
  // A module's namespace, not a plain dict: PyPy's JIT folds look-ups of
  // globals and built-ins to constants only in a module's dict.
  Ref scope = Ref::steal(png_open ? PyModule_New("Corvane.simpleImage_ext") : nullptr);
  PyObject *ns = scope ? PyModule_GetDict(scope.get()) : nullptr;  // borrowed
  if (!ns || PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
  Ref run = Ref::steal(PyRun_String(kSource, Py_file_input, ns, ns));
  PyObject *make = run ? PyDict_GetItemString(ns, "make") : nullptr;  // borrowed
  Ref names = Ref::steal(make ? PyTuple_Pack(8, host.bytes_io, path, stream_to_image, host.read_chunk,
                                             host.struct_module, host.struct_unpack, host.zlib, host.zlib_crc32)
                              : nullptr);
  Ref fast = Ref::steal(names ? PyObject_CallFunctionObjArgs(make, type, c_open, png_open.get(), globals,
                                                             names.get(), host.print, nullptr)
                              : nullptr);
  Ref member = Ref::steal(fast ? PyObject_CallFunctionObjArgs(host.classmethod, fast.get(), nullptr) : nullptr);
  return member ? PyObject_SetAttrString(type, "open", member.get()) : -1;
}

}  // namespace corvane
#endif
