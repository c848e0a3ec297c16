// Block processing's per-sample loops as the active instruction-set path
// runs them. Internal to the block unit (and its tests).
#pragma once

#include <cstdint>

namespace qx::block_kernels {

// Largest accepted sample magnitude; anything above, and every NaN or
// infinity, is rejected before levels are measured.
inline constexpr float kSampleLimit = 4294967296.0f;  // 2^32

struct SampleKernels {
  // Offset of the first sample of x[0, n) that is not finite or is above
  // 2^32 in magnitude; n when every sample passes.
  std::uint64_t (*first_bad)(const float* x, std::uint64_t n);
  // The same check, with levels[i] = |x[i]| along the way, or with fold,
  // levels[i] = max(levels[i], |x[i]|). On failure `levels` holds partial
  // results and must be discarded.
  std::uint64_t (*first_bad_peaks)(const float* x, std::uint64_t n, float* levels, bool fold);
  // y[i] = clamp(x[i] × gains[i], −ceiling, ceiling), in float32; y may
  // be x itself.
  void (*apply_gains)(const float* x, const float* gains, float* y, std::uint64_t n, float ceiling);
  // The same into every step-th float of y.
  void (*apply_gains_strided)(const float* x, const float* gains, float* y, std::uint64_t step,
                              std::uint64_t n, float ceiling);
  // Two interleaved channels apart: left[i] = in[2i], right[i] = in[2i + 1].
  void (*deinterleave2)(const float* in, std::uint64_t n, float* left, float* right);
  // apply_gains on two channels at once, written interleaved into out.
  void (*apply_gains2)(const float* left, const float* right, const float* gains, float* out,
                       std::uint64_t n, float ceiling);
};

const SampleKernels& sample_kernels();

}  // namespace qx::block_kernels
