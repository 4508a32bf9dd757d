// module/function.cpp: the callable type behind every function and method.
// On CPython calls arrive through vectorcall, and the method-descriptor flag
// lets `obj.method(...)` skip making a bound method; PyPy's cpyext calls
// through tp_call, so that general path is all it gets. Built on the stable
// ABI the two types are made with PyType_FromSpec (heap types, immutable and not
// instantiable, as the static ones are), and bound methods come from the
// host's types.MethodType.
#include "module/function.hpp"

#include <cstddef>

#include "module/errors.hpp"
#include "module/ref.hpp"

#if !defined(PYPY_VERSION)
#define CORVANE_VECTORCALL 1
#if PY_VERSION_HEX < 0x03090000
#define CORVANE_TPFLAGS_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#else
#define CORVANE_TPFLAGS_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#endif
#endif

namespace corvane {
namespace {

struct FunctionObject {
  PyObject_HEAD
#ifdef CORVANE_VECTORCALL
  vectorcallfunc vectorcall;
#endif
  const FnDef *def;
  PyObject *name;         // str
  PyObject *qualname;     // str
  PyObject *module;       // any object, like a function's __module__
  PyObject *doc;          // any object
  PyObject *defaults;     // tuple, or None
  PyObject *annotations;  // dict
  PyObject *globals;      // dict the late-bound names live in
  PyObject *dict;         // function attributes, made on first use
  PyObject *weakrefs;
};

#if defined(Py_LIMITED_API)
PyTypeObject *function_type = nullptr;  // made by function_type_ready()
PyObject *method_type = nullptr;        // types.MethodType
#else
PyTypeObject FunctionType{};  // filled in by function_type_ready()
PyTypeObject *const function_type = &FunctionType;
#endif

FunctionObject *as_fn(PyObject *o) { return reinterpret_cast<FunctionObject *>(o); }

PyObject *new_ref_or_none(PyObject *o) {
  if (!o) o = Py_None;
  Py_INCREF(o);
  return o;
}

[[gnu::cold]] PyObject *raise_bad_self(const FnDef &d, FunctionObject *f, PyObject *self) {
  if (!self)
    return PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
  return PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                      f->name, type_name_of(*d.self_type), type_name(self));
}

// cpyext lets object.__new__ make a function object without a definition.
[[gnu::cold]] PyObject *raise_no_definition(PyObject *fn) {
  return PyErr_Format(PyExc_TypeError, "'%.100s' object was not created by the module and cannot be called",
                      type_name(fn));
}

// Peel off self (for methods), bind the rest with `bind`, run the body. This
// is the one boundary between the host and the native parts: a C++ exception
// from anything the body runs (an allocation, a thread) ends here as the
// host's exception, never in the interpreter.
template <class Bind>
inline PyObject *dispatch(PyObject *callable, PyObject *const *args, Py_ssize_t nargs, Bind &&bind) try {
  FunctionObject *f = as_fn(callable);
  if (!f->def) return raise_no_definition(callable);
  const FnDef &d = *f->def;
  PyObject *self = nullptr;
  if (d.sig.takes_self()) {
    if (nargs < 1) return raise_bad_self(d, f, nullptr);
    self = args[0];
    if (d.self_type && !PyObject_TypeCheck(self, *d.self_type)) return raise_bad_self(d, f, self);
    ++args;
    --nargs;
  }
  BoundArgs bound;
  if (bind(d.sig, args, nargs, bound) < 0) return nullptr;
  return d.impl(callable, self, bound);
} catch (...) {
  return raise_cxx_exception();
}

#ifdef CORVANE_VECTORCALL
PyObject *fn_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
  const FnDef *d = as_fn(callable)->def;
  if (d && d->direct && !kwnames && PyVectorcall_NARGS(nargsf) == d->sig.nparams() + 1 &&
      Py_TYPE(args[0]) == *d->self_type) {
    try {
      return d->direct(args[0], args + 1);
    } catch (...) {
      return raise_cxx_exception();
    }
  }
  return dispatch(callable, args, PyVectorcall_NARGS(nargsf), [kwnames](auto &sig, auto *a, Py_ssize_t n, auto &b) {
    return bind_vector(sig, a, n, kwnames, b);
  });
}
#else
PyObject *fn_call(PyObject *callable, PyObject *args, PyObject *kwargs) {
  if (kwargs && PyDict_GET_SIZE(kwargs) == 0) kwargs = nullptr;  // cpyext passes {} for "no keywords"
  const SeqItems items(args);
  return dispatch(callable, items.data(), items.size(), [kwargs](auto &sig, auto *a, Py_ssize_t n, auto &b) {
    return bind_tuple(sig, a, n, kwargs, b);
  });
}
#endif

PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
  if (!obj || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
#if defined(Py_LIMITED_API)
  return PyObject_CallFunctionObjArgs(method_type, self, obj, nullptr);
#else
  return PyMethod_New(self, obj);
#endif
}

PyObject *fn_repr(PyObject *self) {
  PyObject *qualname = as_fn(self)->qualname;
  if (!qualname) return PyUnicode_FromFormat("<function at %p>", self);
  return PyUnicode_FromFormat("<function %U at %p>", qualname, self);
}

int fn_traverse(PyObject *self, visitproc visit, void *arg) {
  FunctionObject *f = as_fn(self);
#if defined(Py_LIMITED_API)
  Py_VISIT(Py_TYPE(self));  // instances of heap types own a reference to their type
#endif
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->globals);
  Py_VISIT(f->dict);
  return 0;
}

int fn_clear(PyObject *self) {
  FunctionObject *f = as_fn(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->dict);
  return 0;
}

void fn_dealloc(PyObject *self) {
  FunctionObject *f = as_fn(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
#if defined(Py_LIMITED_API)
  PyTypeObject *type = Py_TYPE(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
#else
  PyObject_GC_Del(self);
#endif
}

// --- attributes -----------------------------------------------------------

PyObject *get_name(PyObject *self, void *) { return new_ref_or_none(as_fn(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return new_ref_or_none(as_fn(self)->qualname); }

int set_str_field(PyObject *&field, PyObject *value, const char *what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  set_field(field, value);
  return 0;
}
int set_name(PyObject *self, PyObject *v, void *) { return set_str_field(as_fn(self)->name, v, "__name__"); }
int set_qualname(PyObject *self, PyObject *v, void *) {
  return set_str_field(as_fn(self)->qualname, v, "__qualname__");
}

// Plain object fields: any value; deleting stores None.
int set_object_field(PyObject *&field, PyObject *value) {
  set_field(field, new_ref_or_none(value));
  return 0;
}
PyObject *get_module(PyObject *self, void *) { return new_ref_or_none(as_fn(self)->module); }
int set_module(PyObject *self, PyObject *v, void *) { return set_object_field(as_fn(self)->module, v); }
PyObject *get_doc(PyObject *self, void *) { return new_ref_or_none(as_fn(self)->doc); }
int set_doc(PyObject *self, PyObject *v, void *) { return set_object_field(as_fn(self)->doc, v); }

// Defaults are part of how arguments bind, so they are read-only.
PyObject *get_defaults(PyObject *self, void *) { return new_ref_or_none(as_fn(self)->defaults); }
PyObject *get_kwdefaults(PyObject *, void *) { return new_none(); }

PyObject *get_annotations(PyObject *self, void *) {
  FunctionObject *f = as_fn(self);
  if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
  Py_INCREF(f->annotations);
  return f->annotations;
}
int set_annotations(PyObject *self, PyObject *v, void *) {
  FunctionObject *f = as_fn(self);
  if (!v) {
    Py_CLEAR(f->annotations);
    return 0;
  }
  if (!PyDict_Check(v)) return fail(type_error("__annotations__ must be set to a dict object"));
  Py_INCREF(v);
  set_field(f->annotations, v);
  return 0;
}

// An inspect.Signature for sig: self or cls first when with_self, then every
// parameter with its default (None for the trailing ones, as sig says) and its
// annotation (from annotations, a dict, or nullptr for none).
PyObject *build_signature(const Signature &sig, bool with_self, PyObject *annotations) {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  if (!parameter) return nullptr;
  Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  if (!signature) return nullptr;
  Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
  if (!kind) return nullptr;
  Ref params = Ref::steal(PyList_New(0));
  if (!params) return nullptr;
  auto annotation_of = [&](const char *name) -> PyObject * {  // borrowed, or nullptr
    return annotations && PyDict_Check(annotations) ? PyDict_GetItemString(annotations, name) : nullptr;
  };

  auto add = [&](const char *name, PyObject *annotation, PyObject *dflt) -> int {
    Ref pos = Ref::steal(Py_BuildValue("(sO)", name, kind.get()));
    Ref kw = Ref::steal(PyDict_New());
    if (!pos || !kw) return -1;
    if (annotation && PyDict_SetItemString(kw.get(), "annotation", annotation) < 0) return -1;
    if (dflt && PyDict_SetItemString(kw.get(), "default", dflt) < 0) return -1;
    Ref p = Ref::steal(PyObject_Call(parameter.get(), pos.get(), kw.get()));
    return p ? PyList_Append(params.get(), p.get()) : -1;
  };

  if (with_self && add(sig.binding == Binding::Class ? "cls" : "self", nullptr, nullptr) < 0) return nullptr;
  for (Py_ssize_t i = 0; i < sig.nparams(); ++i) {
    const char *name = sig.params[i].name;
    if (add(name, annotation_of(name), i >= sig.nrequired ? Py_None : nullptr) < 0) return nullptr;
  }
  Ref pos = Ref::steal(PyTuple_Pack(1, params.get()));
  Ref kw = Ref::steal(PyDict_New());
  if (!pos || !kw) return nullptr;
  if (PyObject *ret = annotation_of("return"))
    if (PyDict_SetItemString(kw.get(), "return_annotation", ret) < 0) return nullptr;
  return PyObject_Call(signature.get(), pos.get(), kw.get());
}

// inspect.signature() and help() read this; built from the live annotations,
// the way inspect reads an ordinary function (defaults are read-only).
PyObject *get_signature(PyObject *self, void *) {
  if (!as_fn(self)->def) return new_none();
  const Signature &sig = as_fn(self)->def->sig;
  Ref annotations = Ref::steal(get_annotations(self, nullptr));
  if (!annotations) return nullptr;
  return build_signature(sig, sig.takes_self(), annotations.get());
}

// Functions pickle and copy by reference, as the host's own functions do:
// the name is looked up again in the module on the other side.
PyObject *fn_reduce(PyObject *self, PyObject *) { return new_ref_or_none(as_fn(self)->qualname); }

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {},
};

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {},
};

// --- the class's own signature ------------------------------------------------

// A class attribute __signature__ that gives inspect the constructor's
// parameters, read on demand so loading never imports inspect. Subclasses
// see None, and inspect then works their signature out as for any class.
struct ClassSignatureObject {
  PyObject_HEAD
  const Signature *sig;
  PyTypeObject *owner;
};

#if defined(Py_LIMITED_API)
PyTypeObject *class_signature_type = nullptr;

void class_signature_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}
#else
PyTypeObject ClassSignatureType{};
#endif

PyObject *class_signature_get(PyObject *self, PyObject *, PyObject *type) {
  auto *d = reinterpret_cast<ClassSignatureObject *>(self);
  if (!d->sig || type != reinterpret_cast<PyObject *>(d->owner)) return new_none();
  return build_signature(*d->sig, false, nullptr);
}

#if defined(Py_LIMITED_API)
// A type made once and kept for the life of the process.
PyTypeObject *make_type(PyType_Spec &type_spec) {
  PyObject *t = PyType_FromSpec(&type_spec);
  if (t) remember_type_name(reinterpret_cast<PyTypeObject *>(t), type_spec.name);
  return reinterpret_cast<PyTypeObject *>(t);
}
#else
// A static type object starts as zeros plus the one reference the process
// holds; the rest is set field by field, which reads the same on every host.
int ready_static_type(PyTypeObject &t) {
  Py_INCREF(reinterpret_cast<PyObject *>(&t));
  return PyType_Ready(&t);
}
#endif

}  // namespace

PyObject *make_class_signature(const Signature *sig, PyTypeObject *owner) {
#if defined(Py_LIMITED_API)
  if (!class_signature_type) {
    PyType_Slot slots[] = {
        {Py_tp_descr_get, reinterpret_cast<void *>(class_signature_get)},
        {Py_tp_dealloc, reinterpret_cast<void *>(class_signature_dealloc)},
        {0, nullptr},
    };
    PyType_Spec type_spec{"Corvane.simpleImage_ext.class_signature", int(sizeof(ClassSignatureObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    if (!(class_signature_type = make_type(type_spec))) return nullptr;
  }
  PyTypeObject *t = class_signature_type;
#else
  PyTypeObject *t = &ClassSignatureType;
  if (!(t->tp_flags & Py_TPFLAGS_READY)) {
    t->tp_name = "Corvane.simpleImage_ext.class_signature";
    t->tp_basicsize = sizeof(ClassSignatureObject);
    t->tp_flags = Py_TPFLAGS_DEFAULT;
    t->tp_descr_get = class_signature_get;
    if (ready_static_type(*t) < 0) return nullptr;
  }
#endif
  auto *d = PyObject_New(ClassSignatureObject, t);
  if (!d) return nullptr;
  d->sig = sig;
  d->owner = owner;  // the class holds this descriptor, so it outlives it
  return reinterpret_cast<PyObject *>(d);
}

PyObject *function_globals(PyObject *fn) { return as_fn(fn)->globals; }

#if defined(Py_LIMITED_API)
int function_type_ready() {
  if (function_type) return 0;
  Ref types = Ref::steal(PyImport_ImportModule("types"));
  if (!types || !(method_type = PyObject_GetAttrString(types.get(), "MethodType"))) return -1;
  static PyMemberDef members[] = {
      {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
      {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
      {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
      {},
  };
  PyType_Slot slots[] = {
      {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
      {Py_tp_dealloc, reinterpret_cast<void *>(fn_dealloc)},
      {Py_tp_repr, reinterpret_cast<void *>(fn_repr)},
      {Py_tp_traverse, reinterpret_cast<void *>(fn_traverse)},
      {Py_tp_clear, reinterpret_cast<void *>(fn_clear)},
      {Py_tp_descr_get, reinterpret_cast<void *>(fn_descr_get)},
      {Py_tp_getset, fn_getset},
      {Py_tp_methods, fn_methods},
      {Py_tp_members, members},
      {0, nullptr},
  };
  PyType_Spec type_spec{"Corvane.simpleImage_ext.function", int(sizeof(FunctionObject)), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                       Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                   slots};
  return (function_type = make_type(type_spec)) ? 0 : -1;
}
#else
int function_type_ready() {
  PyTypeObject &t = FunctionType;
  if (t.tp_flags & Py_TPFLAGS_READY) return 0;
  t.tp_name = "Corvane.simpleImage_ext.function";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#ifdef CORVANE_VECTORCALL
  t.tp_flags |= CORVANE_TPFLAGS_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_call = PyVectorcall_Call;
#else
  t.tp_call = fn_call;
#endif
  t.tp_dealloc = fn_dealloc;
  t.tp_repr = fn_repr;
  t.tp_traverse = fn_traverse;
  t.tp_clear = fn_clear;
  t.tp_descr_get = fn_descr_get;
  t.tp_getset = fn_getset;
  t.tp_methods = fn_methods;
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  return ready_static_type(t);
}
#endif

PyObject *make_function(const FnDef *def, PyObject *module_name, PyObject *globals) {
  const Signature &sig = def->sig;
  FunctionObject *f = PyObject_GC_New(FunctionObject, function_type);
  if (!f) return nullptr;
#ifdef CORVANE_VECTORCALL
  f->vectorcall = fn_vectorcall;
#endif
  f->def = def;
  f->name = PyUnicode_FromString(sig.name);
  f->qualname = PyUnicode_FromString(sig.qualname);
  Py_INCREF(module_name);
  f->module = module_name;
  f->doc = new_none();
  f->defaults = nullptr;
  f->annotations = PyDict_New();
  Py_INCREF(globals);
  f->globals = globals;
  f->dict = nullptr;
  f->weakrefs = nullptr;
  Ref fn = Ref::steal(reinterpret_cast<PyObject *>(f));
  PyObject_GC_Track(fn.get());
  if (!f->name || !f->qualname || !f->annotations) return nullptr;

  if (sig.has_defaults()) {
    Py_ssize_t n = sig.nparams() - sig.nrequired;
    if (!(f->defaults = PyTuple_New(n))) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(f->defaults, i, new_none());
  } else {
    f->defaults = new_none();
  }
  for (const Param &p : sig.params) {
    if (!p.annotation) continue;
    Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
    if (!text || PyDict_SetItemString(f->annotations, p.name, text.get()) < 0) return nullptr;
  }
  if (sig.returns) {
    Ref text = Ref::steal(PyUnicode_FromString(sig.returns));
    if (!text || PyDict_SetItemString(f->annotations, "return", text.get()) < 0) return nullptr;
  }
  return fn.release();
}

}  // namespace corvane
