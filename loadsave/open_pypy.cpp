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
#include "module/messages.hpp"
#include "module/ref.hpp"

#if defined(PYPY_VERSION)

namespace corvane {
namespace {

constexpr const char kSource[] = R"PY(
def make(SimpleImage, c_open, png_open, bmp_open, g, names, report, from_buffer, BMP_HEADERS):
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
                    return bmp_open(source[:BMP_HEADERS], from_buffer(source))
                if (len(sig) == 8 and source[:8] == sig
                        and get("_readChunk") is read_chunk and get("struct") is struct_m
                        and struct_dict.get("unpack") is unpack and get("zlib") is zlib_m
                        and zlib_dict.get("crc32") is crc32):
                    if from_buffer is not None and len(source) >= 65536:
                        # A view of the bytes, not the bytes: cpyext would copy them.
                        image, channels = png_open(from_buffer(source))
                    else:
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

// The bytes a call hands the C half: exact bytes as they are, or a view of
// them that _cffi_backend's from_buffer made (which keeps them alive and in
// place), read at its address. Never a bare number: no address is taken
// from the caller.
bool bytes_of(PyObject *o, std::span<const uint8_t> &out) {
  if (PyBytes_CheckExact(o)) {
    out = {reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(o)), size_t(PyBytes_GET_SIZE(o))};
    return true;
  }
  if (!host.cdata_type || Py_TYPE(o) != host.cdata_type) {
    PyErr_SetString(PyExc_TypeError, msg::kNotBytesOrView);
    return false;
  }
  PyObject *type = name("uintptr_t");
  Ref address = Ref::steal(type ? PyObject_CallFunctionObjArgs(host.ffi_cast, type, o, nullptr) : nullptr);
  Ref number = Ref::steal(address ? PyNumber_Long(address.get()) : nullptr);
  void *at = number ? PyLong_AsVoidPtr(number.get()) : nullptr;
  const Py_ssize_t size = at ? PyObject_Size(o) : -1;
  if (size < 0) return false;
  out = {static_cast<const uint8_t *>(at), size_t(size)};
  return true;
}

// (bytes or their view) -> (image, channels)
constexpr Param kBytes[] = {{"source", nullptr}};
PyObject *png_open_entry(PyObject *fn, PyObject *, const BoundArgs &a) {
  if (PyBytes_CheckExact(a[0])) return open_walked_png(fn, a[0]);
  std::span<const uint8_t> bytes;
  return bytes_of(a[0], bytes) ? open_walked_png(fn, nullptr, bytes) : nullptr;
}
const FnDef kPngOpen{{"_open_png_bytes", "_open_png_bytes", kBytes, 1, "Tuple[SimpleImage, int]", Binding::Function},
                     png_open_entry};

// (head, view of all the bytes) -> image: head holds the bytes' start.
constexpr Param kBmpBytes[] = {{"head", "bytes"}, {"view", nullptr}};
PyObject *bmp_open_entry(PyObject *fn, PyObject *, const BoundArgs &a) {
  std::span<const uint8_t> bytes;
  if (!PyBytes_CheckExact(a[0])) {
    PyErr_SetString(PyExc_TypeError, msg::kNotBytesOrView);
    return nullptr;
  }
  if (!bytes_of(a[1], bytes)) return nullptr;
  return open_sniffed_bmp(fn, a[0], bytes);
}
const FnDef kBmpOpen{{"_open_bmp_bytes", "_open_bmp_bytes", kBmpBytes, 2, "SimpleImage", Binding::Function},
                     bmp_open_entry};

}  // namespace

int install_fast_open(PyObject *type, PyObject *c_open, PyObject *module_name, PyObject *globals) {
  PyObject *stream_to_image = PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(type)->tp_dict,
                                                   "_streamToImage");  // borrowed: the staticmethod
  PyObject *path = PyDict_GetItemString(globals, "Path");
  if (!stream_to_image || !path || !host.bytes_io || !host.read_chunk) {
    PyErr_SetString(PyExc_ImportError, msg::kNamespaceChanged);
    return -1;
  }
  Ref png_open = Ref::steal(make_function(&kPngOpen, module_name, globals));
  Ref bmp_open = Ref::steal(png_open ? make_function(&kBmpOpen, module_name, globals) : nullptr);
  Ref make = Ref::steal(bmp_open ? jit_side_maker(kSource) : nullptr);
  Ref headers = Ref::steal(make ? PyLong_FromSsize_t(kBmpHeaderReads) : nullptr);
  Ref names = Ref::steal(headers ? PyTuple_Pack(8, host.bytes_io, path, stream_to_image, host.read_chunk,
                                             host.struct_module, host.struct_unpack, host.zlib, host.zlib_crc32)
                              : nullptr);
  Ref fast = Ref::steal(names ? PyObject_CallFunctionObjArgs(make.get(), type, c_open, png_open.get(), bmp_open.get(),
                                                             globals, names.get(), host.print,
                                                             host.ffi_from_buffer ? host.ffi_from_buffer : Py_None,
                                                             headers.get(), nullptr)
                              : nullptr);
  Ref member = Ref::steal(fast ? PyObject_CallFunctionObjArgs(host.classmethod, fast.get(), nullptr) : nullptr);
  return member ? PyObject_SetAttrString(type, "open", member.get()) : -1;
}

}  // namespace corvane
#endif
