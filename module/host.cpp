// module/host.cpp: the host objects the codecs use, and late-bound lookups.
#include "module/host.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "loadsave/target.hpp"
#include "module/buffer.hpp"
#include "module/function.hpp"
#include "module/gil.hpp"
#include "png/deflate.hpp"

namespace corvane {

Host host;

PyObject *name(const char *text) {
  // A few dozen names in all, nearly always asked for by the same literal, so
  // a pointer match ends most searches at once. A list with no destructor: the
  // names live as long as the process, and stay reachable from here at exit,
  // where leak checkers look.
  struct Entry {
    const char *text;
    PyObject *value;
    Entry *next;
  };
  static Entry *made = nullptr;
  for (const Entry *e = made; e; e = e->next)
    if (e->text == text || std::strcmp(e->text, text) == 0) return e->value;
  PyObject *value = PyUnicode_InternFromString(text);
  if (!value) return nullptr;
  Entry *e = new (std::nothrow) Entry{text, value, made};
  if (!e) {
    Py_DECREF(value);
    return PyErr_NoMemory();
  }
  made = e;
  return value;
}

int host_init_builtins() {
  Ref b = Ref::steal(PyImport_ImportModule("builtins"));
  if (!b) return -1;
  auto get = [&](const char *name, PyObject *&slot) { return (slot = attr(b.get(), name)) ? 0 : -1; };
  if (get("staticmethod", host.staticmethod) < 0 || get("classmethod", host.classmethod) < 0 ||
      get("open", host.open) < 0 || get("print", host.print) < 0)
    return -1;
  // _io's open is the one the host's open and io.open are, unless a stand-in
  // took the built-in's place before the module was loaded.
  Ref io = Ref::steal(PyImport_ImportModule("_io"));
  Ref io_open = Ref::steal(io ? attr(io.get(), "open") : nullptr);
  PyErr_Clear();
  host.genuine_open = io_open && io_open.get() == host.open;
#if defined(PYPY_VERSION) || defined(Py_LIMITED_API)
  // Neither cpyext nor the stable ABI before 3.13 has PySys_Audit: the hooks
  // are reached through sys.audit, which runs them alike.
  Ref sys = Ref::steal(PyImport_ImportModule("sys"));
  host.audit = sys ? attr(sys.get(), "audit") : nullptr;
  PyErr_Clear();
  host.genuine_open = host.genuine_open && host.audit;
#endif
#if defined(PYPY_VERSION)
  // cpyext's PyErr_CheckSignals does nothing; PyPy runs a pending signal's
  // handler when Python code next runs, so a function of no work is kept to run.
  Ref scope = Ref::steal(PyDict_New());
  Ref made = Ref::steal(scope && PyDict_SetItemString(scope.get(), "__builtins__", PyEval_GetBuiltins()) == 0
                            ? PyRun_String("def run_signal_handlers():\n    pass\n", Py_file_input, scope.get(),
                                           scope.get())
                            : nullptr);
  host.run_signal_handlers = made ? PyDict_GetItemString(scope.get(), "run_signal_handlers") : nullptr;
  Py_XINCREF(host.run_signal_handlers);
  PyErr_Clear();
  host.genuine_open = host.genuine_open && host.run_signal_handlers;
  Ref cffi = Ref::steal(PyImport_ImportModule("_cffi_backend"));
  Ref ffi_type = Ref::steal(cffi ? attr(cffi.get(), "FFI") : nullptr);
  Ref ffi = Ref::steal(ffi_type ? PyObject_CallNoArgs(ffi_type.get()) : nullptr);
  host.ffi_from_buffer = ffi ? attr(ffi.get(), "from_buffer") : nullptr;
  host.ffi_cast = host.ffi_from_buffer ? attr(ffi.get(), "cast") : nullptr;
  Ref nothing = Ref::steal(PyBytes_FromStringAndSize("", 0));
  Ref probe = Ref::steal(host.ffi_cast && nothing ? PyObject_CallOneArg(host.ffi_from_buffer, nothing.get()) : nullptr);
  if (probe) {
    host.cdata_type = Py_TYPE(probe.get());
    Py_INCREF(host.cdata_type);
  } else {
    Py_CLEAR(host.ffi_from_buffer);
    Py_CLEAR(host.ffi_cast);
  }
  PyErr_Clear();
#endif
  if (!(host.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0)) || !(host.ihdr = PyBytes_FromString("IHDR")) ||
      !(host.idat = PyBytes_FromString("IDAT")) || !(host.iend = PyBytes_FromString("IEND")))
    return -1;
  return (host.end_of_stream = PyTuple_Pack(2, host.empty_bytes, host.empty_bytes)) ? 0 : -1;
}

int host_init_modules(PyObject *globals) {
  PyObject *zlib = PyDict_GetItemString(globals, "zlib");  // borrowed
  if (!zlib) return -1;
  Py_INCREF(zlib);
  host.zlib = zlib;
  host.bytes_io = PyDict_GetItemString(globals, "BytesIO");
  Py_XINCREF(host.bytes_io);
  host.struct_module = PyDict_GetItemString(globals, "struct");
  Py_XINCREF(host.struct_module);
  if (!host.struct_module || !(host.struct_unpack = attr(host.struct_module, "unpack")) ||
      !(host.struct_pack = attr(host.struct_module, "pack")) ||
      !(host.zlib_crc32 = attr(zlib, "crc32")))
    return -1;
  if (!(host.zlib_decompress = attr(zlib, "decompress")) ||
      !(host.zlib_error = attr(zlib, "error")) || !(host.zlib_compress = attr(zlib, "compress")))
    return -1;
  // The module deflates itself only with the very zlib the host's module
  // runs: the same library gives the same bytes as zlib.compress.
  Ref runtime = Ref::steal(attr(zlib, "ZLIB_RUNTIME_VERSION"));
  PyErr_Clear();
  const char *version = runtime && PyUnicode_Check(runtime.get()) ? PyUnicode_AsUTF8AndSize(runtime.get(), nullptr) : nullptr;
  PyErr_Clear();
  host.native_deflate = version && std::strcmp(version, linked_zlib_version()) == 0;
  return 0;
}

#if defined(PYPY_VERSION)
PyObject *jit_side_maker(const char *source) {
  Ref scope = Ref::steal(PyModule_New("Corvane.simpleImage_ext"));
  PyObject *ns = scope ? PyModule_GetDict(scope.get()) : nullptr;  // borrowed
  if (!ns || PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
  Ref run = Ref::steal(PyRun_String(source, Py_file_input, ns, ns));
  PyObject *make = run ? PyDict_GetItemString(ns, "make") : nullptr;  // borrowed
  if (run && !make) PyErr_SetString(PyExc_SystemError, "the JIT-side source defines no make");
  return Ref::borrow(make).release();
}
#endif

PyObject *global(PyObject *fn, const char *name) {
  PyObject *globals = function_globals(fn);
  PyObject *key = corvane::name(name);
  if (!key) return nullptr;
  PyObject *v = globals ? PyDict_GetItemWithError(globals, key) : nullptr;  // borrowed
  if (v) {
    Py_INCREF(v);
    return v;
  }
  if (PyErr_Occurred()) return nullptr;
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (builtins && PyObject_HasAttr(builtins.get(), key)) return PyObject_GetAttr(builtins.get(), key);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  return nullptr;
}

int exit_with_error(PyObject *file) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Ref r = Ref::steal(call_method(file, "__exit__", type, value, tb ? tb : Py_None));
  if (!r) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return -1;
  }
  PyErr_Restore(type, value, tb);
  return -1;
}

namespace {

// The bytes of a piece write_file may read with the lock let go.
std::optional<std::span<const uint8_t>> owned_bytes(PyObject *o) {
  if (PyByteArray_CheckExact(o))
    return std::span(reinterpret_cast<const uint8_t *>(PyByteArray_AS_STRING(o)), size_t(PyByteArray_GET_SIZE(o)));
  return fixed_bytes(o);
}

// Whether a write a signal interrupted goes on: the handlers run first, as
// the host runs them when its own open or write is interrupted, and an
// exception one raises ends the write. Called with the lock let go.
bool signals_let_go_on(void *) {
  const PyGILState_STATE held = PyGILState_Ensure();
#if defined(PYPY_VERSION)
  Ref ran = Ref::steal(call(host.run_signal_handlers));
  const bool go_on = bool(ran);
#else
  const bool go_on = PyErr_CheckSignals() == 0;
#endif
  PyGILState_Release(held);
  return go_on;
}

// write_file natively: 1 written, -1 with the host's error, 0 when the host's
// open is to do it (a stand-in open, another kind of path, a piece of
// another kind), before anything is touched.
int write_natively(PyObject *path, PyObject *const *pieces, size_t count, std::span<const uint8_t> tail) {
  if (!host.genuine_open || !(PyUnicode_CheckExact(path) || PyBytes_CheckExact(path))) return 0;
  for (size_t i = 0; i < count; ++i)
    if (!owned_bytes(pieces[i])) return 0;
  Ref encoded;
  if (PyUnicode_CheckExact(path)) {
    PyObject *o = nullptr;
    if (!PyUnicode_FSConverter(path, &o)) {
      PyErr_Clear();  // a name the file system cannot take: the host's open says so in its words
      return 0;
    }
    encoded = Ref::steal(o);
  } else {
    encoded = Ref::borrow(path);
  }
  const char *file = PyBytes_AS_STRING(encoded.get());
  if (std::strlen(file) != size_t(PyBytes_GET_SIZE(encoded.get()))) return 0;  // a NUL: refused by open
  // The event the host's open raises for audit hooks, its mode and flags as
  // its FileIO reports them; a hook may refuse it (and run any code
  // meanwhile: the pieces are looked at only after).
#if defined(PYPY_VERSION)
  const int flags = O_WRONLY;
#else
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
#endif
#if defined(PYPY_VERSION) || defined(Py_LIMITED_API)
  PyObject *event = name("open"), *mode = name("w");
  Ref flag_value = Ref::steal(event && mode ? PyLong_FromLong(flags) : nullptr);
  Ref audited = Ref::steal(flag_value ? call(host.audit, event, path, mode, flag_value.get()) : nullptr);
  if (!audited) return -1;
#else
  if (PySys_Audit("open", "Osi", path, "w", flags) < 0) return -1;
#endif
  std::vector<std::span<const uint8_t>> spans;
  for (size_t i = 0; i < count; ++i) spans.push_back(*owned_bytes(pieces[i]));
  if (tail.data()) spans.push_back(tail);
  const Written w = without_gil([&] { return write_in_place(file, spans, signals_let_go_on, nullptr); });
  errno = w.err;
  switch (w.kind) {
    case Written::Done:
      return 1;
    case Written::NotTaken:
      return 0;
    case Written::Stopped:
      return -1;  // the handler's exception
    case Written::OpenFailed:
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
      return -1;
    case Written::Failed:
      break;
  }
  PyErr_SetFromErrno(PyExc_OSError);
  return -1;
}

}  // namespace

int write_file(PyObject *path, PyObject *const *pieces, size_t count, std::span<const uint8_t> tail) {
  if (int r = write_natively(path, pieces, count, tail)) return r < 0 ? -1 : 0;
  // The host's open writes objects: the tail becomes one (even when empty,
  // a write of its own) before the file is opened, so that running out of
  // memory for it leaves the file alone.
  Ref last;
  if (tail.data() && !(last = Ref::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char *>(tail.data()),
                                                                       Py_ssize_t(tail.size())))))
    return -1;
  return with_open(path, "wb", [&](PyObject *output) {
    for (size_t i = 0; i < count + (last ? 1 : 0); ++i) {
      Ref written = Ref::steal(call_method(output, "write", i < count ? pieces[i] : last.get()));
      if (!written) return -1;
    }
    return 0;
  });
}

}  // namespace corvane
