// Block processing: validation, levels, envelope, gains, all in place on
// the caller's planar block. The per-sample loops live in sample_loops.inc
// (one build per instruction set).
#include "engine/block/block.hpp"

#include <algorithm>
#include <cmath>

#include "engine/block/kernels.hpp"
#include "engine/detector/true_peak.hpp"

namespace qx {
namespace {

// Frames per chunk of the per-sample passes: each pass takes every channel
// of a chunk before the next, so the chunk's levels or gains are read from
// cache by all but the first channel.
constexpr std::uint64_t kChunk = 4096;

// The error for the sample at flat index p, which failed the check.
LimiterError sample_error(const float* samples, std::uint64_t p) {
  const float x = samples[p];
  if (!std::isfinite(x)) return LimiterError::non_finite_sample(p);
  return LimiterError::sample_out_of_range(p, x);
}

}  // namespace

Result<Buffer<float>> process_block(Limiter& limiter, float* samples,
                                    std::uint64_t sample_count, std::uint64_t channels) {
  if (channels == 0) return LimiterError::zero_channels();
  if (sample_count % channels != 0) {
    return LimiterError::indivisible_samples(sample_count, channels);
  }
  const std::uint64_t frames = sample_count / channels;
  if (frames == 0) {
    auto none = Buffer<float>::zeroed(0);
    if (!none.valid()) return OutOfMemory{};
    return none;
  }

  const auto& k = block_kernels::sample_kernels();
  const DetectionMode& mode = limiter.detection();
  Buffer<float> levels;
  if (mode.kind == DetectionKind::SamplePeak) {
    // Levels start at 0.0 in effect: channel 0 writes its magnitudes, which
    // is max(0.0, |x|), and the other channels fold theirs in.
    levels = Buffer<float>::uninitialized(frames);
    if (!levels.valid()) return OutOfMemory{};
    // One pass: every channel of a chunk of frames folds its magnitudes
    // into the chunk's levels while they are in cache.
    for (std::uint64_t f0 = 0; f0 < frames; f0 += kChunk) {
      const std::uint64_t n = std::min(kChunk, frames - f0);
      for (std::uint64_t c = 0; c < channels; ++c) {
        if (k.first_bad_peaks(samples + c * frames + f0, n, levels.data() + f0, c != 0) != n) {
          // Some sample is bad; the one to report is the first in
          // channel-major order, which may lie in an earlier channel at a
          // later frame.
          return sample_error(samples, k.first_bad(samples, sample_count));
        }
      }
    }
  } else {
    // Channel-major order is flat order.
    const std::uint64_t bad = k.first_bad(samples, sample_count);
    if (bad != sample_count) return sample_error(samples, bad);
    auto peaks = true_peak_levels(mode, samples, sample_count, channels);
    if (!peaks.ok()) return OutOfMemory{};  // the block is divisible here
    levels = std::move(peaks).value();
  }

  const double threshold = limiter.threshold();
  limiter.envelope().run(levels.data(), frames, threshold);

  // The only float32 copy of the ceiling; the clamp catches products that
  // float32 rounding lifts just above it.
  const auto ceiling = static_cast<float>(threshold);
  for (std::uint64_t f0 = 0; f0 < frames; f0 += kChunk) {
    const std::uint64_t n = std::min(kChunk, frames - f0);
    for (std::uint64_t c = 0; c < channels; ++c) {
      k.apply_gains(samples + c * frames + f0, levels.data() + f0, n, ceiling);
    }
  }
  return levels;
}

}  // namespace qx
