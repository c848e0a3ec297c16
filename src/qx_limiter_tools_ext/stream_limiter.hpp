// The StreamLimiter class of qx_limiter_tools.
#pragma once

#include "binding/python.hpp"

namespace qx::py {

// The StreamLimiter type object (borrowed), created on the first call and
// kept for the rest of the process; null with the exception set if
// creating it fails.
PyObject* stream_limiter_type();

}  // namespace qx::py
