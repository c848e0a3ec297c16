// Module qx_limiter: two-phase initialisation with one exec slot, which
// adds the QXLimiter class and the limit function and lists both in
// __all__. The module has no state of its own.
//
//   import qx_limiter
//   qx_limiter.__all__ == ["QXLimiter", "limit"]
#include "qx_limiter_ext/docstrings.hpp"
#include "qx_limiter_ext/limit.hpp"
#include "qx_limiter_ext/limiter_type.hpp"
#include "binding/pyref.hpp"
#include "binding/boundary.hpp"

namespace qx::py {

namespace {

// Adds `value` to the module as `name` and appends the name to __all__,
// creating the list on first use.
int add_public(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(module, name, value) < 0) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef entry = PyRef::steal(PyUnicode_FromString(name));
  if (!entry) return -1;
  return PyList_Append(all.get(), entry.get());
}

int exec_module(PyObject* module) {
  return call_guarded(
      [&]() -> int {
        PyObject* type = limiter_type();
        if (type == nullptr || add_public(module, "QXLimiter", type) < 0) return -1;

        // Owned by the module (its self) and named after it, as a function
        // defined in the module's method table would be.
        PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        PyRef function = PyRef::steal(PyCFunction_NewEx(&limit_method, module, module_name.get()));
        if (!function) return -1;
        return add_public(module, "limit", function.get());
      },
      -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "qx_limiter", kModuleDoc, 0,       nullptr,
    module_slots,          nullptr,      nullptr,    nullptr,
};

}  // namespace

}  // namespace qx::py

PyMODINIT_FUNC PyInit_qx_limiter() { return PyModuleDef_Init(&qx::py::module_def); }
