#include "binding/result_arrays.hpp"

#include "engine/core/allocation.hpp"

namespace qx::py {
namespace {

constexpr char kBufferCapsule[] = "qx_limiter.buffer";

void release_capsule_buffer(PyObject* capsule) {
  memory::release(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// A writeable row-major float32 array of `shape` over `data`, with `base`
// (stolen, also on failure) as its base object.
PyRef array_over(float* data, int ndim, const npy_intp* shape, PyObject* base) {
  PyRef owner = PyRef::steal(base);
  npy_intp dims[NPY_MAXDIMS];
  npy_intp strides[NPY_MAXDIMS];
  bool empty = false;
  for (int i = 0; i < ndim; ++i) {
    dims[i] = shape[i];
    empty = empty || shape[i] == 0;
  }
  npy_intp step = sizeof(float);
  for (int i = ndim - 1; i >= 0; --i) {
    strides[i] = empty ? 0 : step;
    step *= dims[i];
  }
  PyArray_Descr* float32 = PyArray_DescrFromType(NPY_FLOAT);
  if (float32 == nullptr) return {};
  // PyArray_NewFromDescr steals the descriptor; without an owner flag the
  // array never frees `data` itself.
  PyRef array = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, float32, ndim, dims, strides, data,
                                                  NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return {};
  // Steals the base, also when it fails; the array then still refers to
  // the buffer, but it is dropped right here without being read.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
    return {};
  }
  return array;
}

}  // namespace

PyRef wrap_owned(float* data, int ndim, const npy_intp* shape) {
  // PyCapsule_New refuses a null pointer; memory::allocate never hands out
  // one for a buffer that exists, empty ones included.
  PyObject* capsule = PyCapsule_New(data, kBufferCapsule, release_capsule_buffer);
  if (capsule == nullptr) {
    memory::release(data);
    return {};
  }
  return array_over(data, ndim, shape, capsule);
}

PyRef view_of(PyObject* owner) {
  auto* array = reinterpret_cast<PyArrayObject*>(owner);
  Py_INCREF(owner);
  return array_over(static_cast<float*>(PyArray_DATA(array)), PyArray_NDIM(array),
                    PyArray_DIMS(array), owner);
}

}  // namespace qx::py
