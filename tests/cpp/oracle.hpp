// Straightforward evaluations of level detection and block processing, for
// comparing the engine against: one frame at a time, every sample read
// through a bounds check, no vectors, no special paths. They share with the
// engine only the filter tables and the order of each floating-point
// operation (the pair forms and their summation orders), which exact
// comparison needs.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/envelope/envelope.hpp"
#include "engine/core/errors.hpp"
#include "engine/limiter/limiter.hpp"
#include "engine/detector/filter_design.hpp"

namespace oracle {

using Signal = std::vector<float>;

// Sample i of a channel, silence outside it.
inline float at(const float* x, std::int64_t n, std::int64_t i) {
  return i >= 0 && i < n ? x[i] : 0.0f;
}

inline float fmax(float a, float b) { return a < b ? b : a; }

// I0(z) by its power series, given f = (z/2)^2, also counting the terms
// that followed the leading 1.0.
inline double bessel_i0(double f, int& terms) {
  double sum = 1.0;
  double term = 1.0;
  terms = 0;
  for (int b = 1; b <= 32; ++b) {
    term = term * (f / static_cast<double>(b * b));
    sum = sum + term;
    ++terms;
    if (term <= sum * 2.220446049250313e-16) break;
  }
  return sum;
}

// Magnitudes of the interpolated points of frame a, in any order.
inline std::vector<float> reference_points(const float* x, std::int64_t n, std::int64_t a,
                                           bool four_phase) {
  std::vector<float> points;
  if (four_phase) {
    for (int row = 0; row < 2; ++row) {
      const float* pr = qx::kReferencePairs[row];
      float A = 0.0f, D = 0.0f;
      for (int j = 0; j < 6; ++j) {
        const float s = at(x, n, a - 6 + j) + at(x, n, a + 5 - j);
        const float d = at(x, n, a - 6 + j) - at(x, n, a + 5 - j);
        // ((e0·s0 + e1·s1) + e2·s2) + …: the first product starts the sum.
        A = j == 0 ? pr[0] * s : A + pr[2 * j] * s;
        D = j == 0 ? pr[1] * d : D + pr[2 * j + 1] * d;
      }
      points.push_back(std::fabs(A - D));
      points.push_back(std::fabs(A + D));
    }
  } else {
    for (int p : {0, 2}) {
      const float* h = qx::kReferencePhases[p];
      float y = h[0] * at(x, n, a + 5);
      for (int m = 1; m < 12; ++m) y = y + h[m] * at(x, n, a + 5 - m);
      points.push_back(std::fabs(y));
    }
  }
  return points;
}

// Stage 2 over K channels of a planar buffer.
inline Signal reference_levels(const Signal& planar, std::uint64_t K, bool four_phase) {
  const auto n = static_cast<std::int64_t>(planar.size() / K);
  Signal levels(n, 0.0f);
  for (std::uint64_t c = 0; c < K; ++c) {
    const float* x = planar.data() + c * n;
    for (std::int64_t a = 0; a < n; ++a) {
      levels[a] = fmax(levels[a], std::fabs(x[a]));
      for (float p : reference_points(x, n, a, four_phase)) levels[a] = fmax(levels[a], p);
    }
  }
  return levels;
}

// Stage 1 for one channel, phase c of frame i at i × L + c.
inline Signal kaiser_upsample(const float* x, std::int64_t n, const qx::DetectionMode& mode) {
  const unsigned L = mode.factor;
  Signal out(n * L, 0.0f);
  for (std::int64_t i = 0; i < n; ++i) {
    out[i * L] = x[i];
    for (unsigned r = 1; r <= mode.pair_rows(); ++r) {
      const float* pr = mode.pair_row(r);
      float plus = 0.0f, minus = 0.0f;
      for (int k = 0; k < 32; ++k) {
        const float a = at(x, n, i + k - 31);
        const float b = at(x, n, i + 32 - k);
        const float p = (a + b) * pr[2 * k];
        const float q = (a - b) * pr[2 * k + 1];
        plus = plus + (p + q);
        minus = minus + (p - q);
      }
      out[i * L + r] = plus;
      out[i * L + L - r] = minus;
    }
    if (L % 2 == 0) {
      const float* g = mode.phase_row(L / 2);
      float acc = 0.0f;
      for (int k = 0; k < 32; ++k) acc = acc + (at(x, n, i + k - 31) + at(x, n, i + 32 - k)) * g[k];
      out[i * L + L / 2] = acc;
    }
  }
  return out;
}

// Frame levels of a validated, non-empty planar block in any mode.
inline Signal frame_levels(const qx::DetectionMode& mode, const Signal& planar, std::uint64_t K) {
  const auto n = static_cast<std::int64_t>(planar.size() / K);
  switch (mode.kind) {
    case qx::DetectionKind::SamplePeak: {
      Signal levels(n, 0.0f);
      for (std::uint64_t c = 0; c < K; ++c) {
        for (std::int64_t f = 0; f < n; ++f) {
          levels[f] = fmax(levels[f], std::fabs(planar[c * n + f]));
        }
      }
      return levels;
    }
    case qx::DetectionKind::Reference: return reference_levels(planar, K, mode.four_phase);
    case qx::DetectionKind::KaiserReference: {
      const unsigned L = mode.factor;
      Signal up;
      for (std::uint64_t c = 0; c < K; ++c) {
        const Signal u = kaiser_upsample(planar.data() + c * n, n, mode);
        up.insert(up.end(), u.begin(), u.end());
      }
      const Signal fine = reference_levels(up, K, mode.four_phase);
      Signal levels(n, 0.0f);
      for (std::int64_t i = 0; i < n; ++i) {
        for (unsigned c = 0; c < L; ++c) levels[i] = fmax(levels[i], fine[i * L + c]);
      }
      return levels;
    }
  }
  return {};
}

// The gain envelope over F levels: window minimum by brute force, stages
// as explicit rings.
inline Signal envelope(const Signal& levels, double T, std::uint64_t A, std::uint64_t H, double R) {
  constexpr double kEps = 2.220446049250313e-16;
  const std::uint64_t F = levels.size(), W = A + H;
  const double c = std::isinf(R) ? 0.0 : 1.0 / (R + 1.0);
  std::uint64_t lengths[3];
  qx::smoothing_stage_lengths(A, lengths);
  std::vector<double> ring[3];
  double sum[3];
  std::size_t pos[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    ring[i].assign(lengths[i], 1.0);
    sum[i] = static_cast<double>(lengths[i]);
  }
  std::vector<double> targets;
  Signal gains(levels);
  double g = 1.0;
  for (std::uint64_t n = 0; n < F + A && F != 0; ++n) {
    const double level = n < F ? levels[n] : 0.0;
    targets.push_back(level > T ? T / (level + kEps) : 1.0);
    const std::uint64_t lo = n + 1 >= W ? n + 1 - W : 0;
    const double m = *std::min_element(targets.begin() + lo, targets.end());
    g = std::min(m, std::fma(m - g, c, g));
    double x = g;
    for (int i = 0; i < 3; ++i) {
      sum[i] = (x - ring[i][pos[i]]) + sum[i];
      ring[i][pos[i]] = x;
      pos[i] = (pos[i] + 1) % ring[i].size();
      x = sum[i] * (1.0 / static_cast<double>(lengths[i]));
    }
    const double s = std::min(x, 1.0);
    if (n >= A) {
      const double p = levels[n - A];
      gains[n - A] = static_cast<float>(s * p > T ? T / (p + kEps) : s);
    }
  }
  return gains;
}

struct Processed {
  std::optional<qx::EngineError> error;
  Signal audio;  // the limited block
  Signal gains;
};

// Block processing: checks, levels, envelope, clamped gains.
inline Processed process(const qx::Limiter& limiter, Signal block, std::uint64_t K) {
  Processed out;
  if (K == 0) {
    out.error = qx::EngineError::zero_channels();
    return out;
  }
  if (block.size() % K != 0) {
    out.error = qx::EngineError::indivisible_samples(block.size(), K);
    return out;
  }
  const std::uint64_t F = block.size() / K;
  for (std::uint64_t p = 0; p < block.size(); ++p) {
    const float x = block[p];
    if (!std::isfinite(x)) {
      out.error = qx::EngineError::non_finite_sample(p % F, p / F, F);
      return out;
    }
    if (std::fabs(x) > 4294967296.0f) {
      out.error = qx::EngineError::sample_out_of_range(p % F, p / F, F, x);
      return out;
    }
  }
  if (F == 0) {
    out.audio = block;
    return out;
  }
  const double T = limiter.threshold();
  out.gains = envelope(frame_levels(limiter.detection(), block, K), T, limiter.lookahead_samples(),
                       limiter.hold_samples(), limiter.release_samples());
  const auto T32 = static_cast<float>(T);
  for (std::uint64_t c = 0; c < K; ++c) {
    for (std::uint64_t f = 0; f < F; ++f) {
      float y = block[c * F + f] * out.gains[f];
      y = std::max(y, -T32);
      y = std::min(y, T32);
      block[c * F + f] = y;
    }
  }
  out.audio = block;
  return out;
}

}  // namespace oracle
