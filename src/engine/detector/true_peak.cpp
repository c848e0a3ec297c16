// Planar true-peak detector. The filter loops live in filters.inc (one
// build per instruction set); this file owns the working storage and the
// order in which frames, channels and stages run.
//
// Both stages work through the block in chunks of frames, every channel of
// a chunk before the next chunk, so that what one step writes is still in
// cache when the next reads it. In KaiserReference mode the upsampled
// signal therefore exists only one chunk (plus the few neighbouring samples
// stage 2 reaches) at a time: storing the whole of it, L times the block,
// would cost more in fresh-page faults and memory traffic than both filters
// together. The values are those of the whole-signal formulas: each chunk
// is upsampled with the same per-frame sums, and stage 2 sees the same
// samples, with silence only outside the whole channel.
#include "engine/detector/true_peak.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/detector/kernels.hpp"

namespace qx {
namespace {

// Frames of stage 2 per chunk: the chunk's levels stay in the first-level
// cache while every channel folds into them.
constexpr std::uint64_t kReferenceChunk = 4096;
// Upsampled positions per chunk in KaiserReference mode: the chunk of the
// upsampled channel stays in the first-level cache between the stages.
constexpr std::int64_t kUpsampledChunk = 4096;
// The largest upsampling factor the filter design makes.
constexpr std::int64_t kMaxFactor = 6;

}  // namespace

Result<Buffer<float>> reference_levels(const float* samples, std::uint64_t sample_count,
                                       std::uint64_t channels, bool four_phase) {
  if (sample_count % channels != 0) {
    return LimiterError::indivisible_samples(sample_count, channels);
  }
  const std::uint64_t frames = sample_count / channels;
  // Starts at 0.0: each channel folds its levels into it.
  auto levels = Buffer<float>::zeroed(frames);
  if (!levels.valid()) return OutOfMemory{};
  const auto& k = detector_kernels::filter_kernels();
  const auto n = static_cast<std::int64_t>(frames);
  for (std::int64_t first = 0; first < n;) {
    const std::int64_t last = std::min(n, first + static_cast<std::int64_t>(kReferenceChunk));
    for (std::uint64_t c = 0; c < channels; ++c) {
      k.reference_range(samples + c * frames, n, first, last, levels.data() + first,
                        four_phase);
    }
    first = last;
  }
  return levels;
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
  const std::int64_t L = mode.factor;
  const auto F = static_cast<std::int64_t>(frames);
  if (F > std::numeric_limits<std::int64_t>::max() / L) return OutOfMemory{};

  // Stage 2 on the frames [i0, i1) of a chunk reads the upsampled signal
  // from 6 positions before the chunk to 5 after it: ceil(6/L) frames
  // before, floor(4/L) + 1 after.
  const std::int64_t before = (6 + L - 1) / L;
  const std::int64_t after = 4 / L + 1;
  const std::int64_t chunk = std::min(F, std::max<std::int64_t>(1, kUpsampledChunk / L));
  const std::int64_t span = chunk + before + after;

  // Working storage, allocated once: phases 1 … L − 1 of one chunk of one
  // channel (phase 0 is the block itself), and the frame levels handed back.
  std::size_t phase_count = 0;
  if (!checked_mul(static_cast<std::uint64_t>(span), static_cast<std::uint64_t>(L - 1),
                   phase_count)) {
    return OutOfMemory{};
  }
  auto phases = Buffer<float>::uninitialized(phase_count);
  auto levels = Buffer<float>::zeroed(frames);
  if (!phases.valid() || !levels.valid()) return OutOfMemory{};

  const auto& k = detector_kernels::filter_kernels();
  const float* phase[kMaxFactor];
  float* computed[kMaxFactor];
  for (std::int64_t c = 1; c < L; ++c) computed[c] = phases.data() + (c - 1) * span;
  for (std::int64_t i0 = 0; i0 < F;) {
    const std::int64_t i1 = std::min(F, i0 + chunk);
    const std::int64_t j0 = std::max<std::int64_t>(0, i0 - before);
    const std::int64_t j1 = std::min(F, i1 + after);
    for (std::uint64_t c = 0; c < channels; ++c) {
      const float* x = samples + c * frames;
      k.kaiser_range(x, F, j0, j1, mode, computed);
      phase[0] = x + i0;
      for (std::int64_t p = 1; p < L; ++p) phase[p] = computed[p] + (i0 - j0);
      // Each upsampled channel has its own silence before and after it.
      k.upsampled_levels(phase, F, mode.factor, i0, i1, levels.data() + i0, mode.four_phase);
    }
    i0 = i1;
  }
  return levels;
}

}  // namespace qx
