// Conversion of Python arguments into limiter settings and the frame axis.
//
// Every converter returns false with a Python exception set when it fails.
// Conversion failures keep the interpreter's own exception and get the
// parameter's name attached as an exception note, except sample_rate,
// whose every failure is one fixed ValueError.
#pragma once

#include <cstdint>

#include "binding/python.hpp"

namespace qx::py {

// The six settings of create_limiter, holding the Python defaults until a
// given argument overwrites them.
struct Settings {
  std::uint32_t sample_rate = 0;
  double threshold_dBFS = 0.0;
  double attack_ms = 5.0;
  double hold_ms = 15.0;
  double release_ms = 40.0;
  bool true_peak = false;
};

// Attaches `name` as a note (BaseException.add_note) to the pending
// exception, keeping its type, message and traceback.
void tag_pending_error(const char* name);

// The arguments behind the six settings, null where the caller left one
// out (None is an argument like any other, and is refused).
struct SettingArguments {
  PyObject* sample_rate = nullptr;
  PyObject* threshold_dBFS = nullptr;
  PyObject* attack_ms = nullptr;
  PyObject* hold_ms = nullptr;
  PyObject* release_ms = nullptr;
  PyObject* true_peak = nullptr;
};

// Converts the given arguments in the order both entry points share:
// threshold_dBFS, attack_ms, hold_ms and release_ms (Python's float
// conversion; NaN and infinities pass), then the frame axis when
// `axis_object` is given, then true_peak, and sample_rate last. Left-out
// settings keep the defaults in `settings`.
bool convert_settings(const SettingArguments& given, Settings& settings,
                      PyObject* axis_object = nullptr, std::int64_t* axis = nullptr);

// A Python bool, or a NumPy boolean scalar read through its truth value;
// anything else (the ints 0 and 1 included) is a TypeError.
bool convert_true_peak(PyObject* object, bool& out);

// An integer through __index__ in 1 … 4294967295; every failure, whatever
// caused it, becomes ValueError "sample_rate must be a positive 32-bit
// integer" with nothing chained.
bool extract_sample_rate(PyObject* object, std::uint32_t& out);

// An integer through __index__ as a signed 64-bit value: TypeError for a
// non-integer, OverflowError outside the range, both tagged `name`.
bool convert_index(PyObject* object, const char* name, std::int64_t& out);
// convert_index for the argument "axis".
inline bool convert_axis(PyObject* object, std::int64_t& out) {
  return convert_index(object, "axis", out);
}

}  // namespace qx::py
