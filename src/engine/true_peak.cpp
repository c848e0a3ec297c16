// Planar true-peak detector (plain first version: every frame through the
// bounds-checked evaluation).
#include "engine/true_peak.hpp"

#include <cmath>

namespace qx {
namespace {

inline float fmax0(float a, float b) { return a < b ? b : a; }

// Sample i of a channel of n frames, silence outside.
inline float at(const float* x, std::int64_t n, std::int64_t i) {
  return i >= 0 && i < n ? x[i] : 0.0f;
}

void reference_channel(const float* x, std::uint64_t frames, float* levels, bool four_phase) {
  const auto n = static_cast<std::int64_t>(frames);
  for (std::int64_t a = 0; a < n; ++a) {
    float level = fmax0(levels[a], std::fabs(x[a]));
    if (four_phase) {
      for (int row = 0; row < 2; ++row) {
        const float* pr = kReferencePairs[row];
        float A = 0.0f, D = 0.0f;
        for (int j = 0; j < 6; ++j) {
          const float u = at(x, n, a - 6 + j);
          const float v = at(x, n, a + 5 - j);
          const float s = u + v;
          const float d = u - v;
          if (j == 0) {
            A = pr[0] * s;
            D = pr[1] * d;
          } else {
            A = A + pr[2 * j] * s;
            D = D + pr[2 * j + 1] * d;
          }
        }
        level = fmax0(level, std::fabs(A - D));
        level = fmax0(level, std::fabs(A + D));
      }
    } else {
      for (int p = 0; p < 4; p += 2) {
        const float* h = kReferencePhases[p];
        float y = h[0] * at(x, n, a + 5);
        for (int m = 1; m < 12; ++m) y = y + h[m] * at(x, n, a + 5 - m);
        level = fmax0(level, std::fabs(y));
      }
    }
    levels[a] = level;
  }
}

}  // namespace

Result<Buffer<float>> reference_levels(const float* samples, std::uint64_t sample_count,
                                       std::uint64_t channels, bool four_phase) {
  if (sample_count % channels != 0) {
    return LimiterError::indivisible_samples(sample_count, channels);
  }
  const std::uint64_t frames = sample_count / channels;
  auto levels = Buffer<float>::zeroed(frames);
  if (!levels.valid()) return OutOfMemory{};
  for (std::uint64_t c = 0; c < channels && frames != 0; ++c) {
    reference_channel(samples + c * frames, frames, levels.data(), four_phase);
  }
  return levels;
}

void kaiser_upsample(const float* x, std::uint64_t frames, const DetectionMode& mode,
                     float* out) {
  const unsigned L = mode.factor;
  const auto n = static_cast<std::int64_t>(frames);
  for (std::int64_t i = 0; i < n; ++i) {
    float* o = out + i * L;
    o[0] = x[i];
    for (unsigned r = 1; r <= mode.pair_rows(); ++r) {
      const float* pr = mode.pair_row(r);
      float plus = 0.0f, minus = 0.0f;
      for (int k = 0; k < kKaiserPairs; ++k) {
        const float a = at(x, n, i + k - 31);
        const float b = at(x, n, i + 32 - k);
        const float p = (a + b) * pr[2 * k];
        const float q = (a - b) * pr[2 * k + 1];
        plus = plus + (p + q);
        minus = minus + (p - q);
      }
      o[r] = plus;
      o[L - r] = minus;
    }
    if (L % 2 == 0) {
      const float* g = mode.phase_row(L / 2);
      float acc = 0.0f;
      for (int k = 0; k < kKaiserPairs; ++k) {
        acc = acc + (at(x, n, i + k - 31) + at(x, n, i + 32 - k)) * g[k];
      }
      o[L / 2] = acc;
    }
  }
}

Result<Buffer<float>> true_peak_levels(const DetectionMode& mode, const float* samples,
                                       std::uint64_t sample_count, std::uint64_t channels) {
  if (mode.kind == DetectionKind::Reference) {
    return reference_levels(samples, sample_count, channels, mode.four_phase);
  }
  if (sample_count % channels != 0) {
    return LimiterError::indivisible_samples(sample_count, channels);
  }
  const std::uint64_t frames = sample_count / channels;
  const unsigned L = mode.factor;
  std::size_t up_count = 0;
  if (!checked_mul(sample_count, L, up_count)) return OutOfMemory{};
  auto up = Buffer<float>::uninitialized(up_count);
  auto levels = Buffer<float>::uninitialized(frames);
  if (!up.valid() || !levels.valid()) return OutOfMemory{};
  for (std::uint64_t c = 0; c < channels; ++c) {
    kaiser_upsample(samples + c * frames, frames, mode, up.data() + c * frames * L);
  }
  auto fine = reference_levels(up.data(), up_count, channels, mode.four_phase);
  if (!fine.ok()) return OutOfMemory{};
  const float* f = fine.value().data();
  for (std::uint64_t i = 0; i < frames; ++i) {
    float level = 0.0f;
    for (unsigned c = 0; c < L; ++c) level = fmax0(level, f[i * L + c]);
    levels[i] = level;
  }
  return levels;
}

}  // namespace qx
