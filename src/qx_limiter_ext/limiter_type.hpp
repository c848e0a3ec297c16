// The QXLimiter class: one validated limiter configuration per instance.
#pragma once

#include "binding/python.hpp"

namespace qx::py {

// The QXLimiter type object (borrowed), created on the first call and kept
// for the rest of the process; null with the exception set if creating it
// fails.
PyObject* limiter_type();

}  // namespace qx::py
