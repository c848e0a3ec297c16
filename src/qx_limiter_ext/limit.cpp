// limit: a fresh limiter for one call, then the same array layer as
// QXLimiter.process. Its arguments are converted audio first, so an input
// that cannot be read as an array is reported before any setting.
#include "qx_limiter_ext/limit.hpp"

#include <cstdint>
#include <optional>
#include <utility>

#include "engine/limiter/limiter.hpp"
#include "qx_limiter_ext/process_array.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "qx_limiter_ext/docstrings.hpp"
#include "binding/pyref.hpp"

namespace qx::py {

namespace {

PyObject* limit(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        static const char* const names[] = {"audio",     "sample_rate", "threshold_dBFS",
                                            "attack_ms", "hold_ms",     "release_ms",
                                            "axis",      "true_peak",   nullptr};
        PyObject* audio = nullptr;
        SettingArguments given;
        PyObject* axis_object = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOOOO:limit", const_cast<char**>(names),
                                         &audio, &given.sample_rate, &given.threshold_dBFS,
                                         &given.attack_ms, &given.hold_ms, &given.release_ms,
                                         &axis_object, &given.true_peak)) {
          return nullptr;
        }
        ConvertedAudio converted = convert_audio(audio);
        if (!converted.array) return nullptr;
        Settings settings;
        std::int64_t axis = -1;
        if (!convert_settings(given, settings, axis_object, &axis)) return nullptr;

        // Settings are checked (and filters designed) before the array is
        // looked at, so a bad setting wins over a bad array.
        std::optional<Limiter> limiter = build_limiter(settings);
        if (!limiter) return nullptr;
        return process_array(*limiter, std::move(converted), axis).release();
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
