// Construction and reset of the gain envelope; the step loop itself lives in
// loops.inc, compiled once per instruction-set path (kernels.cpp), since its
// release step is a fused multiply-add.
#include "engine/envelope/envelope.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "engine/core/conversions.hpp"
#include "engine/envelope/kernels.hpp"

namespace qx {
namespace {

// IEEE-754 totalOrder "a < b" for doubles (−0 sorts before +0).
bool total_less(double a, double b) {
  auto key = [](double v) {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
  };
  return key(a) < key(b);
}

}  // namespace

void smoothing_stage_lengths(std::uint64_t lookahead, std::uint64_t out[3]) {
  static constexpr double kWeights[3] = {0.404078562416, 0.334851475794, 0.261069961789};
  const double d = static_cast<double>(lookahead - 1);
  std::uint64_t floors[3];
  double rest[3];
  std::uint64_t total = 0;
  for (int i = 0; i < 3; ++i) {
    const double p = d * kWeights[i];
    floors[i] = saturating_u64(std::floor(p));
    rest[i] = static_cast<double>(floors[i]) - p;
    out[i] = floors[i] + 1;
    total += floors[i];
  }
  // Hand the missing frames to the stages that were rounded down the most.
  while (total < lookahead - 1) {
    int pick = 0;
    for (int i = 1; i < 3; ++i) {
      if (total_less(rest[i], rest[pick])) pick = i;
    }
    out[pick] += 1;
    rest[pick] += 1.0;
    total += 1;
  }
}

Result<GainEnvelope> GainEnvelope::create(std::uint64_t lookahead, std::uint64_t hold,
                                          double release_samples) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  // Saturated lengths are valid settings; they just cannot be stored. Check
  // every size before computing anything that scales with it.
  if (lookahead == 0 || hold > kMax - lookahead) return OutOfMemory{};
  const std::uint64_t window_length = lookahead + hold;
  if (window_length >= kMax - 1 || lookahead > kMax - 2) return OutOfMemory{};
  std::size_t bytes = 0;
  if (!checked_mul(window_length + 2, sizeof(double) + sizeof(std::uint64_t), bytes) ||
      !checked_mul(lookahead + 2, sizeof(double), bytes)) {
    return OutOfMemory{};
  }

  GainEnvelope env;
  EnvelopeState& st = env.state_;
  st.lookahead = lookahead;
  st.window_length = window_length;
  st.release_coefficient = std::isinf(release_samples) ? 0.0 : 1.0 / (release_samples + 1.0);
  smoothing_stage_lengths(lookahead, st.stage_length);
  std::uint64_t stage_total = 0;
  for (int i = 0; i < 3; ++i) {
    if (__builtin_add_overflow(stage_total, st.stage_length[i], &stage_total)) {
      return OutOfMemory{};
    }
    st.stage_reciprocal[i] = 1.0 / static_cast<double>(st.stage_length[i]);
  }

  // Nothing is written here but the two slots before slot 0, which the
  // step loop may read (and disregard) before anything is stored there: a
  // long hold reserves a large window that only the frames of real blocks
  // ever reach.
  const std::uint64_t cap = window_length + 2;
  env.window_gain_ = Buffer<double>::uninitialized(cap);
  env.window_expiry_ = Buffer<std::uint64_t>::uninitialized(cap);
  env.stages_ = Buffer<double>::uninitialized(stage_total);
  if (!env.window_gain_.valid() || !env.window_expiry_.valid() || !env.stages_.valid()) {
    return OutOfMemory{};
  }
  env.window_gain_[cap - 1] = env.window_gain_[cap - 2] = 1.0;
  st.window_gain = env.window_gain_.data();
  st.window_expiry = env.window_expiry_.data();
  st.window_capacity = cap;
  st.stage_ring[0] = env.stages_.data();
  st.stage_ring[1] = st.stage_ring[0] + st.stage_length[0];
  st.stage_ring[2] = st.stage_ring[1] + st.stage_length[1];
  env.reset();
  return env;
}

void GainEnvelope::reset() {
  EnvelopeState& st = state_;
  st.step = 0;
  // An empty queue: the −∞ in slot 0, the front after it.
  st.window_gain[0] = -std::numeric_limits<double>::infinity();
  st.back = 0;
  st.front = 1;
  st.smoothed_gain = 1.0;
  for (int i = 0; i < 3; ++i) {
    double* ring = st.stage_ring[i];
    for (std::uint64_t k = 0; k < st.stage_length[i]; ++k) ring[k] = 1.0;
    st.stage_pos[i] = 0;
    st.stage_sum[i] = static_cast<double>(st.stage_length[i]);
  }
  st.steady = 0;
  st.steady_gain = 1.0;
}

void GainEnvelope::steps(float* levels, std::uint64_t first, std::uint64_t end,
                         std::uint64_t frames, double threshold, const Warmup* warm) {
  envelope_kernels::step_kernels().steps(state_, levels, first, end, frames, threshold, warm);
}

void GainEnvelope::run(float* levels, std::uint64_t frames, double threshold) {
  reset();
  if (frames == 0) return;
  steps(levels, 0, frames + state_.lookahead, frames, threshold, nullptr);
}

}  // namespace qx
