// What the engine knows that the tools and the command line ask about: the
// rates at which the limiter detects true peaks and the smallest attack at
// a rate, answered by the engine itself rather than copied.
#pragma once

#include "binding/python.hpp"

namespace qx::py {

// detects_true_peak and smallest_attack_ms, for the module's method table.
extern PyMethodDef fact_functions[];

}  // namespace qx::py
