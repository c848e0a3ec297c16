// limit: a fresh limiter for one call, then the same array layer as
// QXLimiter.process. Its arguments are converted audio first, so an input
// that cannot be read as an array is reported before any setting.
#include "python/limit.hpp"

#include <cstdint>
#include <optional>

#include "engine/limiter.hpp"
#include "python/arguments.hpp"
#include "python/arrays.hpp"
#include "python/docstrings.hpp"
#include "python/pyref.hpp"

namespace qx::py {

namespace {

PyObject* limit(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        static const char* const names[] = {"audio",      "sample_rate", "threshold_dBFS",
                                            "attack_ms",  "hold_ms",     "release_ms",
                                            "axis",       "true_peak",   nullptr};
        PyObject* audio = nullptr;
        PyObject* sample_rate = nullptr;
        PyObject* threshold_dBFS = nullptr;
        PyObject* attack_ms = nullptr;
        PyObject* hold_ms = nullptr;
        PyObject* release_ms = nullptr;
        PyObject* axis_object = nullptr;
        PyObject* true_peak = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOOOO:limit",
                                         const_cast<char**>(names), &audio, &sample_rate,
                                         &threshold_dBFS, &attack_ms, &hold_ms, &release_ms,
                                         &axis_object, &true_peak)) {
          return nullptr;
        }
        PyRef array = convert_audio(audio);
        if (!array) return nullptr;

        Settings settings;
        if (!convert_float_settings(threshold_dBFS, attack_ms, hold_ms, release_ms, settings)) {
          return nullptr;
        }
        std::int64_t axis = -1;
        if (axis_object != nullptr && !convert_axis(axis_object, axis)) return nullptr;
        if (true_peak != nullptr && !convert_true_peak(true_peak, settings.true_peak)) {
          return nullptr;
        }
        if (!extract_sample_rate(sample_rate, settings.sample_rate)) return nullptr;

        // Settings are checked (and filters designed) before the array is
        // looked at, so a bad setting wins over a bad array.
        std::optional<Limiter> limiter = build_limiter(settings);
        if (!limiter) return nullptr;
        return process_array(*limiter, array.get(), axis).release();
      },
      nullptr);
}

}  // namespace

PyMethodDef limit_method = {
    "limit",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(limit)),
    METH_VARARGS | METH_KEYWORDS,
    kLimitDoc,
};

}  // namespace qx::py
