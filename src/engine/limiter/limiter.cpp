#include "engine/limiter/limiter.hpp"

#include <cmath>

#include "engine/core/conversions.hpp"

namespace qx {

std::uint64_t lookahead_for(double attack_ms, std::uint32_t sample_rate) {
  return saturating_u64(std::round(attack_ms * static_cast<double>(sample_rate) / 1000.0));
}

double smallest_attack_ms(std::uint32_t sample_rate) {
  // 500 / rate is where the product reaches one half, give or take the
  // rounding of its two operations: step to the exact boundary.
  double attack = 500.0 / static_cast<double>(sample_rate);
  while (lookahead_for(attack, sample_rate) == 0) attack = std::nextafter(attack, 1e300);
  while (attack > 0.0 && lookahead_for(std::nextafter(attack, 0.0), sample_rate) != 0) {
    attack = std::nextafter(attack, 0.0);
  }
  return attack;
}

Result<Limiter> create_limiter(std::uint32_t sample_rate, double threshold_dBFS, double attack_ms,
                               double hold_ms, double release_ms, bool true_peak) {
  if (sample_rate == 0) return EngineError::zero_sample_rate();

  // The rate plan comes before every other check, so an unsupported
  // true-peak rate wins over any invalid value. Its tables are released
  // with `plan` if a later check fails.
  auto plan = plan_for_rate(sample_rate, true_peak);
  if (plan.is_error()) return plan.error();
  if (plan.out_of_memory()) return OutOfMemory{};

  if (!std::isfinite(threshold_dBFS) || threshold_dBFS > 0.0) {
    return EngineError::invalid_threshold(threshold_dBFS);
  }
  const double threshold = std::pow(10.0, threshold_dBFS / 20.0);

  const struct {
    const char* name;
    double value;
  } times[] = {{"attack_ms", attack_ms}, {"hold_ms", hold_ms}, {"release_ms", release_ms}};
  for (const auto& t : times) {
    if (!std::isfinite(t.value) || t.value < 0.0) {
      return EngineError::invalid_time(t.name, t.value);
    }
  }

  const double sr = static_cast<double>(sample_rate);
  const std::uint64_t lookahead = lookahead_for(attack_ms, sample_rate);
  if (lookahead == 0) return EngineError::attack_rounds_to_zero(attack_ms, sample_rate);
  // The hold is the rounded span of attack plus hold, less the rounded
  // attack, so the two roundings never add up to an extra frame.
  const std::uint64_t span = saturating_u64(std::round((attack_ms + hold_ms) * sr / 1000.0));
  const std::uint64_t window = span > lookahead ? span : lookahead;
  const std::uint64_t hold = window - lookahead;
  const double release = release_ms * sr / 1000.0;

  auto envelope = GainEnvelope::create(lookahead, hold, release);
  if (!envelope.ok()) return OutOfMemory{};

  Limiter limiter(std::move(envelope).value());
  limiter.sample_rate_ = sample_rate;
  limiter.true_peak_ = true_peak;
  limiter.threshold_dBFS_ = threshold_dBFS;
  limiter.threshold_ = threshold;
  limiter.lookahead_ = lookahead;
  limiter.hold_ = hold;
  limiter.release_ = release;
  limiter.detection_ = std::move(plan).value();
  return limiter;
}

}  // namespace qx
