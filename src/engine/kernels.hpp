// The engine's hot loops, one table of entry points per instruction-set
// path (see simd.hpp). Internal to the engine: block processing, the
// true-peak detector and the gain envelope call through kernels().
#pragma once

#include <cstdint>

#include "engine/envelope.hpp"
#include "engine/peak_mode.hpp"

namespace qx::detail {

// Largest accepted sample magnitude; anything above, and every NaN or
// infinity, is rejected before levels are measured.
inline constexpr float kSampleLimit = 4294967296.0f;  // 2^32

struct Kernels {
  // Offset of the first sample of x[0, n) that is not finite or is above
  // 2^32 in magnitude; n when every sample passes.
  std::uint64_t (*first_bad)(const float* x, std::uint64_t n);
  // The same check, with levels[i] = |x[i]| along the way, or with fold,
  // levels[i] = max(levels[i], |x[i]|). On failure `levels` holds partial
  // results and must be discarded.
  std::uint64_t (*first_bad_peaks)(const float* x, std::uint64_t n, float* levels, bool fold);
  // x[i] = clamp(x[i] × gains[i], −ceiling, ceiling), in float32, in place.
  void (*apply_gains)(float* x, const float* gains, std::uint64_t n, float ceiling);
  // Stage 2 (the BS.1770 interpolation filter) over positions [first, last)
  // of a signal x of n samples with silence around it: folds the sample and
  // the interpolated points of each position t into levels[t − first].
  void (*reference_range)(const float* x, std::int64_t n, std::int64_t first,
                          std::int64_t last, float* levels, bool four_phase);
  // Stage 1 (Kaiser upsampling by mode.factor = L) for frames [first, last)
  // of a channel x of n frames with silence around it: phase c of frame i,
  // the signal at time i + c/L, goes to phase[c][i − first] for
  // 1 ≤ c < L (phase 0 is x[i] itself and is not written).
  void (*kaiser_range)(const float* x, std::int64_t n, std::int64_t first, std::int64_t last,
                       const DetectionMode& mode, float* const* phase);
  // Stage 2 on one upsampled channel of `frames` frames (factor L, silence
  // around it) held phase by phase, phase[c][i − first] = the upsampled
  // sample at i·L + c: folds into levels[i − first], for frames
  // [first, last), the largest magnitude of frame i's L samples and their
  // interpolated points. phase[c] must cover frames max(0, first −
  // ceil(6/L)) … min(frames, last + floor(4/L) + 1) − 1.
  void (*upsampled_levels)(const float* const* phase, std::int64_t frames, unsigned factor,
                           std::int64_t first, std::int64_t last, float* levels,
                           bool four_phase);
  // The gain envelope's steps over one block (see envelope_steps.hpp).
  void (*envelope_steps)(EnvelopeState& state, float* levels, std::uint64_t frames,
                         double threshold);
};

// The table of the active path.
const Kernels& kernels();

}  // namespace qx::detail
