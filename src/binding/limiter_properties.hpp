// The read-only settings of a limiter as Python properties, for every class
// that holds a Limiter (QXLimiter, StreamLimiter): the same names, values
// and docstrings.
#pragma once

#include "binding/python.hpp"
#include "binding/use_state.hpp"
#include "engine/limiter/limiter.hpp"

namespace qx::py {

inline constexpr char kSampleRateDoc[] = "int: Configured sample rate in hertz.";
inline constexpr char kThresholdDoc[] = "float: Configured output ceiling as a linear amplitude.";
inline constexpr char kThresholdDbfsDoc[] = "float: Configured output ceiling in dBFS.";
inline constexpr char kTruePeakDoc[] =
    "bool: Whether ITU-R BS.1770-5 true-peak limiting is enabled.";
inline constexpr char kLookaheadDoc[] = "int: Look-ahead latency in samples.";
inline constexpr char kAttackDoc[] =
    "int: Look-ahead latency in samples. (alias for ``lookahead_samples``)";
inline constexpr char kHoldDoc[] = "int: Configured hold duration in samples.";
inline constexpr char kReleaseDoc[] = "float: Configured release duration in samples.";

inline PyObject* read_sample_rate(const Limiter& l) {
  return PyLong_FromUnsignedLong(l.sample_rate());
}
inline PyObject* read_threshold(const Limiter& l) { return PyFloat_FromDouble(l.threshold()); }
inline PyObject* read_threshold_dBFS(const Limiter& l) {
  return PyFloat_FromDouble(l.threshold_dBFS());
}
inline PyObject* read_true_peak(const Limiter& l) { return PyBool_FromLong(l.true_peak() ? 1 : 0); }
inline PyObject* read_lookahead(const Limiter& l) {
  return PyLong_FromUnsignedLongLong(l.lookahead_samples());
}
inline PyObject* read_hold(const Limiter& l) {
  return PyLong_FromUnsignedLongLong(l.hold_samples());
}
inline PyObject* read_release(const Limiter& l) { return PyFloat_FromDouble(l.release_samples()); }

// Holder: a struct with static `UseState& use(PyObject*)`, `const Limiter&
// limiter(PyObject*)` and `const char* in_use` (the RuntimeError's text).
// A property read takes shared use of the instance.
template <class Holder, PyObject* (*Read)(const Limiter&)>
PyObject* get_limiter_property(PyObject* self, void* /*closure*/) {
  SharedUse use(Holder::use(self), Holder::in_use);
  if (!use) return nullptr;
  return Read(Holder::limiter(self));
}

// The eight entries of a PyGetSetDef table; attack_samples shares the
// lookahead_samples reader, as they are one value.
#define QX_LIMITER_PROPERTIES(Holder)                                                              \
  {"sample_rate", get_limiter_property<Holder, read_sample_rate>, nullptr, kSampleRateDoc,         \
   nullptr},                                                                                       \
      {"threshold", get_limiter_property<Holder, read_threshold>, nullptr, kThresholdDoc,          \
       nullptr},                                                                                   \
      {"threshold_dBFS", get_limiter_property<Holder, read_threshold_dBFS>, nullptr,               \
       kThresholdDbfsDoc, nullptr},                                                                \
      {"true_peak", get_limiter_property<Holder, read_true_peak>, nullptr, kTruePeakDoc, nullptr}, \
      {"lookahead_samples", get_limiter_property<Holder, read_lookahead>, nullptr, kLookaheadDoc,  \
       nullptr},                                                                                   \
      {"attack_samples", get_limiter_property<Holder, read_lookahead>, nullptr, kAttackDoc,        \
       nullptr},                                                                                   \
      {"hold_samples", get_limiter_property<Holder, read_hold>, nullptr, kHoldDoc, nullptr}, {     \
    "release_samples", get_limiter_property<Holder, read_release>, nullptr, kReleaseDoc, nullptr   \
  }

}  // namespace qx::py
