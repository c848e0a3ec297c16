// Block processing (plain first version).
#include "engine/block.hpp"

#include <cmath>

#include "engine/true_peak.hpp"

namespace qx {
namespace {

constexpr float kSampleLimit = 4294967296.0f;  // 2^32

}  // namespace

Result<Buffer<float>> process_block(Limiter& limiter, float* samples,
                                    std::uint64_t sample_count, std::uint64_t channels) {
  if (channels == 0) return LimiterError::zero_channels();
  if (sample_count % channels != 0) {
    return LimiterError::indivisible_samples(sample_count, channels);
  }
  const std::uint64_t frames = sample_count / channels;
  const DetectionMode& mode = limiter.detection();
  const bool sample_peak = mode.kind == DetectionKind::SamplePeak;

  Buffer<float> levels;
  if (sample_peak) {
    levels = Buffer<float>::zeroed(frames);
    if (!levels.valid()) return OutOfMemory{};
  }
  for (std::uint64_t p = 0; p < sample_count; ++p) {
    const float x = samples[p];
    if (!std::isfinite(x)) return LimiterError::non_finite_sample(p);
    if (std::fabs(x) > kSampleLimit) return LimiterError::sample_out_of_range(p, x);
    if (sample_peak) {
      float& l = levels[p % frames];
      const float a = std::fabs(x);
      l = l < a ? a : l;
    }
  }
  if (frames == 0) return Buffer<float>::zeroed(0);
  if (!sample_peak) {
    auto tp = true_peak_levels(mode, samples, sample_count, channels);
    if (tp.is_error()) return tp.error();
    if (tp.out_of_memory()) return OutOfMemory{};
    levels = std::move(tp).value();
  }

  const double T = limiter.threshold();
  limiter.envelope().reset();
  limiter.envelope().run(levels.data(), frames, T);

  const float ceiling = static_cast<float>(T);
  for (std::uint64_t c = 0; c < channels; ++c) {
    float* x = samples + c * frames;
    for (std::uint64_t f = 0; f < frames; ++f) {
      float y = x[f] * levels[f];
      y = y < -ceiling ? -ceiling : y;
      y = y > ceiling ? ceiling : y;
      x[f] = y;
    }
  }
  return levels;
}

}  // namespace qx
