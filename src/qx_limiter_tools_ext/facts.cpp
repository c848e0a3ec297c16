//   def detects_true_peak(sample_rate) -> bool
//   def smallest_attack_ms(sample_rate) -> float
#include "qx_limiter_tools_ext/facts.hpp"

#include <cstdint>

#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "engine/core/rates.hpp"
#include "engine/limiter/limiter.hpp"
#include "qx_limiter_tools_ext/docstrings.hpp"

namespace qx::py {

namespace {

PyObject* true_peak_rate(PyObject* /*module*/, PyObject* rate_object) {
  return call_guarded(
      [&]() -> PyObject* {
        std::uint32_t rate = 0;
        if (!extract_sample_rate(rate_object, rate)) return nullptr;
        return PyBool_FromLong(detects_true_peak(rate) ? 1 : 0);
      },
      nullptr);
}

PyObject* smallest_attack(PyObject* /*module*/, PyObject* rate_object) {
  return call_guarded(
      [&]() -> PyObject* {
        std::uint32_t rate = 0;
        if (!extract_sample_rate(rate_object, rate)) return nullptr;
        return PyFloat_FromDouble(smallest_attack_ms(rate));
      },
      nullptr);
}

}  // namespace

PyMethodDef fact_functions[] = {
    {"detects_true_peak", true_peak_rate, METH_O, kDetectsTruePeakDoc},
    {"smallest_attack_ms", smallest_attack, METH_O, kSmallestAttackDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace qx::py
