// The audio argument of every call that takes audio, as a native float32
// NumPy array. NumPy's C API is obtained the first time a conversion needs
// it, so importing a module and constructing a limiter never import NumPy.
#pragma once

#include <cstdint>

#include "binding/pyref.hpp"

namespace qx::py {

// The audio argument as a native float32 NumPy array.
struct ConvertedAudio {
  PyRef array;
  // True when the conversion made the array and nothing else refers to it
  // or to its buffer: the block may then be processed in it, in place.
  bool is_private = false;
};

// A native float32 array is taken as it is; one-dimensional sequences are
// read item by item through Python's float conversion; everything else goes
// through NumPy's forced cast. The caller's object is never written. Empty
// `array` with the exception set on failure.
ConvertedAudio convert_audio(PyObject* object);

}  // namespace qx::py
