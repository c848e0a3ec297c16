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
  // The same check, folding levels[i] = max(levels[i], |x[i]|) along the
  // way. On failure `levels` holds partial results and must be discarded.
  std::uint64_t (*first_bad_fold)(const float* x, std::uint64_t n, float* levels);
  // x[i] = clamp(x[i] × gains[i], −ceiling, ceiling), in float32, in place.
  void (*apply_gains)(float* x, const float* gains, std::uint64_t n, float ceiling);
  // Folds one channel of n frames into levels[0, n): its sample peaks and
  // the interpolated points of the BS.1770 filter, silence outside.
  void (*reference_channel)(const float* x, std::uint64_t n, float* levels, bool four_phase);
  // Upsamples one channel of n frames by mode.factor into out[0, n × L),
  // frame after frame, phase after phase within a frame.
  void (*kaiser_channel)(const float* x, std::uint64_t n, const DetectionMode& mode,
                         float* out);
  // levels[i] = max(0, fine[i × L], …, fine[i × L + L − 1]) for i < n.
  void (*group_max)(const float* fine, std::uint64_t n, unsigned factor, float* levels);
  // The gain envelope's steps over one block (see envelope_steps.hpp).
  void (*envelope_steps)(EnvelopeState& state, float* levels, std::uint64_t frames,
                         double threshold);
};

// The table of the active path.
const Kernels& kernels();

}  // namespace qx::detail
