// Module qx_limiter_tools._native: two-phase initialisation with one exec
// slot, which adds the native classes of qx_limiter_tools. The package
// itself (pure Python) re-exports them.
#include "binding/boundary.hpp"
#include "binding/pyref.hpp"
#include "engine/meter/meter.hpp"
#include "qx_limiter_tools_ext/docstrings.hpp"
#include "qx_limiter_tools_ext/facts.hpp"
#include "qx_limiter_tools_ext/sample_error.hpp"
#include "qx_limiter_tools_ext/meter.hpp"
#include "qx_limiter_tools_ext/stream_limiter.hpp"

namespace qx::py {

namespace {

int exec_module(PyObject* module) {
  return call_guarded(
      [&]() -> int {
        if (PyModule_AddFunctions(module, fact_functions) < 0) return -1;
        PyObject* sample_error = sample_error_type();
        if (sample_error == nullptr ||
            PyModule_AddObjectRef(module, "SampleError", sample_error) < 0) {
          return -1;
        }
        PyObject* type = stream_limiter_type();
        if (type == nullptr || PyModule_AddObjectRef(module, "StreamLimiter", type) < 0) {
          return -1;
        }
        PyObject* meter = meter_type();
        if (meter == nullptr || PyModule_AddObjectRef(module, "Meter", meter) < 0) return -1;
        // The rates the meter takes, as the engine holds them.
        PyRef rates = PyRef::steal(Py_BuildValue("(II)", static_cast<unsigned>(Meter::kMinRate),
                                                 static_cast<unsigned>(Meter::kMaxRate)));
        if (!rates) return -1;
        return PyModule_AddObjectRef(module, "METER_RATES", rates.get());
      },
      -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qx_limiter_tools._native",
    kToolsModuleDoc,
    0,
    meter_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace qx::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&qx::py::module_def); }
