// The array layer shared by QXLimiter.process and limit: NumPy arrays in,
// a planar block through the engine, NumPy arrays out. It is the only part
// of the module that includes NumPy's headers, and it obtains NumPy's C API
// the first time a conversion needs it, so importing the module and
// constructing a limiter never import NumPy.
#pragma once

#include <cstdint>

#include "engine/limiter.hpp"
#include "python/pyref.hpp"

namespace qx::py {

// The audio argument as a native float32 NumPy array (new reference), or
// empty with the exception set. A native float32 array is returned as it
// is; one-dimensional sequences are read item by item through Python's
// float conversion; everything else goes through NumPy's forced cast. The
// caller's object is never written.
PyRef convert_audio(PyObject* object);

// Checks the converted array against the frame axis, copies it into a
// planar block, limits the block with the interpreter lock released and
// returns the new tuple (audio, frame_gains), or empty with the exception
// set. `limiter` must be held exclusively by the caller for the call.
PyRef process_array(Limiter& limiter, PyObject* array, std::int64_t axis);

}  // namespace qx::py
