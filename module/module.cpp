// module/module.cpp: loading Corvane.simpleImage_ext. Single-phase init: the
// module is built once per process; a later init hands back the same object.
// Any failing step discards the half-built module and leaves no entry behind.
#include "module/python.hpp"

#include <cstring>
#include <utility>

#include "image/image.hpp"
#include "loadsave/loadsave.hpp"
#include "module/byte_values.hpp"
#include "module/function.hpp"
#include "module/host.hpp"
#include "module/ref.hpp"
#include "module/surface.hpp"

namespace corvane {
namespace {

constexpr const char *kModuleName = "Corvane.simpleImage_ext";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, kModuleName, nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject *the_module = nullptr;  // kept for the life of the process

// A class member as it is set on the class: static and class methods in the
// host's own wrappers, everything else as the function itself. Except on PyPy,
// where cpyext would cross into C twice for every `image.method(...)`: once
// for our __get__, once for the call. The host's instancemethod binds the same
// way (the class sees the function itself, an instance a bound method of it)
// without leaving the interpreter, which takes a third off every call.
PyObject *as_member(Binding binding, PyObject *fn) {
  switch (binding) {
    case Binding::Static:
      return PyObject_CallFunctionObjArgs(host.staticmethod, fn, nullptr);
    case Binding::Class:
      return PyObject_CallFunctionObjArgs(host.classmethod, fn, nullptr);
    case Binding::Method:
#if defined(PYPY_VERSION)
      return PyInstanceMethod_New(fn);
#endif
    case Binding::Function:
      break;
  }
  Py_INCREF(fn);
  return fn;
}

// setattr(target, attr, function) for one table entry; as a class member if
// member. *made, if given, receives a new reference to the function itself.
int attach(PyObject *target, const NamedFn &f, PyObject *module_name, PyObject *globals, bool member,
           PyObject **made = nullptr) {
  Ref fn = Ref::steal(make_function(f.def, module_name, globals));
  if (!fn) return -1;
  if (made) *made = Ref::borrow(fn.get()).release();
  if (member) fn = Ref::steal(as_member(f.def->sig.binding, fn.get()));
  return fn ? PyObject_SetAttrString(target, f.attr, fn.get()) : -1;
}

int import_into(PyObject *globals, const char *module, const char *const *names, size_t count) {
  Ref m = Ref::steal(PyImport_ImportModule(module));
  if (!m) return -1;
  if (count == 0) return PyDict_SetItemString(globals, module, m.get());
  for (size_t i = 0; i < count; ++i) {
    Ref v = Ref::steal(PyObject_GetAttrString(m.get(), names[i]));
    if (!v || PyDict_SetItemString(globals, names[i], v.get()) < 0) return -1;
  }
  return 0;
}

int exec_module(PyObject *module) {
  PyObject *globals = PyModule_GetDict(module);  // borrowed
  Ref module_name = Ref::steal(PyUnicode_FromString(kModuleName));
  if (!globals || !module_name) return -1;
  // No module docstring. cpyext leaves __doc__ unset, so the module type's
  // own docstring would show through.
  if (PyDict_SetItemString(globals, "__doc__", Py_None) < 0) return -1;

  if (host_init_builtins() < 0 || init_byte_values() < 0) return -1;

  // The class, and the refusal of pickling and the host's copy functions.
  if (function_type_ready() < 0) return -1;
  Ref type = Ref::steal(make_image_type(kImageProperties));
  if (!type || PyDict_SetItemString(globals, "SimpleImage", type.get()) < 0) return -1;
  Ref class_signature = Ref::steal(make_class_signature(&kConstructorSignature, ImageType));
  if (!class_signature || PyObject_SetAttrString(type.get(), "__signature__", class_signature.get()) < 0) return -1;
  if (attach(type.get(), {"__reduce__", &kReduceDef}, module_name.get(), globals, true) < 0 ||
      attach(type.get(), {"__setstate__", &kSetStateDef}, module_name.get(), globals, true) < 0)
    return -1;

  // The module body, in source order.
  static const char *const kIo[] = {"BytesIO"}, *const kPathlib[] = {"Path"},
                           *const kTyping[] = {"List", "Sequence", "Tuple", "Union"};
  if (import_into(globals, "struct", nullptr, 0) < 0 || import_into(globals, "zlib", nullptr, 0) < 0 ||
      import_into(globals, "io", kIo, 1) < 0 || import_into(globals, "pathlib", kPathlib, 1) < 0 ||
      import_into(globals, "typing", kTyping, 4) < 0)
    return -1;

  static const char kSignature[] = "\x89PNG\r\n\x1a\n";
  Ref signature = Ref::steal(PyBytes_FromStringAndSize(kSignature, 8));
  if (!signature || PyDict_SetItemString(globals, "PNG_SIGNATURE", signature.get()) < 0) return -1;

  // ImageInput = Union[str, Path, bytes, bytearray, "SimpleImage"], from the names as bound now.
  PyObject *union_ = PyDict_GetItemString(globals, "Union");  // borrowed
  PyObject *path = PyDict_GetItemString(globals, "Path");
  if (!union_ || !path) {
    PyErr_SetString(PyExc_ImportError, "typing.Union or pathlib.Path missing from the namespace");
    return -1;
  }
  Ref members = Ref::steal(Py_BuildValue("(OOOOs)", reinterpret_cast<PyObject *>(&PyUnicode_Type), path,
                                         reinterpret_cast<PyObject *>(&PyBytes_Type),
                                         reinterpret_cast<PyObject *>(&PyByteArray_Type), "SimpleImage"));
  if (!members) return -1;
  Ref image_input = Ref::steal(PyObject_GetItem(union_, members.get()));
  if (!image_input || PyDict_SetItemString(globals, "ImageInput", image_input.get()) < 0) return -1;

  for (const NamedFn &f : kModuleFunctions)
    if (attach(module, f, module_name.get(), globals, false) < 0) return -1;
  if (host_init_modules(globals) < 0) return -1;
  for (auto [name, slot] : {std::pair{"_readChunk", &host.read_chunk}, std::pair{"_makeChunk", &host.make_chunk},
                             std::pair{"_split_idat_payload", &host.split_idat_payload}}) {
    *slot = PyDict_GetItemString(globals, name);
    Py_XINCREF(*slot);
  }

  // Class members, in table order.
  Ref get_pixel, put_pixel, open;
  for (const NamedFn &f : kClassMembers) {
    PyObject *made = nullptr;
    if (attach(type.get(), f, module_name.get(), globals, true, &made) < 0) return -1;
    Ref fn = Ref::steal(made);
    if (f.def == &kStreamToImageDef) host.stream_to_image = fn.release();
    if (std::strcmp(f.attr, "getPixel") == 0) get_pixel = std::move(fn);
    if (std::strcmp(f.attr, "putPixel") == 0) put_pixel = std::move(fn);
    if (std::strcmp(f.attr, "open") == 0) open = std::move(fn);
  }
#if defined(PYPY_VERSION)
  if (install_fast_pixels(type.get(), get_pixel.get(), put_pixel.get()) < 0 ||
      install_fast_open(type.get(), open.get(), module_name.get(), globals) < 0)
    return -1;
#endif
  return 0;
}

PyObject *init() {
  if (the_module) {
    Py_INCREF(the_module);
    return the_module;
  }
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;

  // Entered in the module table before the body runs, as a module being
  // imported is; taken out again if loading fails.
  PyObject *modules = PyImport_GetModuleDict();  // borrowed
  bool entered = false;
  if (!PyDict_GetItemString(modules, kModuleName)) {
    if (PyDict_SetItemString(modules, kModuleName, module.get()) < 0) return nullptr;
    entered = true;
  }
  if (exec_module(module.get()) < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "Corvane.simpleImage_ext failed to initialise");
    if (entered) {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      if (PyDict_DelItemString(modules, kModuleName) < 0) PyErr_Clear();
      PyErr_Restore(type, value, tb);
    }
    return nullptr;
  }
  the_module = module.get();
  Py_INCREF(the_module);
  return module.release();
}

}  // namespace
}  // namespace corvane

// PyMODINIT_FUNC marks the symbol visible only from 3.9 on; the module is
// built with hidden visibility, so say it here for every version.
extern "C" [[gnu::visibility("default")]] PyObject *PyInit_simpleImage_ext(void) { return corvane::init(); }
