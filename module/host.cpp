// module/host.cpp: the host objects the codecs use, and late-bound lookups.
#include "module/host.hpp"

#include <cstring>
#include <new>

#include "module/function.hpp"
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
  if (!(host.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0))) return -1;
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
  if (!(host.zlib_decompress = attr(zlib, "decompress")) || !(host.zlib_decompressobj = attr(zlib, "decompressobj")) ||
      !(host.zlib_error = attr(zlib, "error")) || !(host.zlib_compress = attr(zlib, "compress")))
    return -1;
  // The module deflates itself only with the very zlib the host's module
  // runs: the same library gives the same bytes as zlib.compress.
  Ref runtime = Ref::steal(attr(zlib, "ZLIB_RUNTIME_VERSION"));
  PyErr_Clear();
  const char *version = runtime && PyUnicode_Check(runtime.get()) ? PyUnicode_AsUTF8(runtime.get()) : nullptr;
  PyErr_Clear();
  host.native_deflate = version && std::strcmp(version, linked_zlib_version()) == 0;
  return 0;
}

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

int write_file(PyObject *path, PyObject *const *pieces, size_t count) {
  return with_open(path, "wb", [&](PyObject *output) {
    for (size_t i = 0; i < count; ++i) {
      Ref written = Ref::steal(call_method(output, "write", pieces[i]));
      if (!written) return -1;
    }
    return 0;
  });
}

}  // namespace corvane
