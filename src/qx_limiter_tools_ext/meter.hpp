// The meter's native entry points in qx_limiter_tools._native.
#pragma once

#include "binding/python.hpp"

namespace qx::py {

// measure and integrated_loudness, for the module's method table.
extern PyMethodDef meter_functions[];

// The Meter type object (borrowed), created on the first call and kept for
// the rest of the process; null with the exception set if that fails.
PyObject* meter_type();

}  // namespace qx::py
