// module/host.hpp: what the codecs take from the host. Built-ins are fixed at
// load; the module-level names (struct, zlib, BytesIO, Path, PNG_SIGNATURE,
// the module's own functions) are looked up in the module namespace at each
// use, so rebinding one changes the next call. The objects the module was
// loaded with are kept too, so a codec can tell the genuine host object (the
// usual case) from a stand-in and take a native path for the former only.
#pragma once
#include "module/python.hpp"

#include <cstring>
#include <span>

#include "module/ref.hpp"

namespace corvane {

struct Host {
  // Built-ins, looked up once at load.
  PyObject *staticmethod = nullptr, *classmethod = nullptr, *open = nullptr, *print = nullptr;
  // Whether that open is the host's own io.open, so that a file it would
  // open may be opened natively instead.
  bool genuine_open = false;
#if defined(PYPY_VERSION) || defined(Py_LIMITED_API)
  PyObject *audit = nullptr;  // sys.audit, where PySys_Audit cannot be had
#endif
#if defined(PYPY_VERSION)
  PyObject *run_signal_handlers = nullptr;  // a Python function of no work
  // ffi.from_buffer and ffi.cast of PyPy's own _cffi_backend (nullptr where
  // it cannot be had): the address of a bytes object's storage, reached from
  // Python, where handing the object itself to C would copy it.
  PyObject *ffi_from_buffer = nullptr, *ffi_cast = nullptr;
  PyTypeObject *cdata_type = nullptr;  // the type of what from_buffer returns
#endif
  // The module-level objects as bound at load.
  PyObject *zlib = nullptr, *zlib_decompress = nullptr;
  PyObject *zlib_error = nullptr, *zlib_crc32 = nullptr, *zlib_compress = nullptr, *bytes_io = nullptr;
  // Whether the host's zlib module runs the zlib the module links, so that
  // deflating here gives zlib.compress's bytes.
  bool native_deflate = false;
  PyObject *struct_module = nullptr, *struct_unpack = nullptr, *struct_pack = nullptr;
  PyObject *read_chunk = nullptr;       // the module's own _readChunk,
  PyObject *make_chunk = nullptr;       // _makeChunk
  PyObject *split_idat_payload = nullptr;  // and _split_idat_payload
  PyObject *stream_to_image = nullptr;  // the function behind SimpleImage._streamToImage
  // Values made once: (b"", b"") for a clean end of stream, b"", small texts.
  PyObject *end_of_stream = nullptr, *empty_bytes = nullptr;
  // The chunk types every PNG has, as bytes: a chunk list records them as
  // these objects, which nothing can change.
  PyObject *ihdr = nullptr, *idat = nullptr, *iend = nullptr;
};

extern Host host;

// Fills the built-ins of `host`; the rest is set as the module body binds it.
int host_init_builtins();
// Takes the genuine zlib objects from the namespace just built.
int host_init_modules(PyObject *globals);

// Whether `a` and `b` are both exact bytes, with `a` starting with `b` put
// into `starts` and their equality into `equal`: what their methods and
// comparisons would answer, without a call into the host.
inline bool exact_bytes_pair(PyObject *a, PyObject *b, bool &starts, bool &equal) {
  if (!PyBytes_CheckExact(a) || !PyBytes_CheckExact(b)) return false;
  const Py_ssize_t na = PyBytes_GET_SIZE(a), nb = PyBytes_GET_SIZE(b);
  starts = na >= nb && std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), size_t(nb)) == 0;
  equal = starts && na == nb;
  return true;
}

#if defined(PYPY_VERSION)
// The function `make` that the Python `source` defines, run in a namespace
// of its own with the built-ins (a new reference, or nullptr with an error):
// how the members PyPy's JIT runs are made. The namespace is a module's, not
// a plain dict: the JIT folds look-ups of globals and built-ins to constants
// only in a module's dict.
PyObject *jit_side_maker(const char *source);
#endif

// A new reference to `name` from the namespace the function `fn` runs in, or
// from the built-ins, as a name in a module body resolves; NameError if none.
PyObject *global(PyObject *fn, const char *name);

// The interned str for `text`, made at first use and kept for good (a
// borrowed reference; nullptr with an exception set if it cannot be made).
// `text` is a string literal, or other text that lasts as long as the process.
// Every name the module looks up goes through here: CPython's method cache
// keeps the str it was asked with, so a fresh str per call would leave up to
// one behind in each of its slots, and building one costs as much as the
// lookup itself.
PyObject *name(const char *text);

// getattr(obj, name) as a new reference.
inline PyObject *attr(PyObject *obj, const char *text) {
  PyObject *n = name(text);
  return n ? PyObject_GetAttr(obj, n) : nullptr;
}

// callable(args...) as a new reference.
template <class... A>
PyObject *call(PyObject *callable, A... args) {
  return PyObject_CallFunctionObjArgs(callable, args..., nullptr);
}

// Calls obj.name(args...) and returns the new reference.
template <class... A>
PyObject *call_method(PyObject *obj, const char *text, A... args) {
  PyObject *n = name(text);
  return n ? PyObject_CallMethodObjArgs(obj, n, args..., nullptr) : nullptr;
}

// stream.read(n): the one way the decoders ask a stream for bytes.
inline PyObject *stream_read(PyObject *stream, long long n) {
  Ref count = Ref::steal(PyLong_FromLongLong(n));
  return count ? call_method(stream, "read", count.get()) : nullptr;
}

// <module's struct>.<op>(fmt, args...), e.g. struct_call(fn, "pack", ">I", n).
template <class... A>
PyObject *struct_call(PyObject *fn, const char *op, const char *fmt, A... args) {
  Ref st = Ref::steal(global(fn, "struct"));
  Ref f = Ref::steal(st ? attr(st.get(), op) : nullptr);
  PyObject *text = f ? name(fmt) : nullptr;
  return text ? call(f.get(), text, args...) : nullptr;
}

// Leaves a `with` block on an error: __exit__ sees the pending exception,
// which then stays pending unless __exit__ raises one of its own. Returns -1.
int exit_with_error(PyObject *file);

// `with open(path, mode) as f: body(f)` through the built-in open; the file is
// closed on every way out. 0, or -1 with an exception set.
template <class Body>
int with_open(PyObject *path, const char *mode, Body &&body) {
  PyObject *m = name(mode);
  Ref file = Ref::steal(m ? call(host.open, path, m) : nullptr);
  if (!file) return -1;
  Ref f = Ref::steal(call_method(file.get(), "__enter__"));
  if (!f) return -1;
  if (body(f.get()) < 0) return exit_with_error(file.get());
  Ref r = Ref::steal(call_method(file.get(), "__exit__", Py_None, Py_None, Py_None));
  return r ? 0 : -1;
}

// Writes each piece in order to a file opened with mode "wb", as the whole
// of the file. With the host's own open and a path that is exactly str or
// bytes, the file is written in place instead (loadsave/target.hpp): its room
// reserved before the old bytes are given up, so that a file system without
// the space fails the save with the old file whole; the errors are those the
// host's open and write raise. The pieces must be bytes, memoryviews of
// bytes, or a bytearray of the caller's own that nobody else holds: they are
// read with the lock let go. `tail`, when given, is written after them: bytes
// of the caller's own, kept until the call returns.
int write_file(PyObject *path, PyObject *const *pieces, size_t count, std::span<const uint8_t> tail = {});

}  // namespace corvane
