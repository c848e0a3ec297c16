#include "binding/boundary.hpp"

#include <utility>

namespace qx::py {

void raise_engine_error(const EngineError& error) {
  const Text message = error.message();
  PyErr_SetString(PyExc_ValueError, message.c_str());
}

std::optional<Limiter> build_limiter(const Settings& settings) {
  Result<Limiter> result =
      create_limiter(settings.sample_rate, settings.threshold_dBFS, settings.attack_ms,
                     settings.hold_ms, settings.release_ms, settings.true_peak);
  if (result.ok()) return std::move(result).value();
  if (result.is_error()) {
    raise_engine_error(result.error());
    return std::nullopt;
  }
  // What grows with the settings is the envelope's storage, an entry per
  // sample of look-ahead and hold: those are the settings to name.
  Text text("not enough memory to build a limiter at sample_rate=");
  text += format_u64(settings.sample_rate);
  text += " with attack_ms=";
  text += format_f64(settings.attack_ms);
  text += " and hold_ms=";
  text += format_f64(settings.hold_ms);
  text += " (its look-ahead and hold take memory in proportion to their length)";
  PyErr_SetString(PyExc_MemoryError, text.c_str());
  return std::nullopt;
}

}  // namespace qx::py
