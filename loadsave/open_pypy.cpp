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

#include "bmp/bmp.hpp"
#include "image/image.hpp"
#include "module/function.hpp"
#include "module/host.hpp"
#include "module/ref.hpp"

#if defined(PYPY_VERSION)

namespace corvane {
namespace {

constexpr const char kSource[] = R"PY(
def make(SimpleImage, c_open, png_open, bmp_open, g, names, report, from_buffer, cast):
    BytesIO, Path, stream_to_image, read_chunk, struct_m, unpack, zlib_m, crc32 = names
    get, class_dict = g.get, SimpleImage.__dict__
    struct_dict, zlib_dict = struct_m.__dict__, zlib_m.__dict__

    def open(*args, **kwargs):
        if not kwargs and len(args) == 2:
            cls, source = args
            if cls is SimpleImage and type(source) is bytes:
                sig = get("PNG_SIGNATURE")
                if (get("Path") is not Path or get("BytesIO") is not BytesIO
                        or class_dict.get("_streamToImage") is not stream_to_image or type(sig) is not bytes):
                    return c_open(*args, **kwargs)
                if (from_buffer is not None and len(source) >= 65536 and source[:2] == b"BM"
                        and not source[:8].startswith(sig)):
                    view = from_buffer(source)
                    return bmp_open(source[:BMP_HEADERS], int(cast("uintptr_t", view)), len(source), view)
                if (len(sig) == 8 and source[:8] == sig
                        and get("_readChunk") is read_chunk and get("struct") is struct_m
                        and struct_dict.get("unpack") is unpack and get("zlib") is zlib_m
                        and zlib_dict.get("crc32") is crc32):
                    if from_buffer is not None and len(source) >= 65536:
                        # The bytes' address, not the bytes: cpyext would copy them.
                        view = from_buffer(source)
                        image, channels = png_open(view, int(cast("uintptr_t", view)), len(source))
                    else:
                        image, channels = png_open(source, 0, 0)
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

// (source, 0, 0) for bytes handed over as they are; (view, address, size)
// for bytes reached at their address, which `view` keeps alive and in place
// for the call.
constexpr Param kBytes[] = {{"source", nullptr}, {"address", "int"}, {"size", "int"}};
// (head, address, size, view): the first bytes, and all of them at their
// address, which `view` keeps alive and in place.
constexpr Param kBmpBytes[] = {{"head", "bytes"}, {"address", "int"}, {"size", "int"}, {"view", nullptr}};
PyObject *bmp_open_entry(PyObject *fn, PyObject *, const BoundArgs &a) {
  void *at = PyLong_AsVoidPtr(a[1]);
  const Py_ssize_t size = PyLong_AsSsize_t(a[2]);
  if (PyErr_Occurred()) return nullptr;
  if (!at || size < 2 || !PyBytes_CheckExact(a[0])) return PyErr_Format(PyExc_SystemError, "no bytes at the address given");
  return open_sniffed_bmp(fn, a[0], {static_cast<const uint8_t *>(at), size_t(size)});
}
const FnDef kBmpOpen{{"_open_bmp_bytes", "_open_bmp_bytes", kBmpBytes, 4, "SimpleImage", Binding::Function},
                     bmp_open_entry};
PyObject *png_open_entry(PyObject *fn, PyObject *, const BoundArgs &a) {
  if (PyBytes_CheckExact(a[0])) return open_walked_png(fn, a[0]);
  void *at = PyLong_AsVoidPtr(a[1]);
  const Py_ssize_t size = PyLong_AsSsize_t(a[2]);
  if (PyErr_Occurred()) return nullptr;
  if (!at || size < 8) return PyErr_Format(PyExc_SystemError, "no bytes at the address given");
  return open_walked_png(fn, nullptr, {static_cast<const uint8_t *>(at), size_t(size)});
}
const FnDef kPngOpen{{"_open_png_bytes", "_open_png_bytes", kBytes, 3, "Tuple[SimpleImage, int]", Binding::Function},
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
  Ref bmp_open = Ref::steal(png_open ? make_function(&kBmpOpen, module_name, globals) : nullptr);
  // A module's namespace, not a plain dict: PyPy's JIT folds look-ups of
  // globals and built-ins to constants only in a module's dict.
  Ref scope = Ref::steal(bmp_open ? PyModule_New("Corvane.simpleImage_ext") : nullptr);
  PyObject *ns = scope ? PyModule_GetDict(scope.get()) : nullptr;  // borrowed
  Ref headers = Ref::steal(ns ? PyLong_FromSsize_t(kBmpHeaderReads) : nullptr);
  if (!headers || PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0 ||
      PyDict_SetItemString(ns, "BMP_HEADERS", headers.get()) < 0)
    return -1;
  Ref run = Ref::steal(PyRun_String(kSource, Py_file_input, ns, ns));
  PyObject *make = run ? PyDict_GetItemString(ns, "make") : nullptr;  // borrowed
  Ref names = Ref::steal(make ? PyTuple_Pack(8, host.bytes_io, path, stream_to_image, host.read_chunk,
                                             host.struct_module, host.struct_unpack, host.zlib, host.zlib_crc32)
                              : nullptr);
  Ref fast = Ref::steal(names ? PyObject_CallFunctionObjArgs(make, type, c_open, png_open.get(), bmp_open.get(), globals,
                                                             names.get(), host.print,
                                                             host.ffi_from_buffer ? host.ffi_from_buffer : Py_None,
                                                             host.ffi_cast ? host.ffi_cast : Py_None, nullptr)
                              : nullptr);
  Ref member = Ref::steal(fast ? PyObject_CallFunctionObjArgs(host.classmethod, fast.get(), nullptr) : nullptr);
  return member ? PyObject_SetAttrString(type, "open", member.get()) : -1;
}

}  // namespace corvane
#endif
