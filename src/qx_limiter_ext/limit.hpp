// The one-call function limit(audio, sample_rate, ...).
#pragma once

#include "binding/python.hpp"

namespace qx::py {

// The method definition of limit; the module's exec function turns it into
// the module's function object.
extern PyMethodDef limit_method;

}  // namespace qx::py
