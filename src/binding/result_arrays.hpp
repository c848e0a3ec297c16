// The arrays a call hands back: writeable, row-major float32 arrays whose
// buffer belongs to a small base object that frees it with the array.
#pragma once

#include "binding/numpy_api.hpp"
#include "binding/pyref.hpp"

namespace qx::py {

// A new array of `shape` over `data`, which must come from memory::allocate.
// Takes ownership of `data` in every case: it passes to a capsule that the
// array keeps as its base and that releases it when NumPy drops the array.
PyRef wrap_owned(float* data, int ndim, const npy_intp* shape);

// A new array over the whole buffer of `owner`, a C-contiguous float32
// array, with `owner` as its base: the result of processing a private
// temporary in place, handed on without a copy.
PyRef view_of(PyObject* owner);

}  // namespace qx::py
