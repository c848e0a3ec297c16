// The one way this module includes NumPy's C API. The API table is a single
// hidden symbol of the module, defined in audio_input.cpp (the first code
// that needs NumPy fills it, through PyArray_ImportNumPyAPI) and shared by
// the other files of the array layer.
#pragma once

#include "binding/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL qx_limiter_numpy_api
#if !defined(QX_NUMPY_API_HERE)
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace qx::py {

// Fills the API table on first use; false with the exception set when NumPy
// cannot be imported.
bool import_numpy_api();

}  // namespace qx::py
