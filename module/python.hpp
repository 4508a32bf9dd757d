// module/python.hpp: the one way the module includes Python.h.
//
// Built against the stable ABI (Py_LIMITED_API, the abi3 wheel), the objects'
// layouts are hidden. The few access macros the module reads bytes, tuples
// and lists through then stand for the API's functions of the same meaning:
// each is only used on an object already known to be of its type (and, for
// SET_ITEM, on a fresh tuple or list), where both forms do the same. The
// per-version builds keep the macros, which read the object in place.
#pragma once
#include <Python.h>

#if defined(Py_LIMITED_API)
#define PyBytes_AS_STRING(o) PyBytes_AsString(o)
#define PyBytes_GET_SIZE(o) PyBytes_Size(o)
#define PyByteArray_AS_STRING(o) PyByteArray_AsString(o)
#define PyByteArray_GET_SIZE(o) PyByteArray_Size(o)
#define PyTuple_GET_SIZE(o) PyTuple_Size(o)
#define PyTuple_GET_ITEM(o, i) PyTuple_GetItem(o, i)
#define PyTuple_SET_ITEM(o, i, v) PyTuple_SetItem(o, i, v)
#define PyList_GET_SIZE(o) PyList_Size(o)
#define PyList_GET_ITEM(o, i) PyList_GetItem(o, i)
#define PyList_SET_ITEM(o, i, v) PyList_SetItem(o, i, v)
#define PyDict_GET_SIZE(o) PyDict_Size(o)
#endif

#if defined(Py_LIMITED_API)
#include <vector>
#endif

namespace corvane {

// The items of an exact tuple or list as one array of borrowed references:
// read in place where the layout is known; gathered into an array of their
// own on the stable ABI, which hides it. Valid while the sequence is not
// changed, as the in-place array is.
class SeqItems {
 public:
  explicit SeqItems(PyObject *seq) {
#if defined(Py_LIMITED_API)
    const bool tuple = PyTuple_Check(seq);
    size_ = tuple ? PyTuple_Size(seq) : PyList_Size(seq);
    PyObject **items = size_ <= kInline ? inline_ : (heap_.resize(size_t(size_)), heap_.data());
    for (Py_ssize_t i = 0; i < size_; ++i) items[i] = tuple ? PyTuple_GetItem(seq, i) : PyList_GetItem(seq, i);
    items_ = items;
#else
    size_ = PySequence_Fast_GET_SIZE(seq);
    items_ = PySequence_Fast_ITEMS(seq);
#endif
  }
  SeqItems(const SeqItems &) = delete;
  SeqItems &operator=(const SeqItems &) = delete;
  PyObject *const *data() const { return items_; }
  Py_ssize_t size() const { return size_; }

 private:
  PyObject *const *items_;
  Py_ssize_t size_;
#if defined(Py_LIMITED_API)
  static constexpr Py_ssize_t kInline = 8;
  PyObject *inline_[kInline];
  std::vector<PyObject *> heap_;
#endif
};

}  // namespace corvane
