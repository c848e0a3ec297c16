// Conversion of Python arguments into limiter settings, and the boundary
// where engine failures and C++ exceptions become Python exceptions.
//
// Every converter returns false with a Python exception set when it fails.
// Conversion failures keep the interpreter's own exception and get the
// parameter's name attached as an exception note, except sample_rate,
// whose every failure is one fixed ValueError.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <optional>

#include "engine/errors.hpp"
#include "engine/limiter.hpp"
#include "python/python.hpp"

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

// Python float conversion (float, int, __float__, __index__) of a given
// argument; NaN and infinities pass.
bool convert_float(PyObject* object, const char* name, double& out);

// threshold_dBFS, attack_ms, hold_ms, release_ms in that order, each only
// if given (non-null); a null argument leaves the default in `settings`.
bool convert_float_settings(PyObject* threshold_dBFS, PyObject* attack_ms, PyObject* hold_ms,
                            PyObject* release_ms, Settings& settings);

// A Python bool, or a NumPy boolean scalar read through its truth value;
// anything else (the ints 0 and 1 included) is a TypeError.
bool convert_true_peak(PyObject* object, bool& out);

// An integer through __index__ in 1 … 4294967295; every failure, whatever
// caused it, becomes ValueError "sample_rate must be a positive 32-bit
// integer" with nothing chained.
bool extract_sample_rate(PyObject* object, std::uint32_t& out);

// An integer through __index__ as a signed 64-bit value: TypeError for a
// non-integer, OverflowError outside the range, both tagged "axis".
bool convert_axis(PyObject* object, std::int64_t& out);

// Raises ValueError whose only argument is the error's message.
void raise_limiter_error(const LimiterError& error);

// create_limiter with the interpreter lock held; on failure raises the
// ValueError of the error, or MemoryError when the limiter does not fit in
// memory, and returns nothing.
std::optional<Limiter> build_limiter(const Settings& settings);

// Turns the C++ exception being handled into a Python one. Only allocation
// can throw in this module (strings, vectors), so anything else is a bug
// worth a SystemError rather than an abort.
inline void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "qx_limiter: unexpected C++ exception");
  }
}

// Runs the body of an entry point called by the interpreter. C++ exceptions
// must not unwind into the interpreter's C frames, so every callback of this
// module goes through one of these two; `failed` is its error return value.
template <class Body>
auto call_guarded(Body&& body, decltype(body()) failed) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return failed;
  }
}

}  // namespace qx::py
