// A limiter: validated settings, the lengths derived from them, the level
// detection mode and the gain envelope. Built only by create_limiter, which
// checks the six settings in a fixed order and reports the first failure.
#pragma once

#include <cstdint>

#include "engine/core/errors.hpp"
#include "engine/detector/detection_mode.hpp"
#include "engine/envelope/envelope.hpp"

namespace qx {

class Limiter {
 public:
  Limiter(Limiter&&) noexcept = default;
  Limiter& operator=(Limiter&&) noexcept = default;

  std::uint32_t sample_rate() const { return sample_rate_; }
  bool true_peak() const { return true_peak_; }
  double threshold_dBFS() const { return threshold_dBFS_; }
  double threshold() const { return threshold_; }                 // linear, in [0, 1]
  std::uint64_t lookahead_samples() const { return lookahead_; }  // A ≥ 1
  std::uint64_t hold_samples() const { return hold_; }            // H ≥ 0
  double release_samples() const { return release_; }             // R ≥ 0, unrounded
  const DetectionMode& detection() const { return detection_; }
  GainEnvelope& envelope() { return envelope_; }

 private:
  friend Result<Limiter> create_limiter(std::uint32_t, double, double, double, double, bool);
  Limiter(GainEnvelope envelope) : envelope_(std::move(envelope)) {}

  std::uint32_t sample_rate_ = 0;
  bool true_peak_ = false;
  double threshold_dBFS_ = 0.0;
  double threshold_ = 1.0;
  std::uint64_t lookahead_ = 0;
  std::uint64_t hold_ = 0;
  double release_ = 0.0;
  DetectionMode detection_;
  GainEnvelope envelope_;
};

// The look-ahead in frames that `attack_ms` gives at `sample_rate`:
// attack_ms × rate / 1000 rounded half away from zero, saturating.
std::uint64_t lookahead_for(double attack_ms, std::uint32_t sample_rate);

// The smallest attack_ms whose look-ahead at `sample_rate` (> 0) is one
// frame or more.
double smallest_attack_ms(std::uint32_t sample_rate);

// Validates, in order: sample rate non-zero; the true-peak plan for the rate
// (designing the Kaiser tables where needed); threshold_dBFS finite and
// ≤ 0; attack_ms, hold_ms, release_ms finite and ≥ 0; the attack rounding
// to at least one frame. Then derives A, H, R and builds the envelope.
// OutOfMemory when the envelope or tables cannot be stored.
Result<Limiter> create_limiter(std::uint32_t sample_rate, double threshold_dBFS, double attack_ms,
                               double hold_ms, double release_ms, bool true_peak);

}  // namespace qx
