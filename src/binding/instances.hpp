// The instances of the modules' classes: each holds one C++ object,
// constructed in place when the instance is made and destroyed with it (the
// interpreter only provides zeroed memory); and the classes' type objects.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "binding/python.hpp"

namespace qx::py {

template <class T>
struct Instance {
  PyObject_HEAD alignas(T) std::byte storage[sizeof(T)];

  static T& of(PyObject* self) {
    return *std::launder(reinterpret_cast<T*>(reinterpret_cast<Instance*>(self)->storage));
  }

  // A new instance of `type` holding T(args...); null with the exception
  // set when the interpreter cannot allocate it.
  template <class... Args>
  static PyObject* create(PyTypeObject* type, Args&&... args) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (reinterpret_cast<Instance*>(self)->storage) T(std::forward<Args>(args)...);
    return self;
  }

  // The class's tp_dealloc.
  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    of(self).~T();
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    // Instances of a heap type own a reference to it.
    Py_DECREF(type);
  }
};

// The type object made from `Spec` (borrowed): created on the first call and
// kept for the rest of the process, since every instance and every import
// of the module refer to it and it owns no per-module state. Null with the
// exception set if creating it fails.
template <PyType_Spec& Spec>
PyObject* heap_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&Spec);
  return type;
}

}  // namespace qx::py
