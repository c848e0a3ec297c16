// Planar true-peak detector. The per-channel filter loops live in
// kernel_body.hpp (one build per instruction set); this file owns the
// working storage and the order in which channels and stages run.
#include "engine/true_peak.hpp"

#include "engine/kernels.hpp"

namespace qx {

Result<Buffer<float>> reference_levels(const float* samples, std::uint64_t sample_count,
                                       std::uint64_t channels, bool four_phase) {
  if (sample_count % channels != 0) {
    return LimiterError::indivisible_samples(sample_count, channels);
  }
  const std::uint64_t frames = sample_count / channels;
  // Starts at 0.0: each channel folds its peaks into it.
  auto levels = Buffer<float>::zeroed(frames);
  if (!levels.valid()) return OutOfMemory{};
  if (frames == 0) return levels;
  const auto& k = detail::kernels();
  for (std::uint64_t c = 0; c < channels; ++c) {
    k.reference_channel(samples + c * frames, frames, levels.data(), four_phase);
  }
  return levels;
}

void kaiser_upsample(const float* x, std::uint64_t frames, const DetectionMode& mode,
                     float* out) {
  detail::kernels().kaiser_channel(x, frames, mode, out);
}

Result<Buffer<float>> true_peak_levels(const DetectionMode& mode, const float* samples,
                                       std::uint64_t sample_count, std::uint64_t channels) {
  if (mode.kind != DetectionKind::KaiserReference) {
    return reference_levels(samples, sample_count, channels, mode.four_phase);
  }
  if (sample_count % channels != 0) {
    return LimiterError::indivisible_samples(sample_count, channels);
  }
  const std::uint64_t frames = sample_count / channels;
  const unsigned L = mode.factor;

  // The upsampled block: K channels of F × L values, channel after channel.
  // Every slot is written by the upsampler, so it starts uninitialised.
  std::size_t upsampled_count = 0;
  if (!checked_mul(sample_count, L, upsampled_count)) return OutOfMemory{};
  auto upsampled = Buffer<float>::uninitialized(upsampled_count);
  auto levels = Buffer<float>::uninitialized(frames);
  if (!upsampled.valid() || !levels.valid()) return OutOfMemory{};

  const auto& k = detail::kernels();
  for (std::uint64_t c = 0; c < channels; ++c) {
    k.kaiser_channel(samples + c * frames, frames, mode, upsampled.data() + c * frames * L);
  }
  // Stage 2 sees each upsampled channel with its own silence around it.
  auto fine = reference_levels(upsampled.data(), upsampled_count, channels, mode.four_phase);
  if (!fine.ok()) return OutOfMemory{};  // divisible by construction
  upsampled = Buffer<float>{};

  // Frame i covers the upsampled times i, i + 1/L, …, i + (L − 1)/L.
  k.group_max(fine.value().data(), frames, L, levels.data());
  return levels;
}

}  // namespace qx
