// Argument conversions.
#include "binding/convert.hpp"

#include <limits>
#include <utility>

#include "binding/pyref.hpp"

namespace qx::py {

void tag_pending_error(const char* name) {
  // The 3.11 stable ABI has no PyErr_GetRaisedException: fetch, normalise
  // to get an exception instance, call its add_note, then put it back.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyRef noted = PyRef::steal(PyObject_CallMethod(value, "add_note", "s", name));
    // The note is a courtesy: if it cannot be added, the original error
    // still is the one worth reporting.
    if (!noted) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

namespace {

// Python float conversion (float, int, __float__, __index__) of a given
// argument; NaN and infinities pass.
bool convert_float(PyObject* object, const char* name, double& out) {
  const double value = PyFloat_AsDouble(object);
  // -1.0 is an everyday setting (threshold_dBFS=-1.0), so only the pending
  // error tells a failure apart.
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    tag_pending_error(name);
    return false;
  }
  out = value;
  return true;
}

// 1 when `object` is a NumPy boolean scalar, 0 when not. Constructing a
// limiter must not import NumPy: if nobody has imported it, no object can
// be one of its scalars, so sys.modules is asked instead of the importer.
int is_numpy_bool(PyObject* object) {
  PyRef numpy = PyRef::borrow(PyDict_GetItemString(PyImport_GetModuleDict(), "numpy"));
  if (!numpy) return 0;
  PyRef bool_type = PyRef::steal(PyObject_GetAttrString(numpy.get(), "bool_"));
  if (!bool_type) {
    PyErr_Clear();  // a stand-in module without bool_ has no such scalars
    return 0;
  }
  if (!PyType_Check(bool_type.get())) return 0;
  return PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(bool_type.get()));
}

}  // namespace

bool convert_true_peak(PyObject* object, bool& out) {
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) {
      tag_pending_error("true_peak");
      return false;
    }
    out = truth != 0;
    return true;
  }
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "true_peak must be a bool or numpy.bool_, not %U", type_name.get());
  tag_pending_error("true_peak");
  return false;
}

bool extract_sample_rate(PyObject* object, std::uint32_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (index) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (PyErr_Occurred() == nullptr && value >= 1 &&
        value <= std::numeric_limits<std::uint32_t>::max()) {
      out = static_cast<std::uint32_t>(value);
      return true;
    }
  }
  // Type, sign, size or zero: one message for all, the cause not kept.
  PyErr_Clear();
  PyErr_SetString(PyExc_ValueError, "sample_rate must be a positive 32-bit integer");
  return false;
}

bool convert_index(PyObject* object, const char* name, std::int64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    tag_pending_error(name);
    return false;
  }
  const long long value = PyLong_AsLongLong(index.get());
  // -1 is a value like any other, so only the pending error means failure.
  if (value == -1 && PyErr_Occurred() != nullptr) {
    tag_pending_error(name);
    return false;
  }
  out = value;
  return true;
}

bool convert_settings(const SettingArguments& given, Settings& settings, PyObject* axis_object,
                      std::int64_t* axis) {
  const std::pair<PyObject*, std::pair<const char*, double*>> floats[] = {
      {given.threshold_dBFS, {"threshold_dBFS", &settings.threshold_dBFS}},
      {given.attack_ms, {"attack_ms", &settings.attack_ms}},
      {given.hold_ms, {"hold_ms", &settings.hold_ms}},
      {given.release_ms, {"release_ms", &settings.release_ms}},
  };
  for (const auto& [object, target] : floats) {
    if (object != nullptr && !convert_float(object, target.first, *target.second)) return false;
  }
  if (axis_object != nullptr && !convert_axis(axis_object, *axis)) return false;
  if (given.true_peak != nullptr && !convert_true_peak(given.true_peak, settings.true_peak)) {
    return false;
  }
  return extract_sample_rate(given.sample_rate, settings.sample_rate);
}

}  // namespace qx::py
