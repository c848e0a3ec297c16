// The detector's filter loops as the active instruction-set path runs them.
// Internal to the detector unit (and its tests).
#pragma once

#include <cstdint>

#include "engine/detector/detection_mode.hpp"

namespace qx::detector_kernels {

struct FilterKernels {
  // Stage 2 (the BS.1770 interpolation filter) over positions [first, last)
  // of a signal x of n samples with silence around it: folds the sample and
  // the interpolated points of each position t into levels[t − first].
  // Where every sample a run of positions reaches is at most `quiet` in
  // magnitude (quiet > 0), only the samples are folded (see
  // TruePeakDetector).
  void (*reference_range)(const float* x, std::int64_t n, std::int64_t first, std::int64_t last,
                          float* levels, bool four_phase, float quiet);
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
  // ceil(6/L)) … min(frames, last + floor(4/L) + 1) − 1. `quiet` as for
  // reference_range, on the upsampled samples.
  void (*upsampled_levels)(const float* const* phase, std::int64_t frames, unsigned factor,
                           std::int64_t first, std::int64_t last, float* levels, bool four_phase,
                           float quiet);
};

const FilterKernels& filter_kernels();

}  // namespace qx::detector_kernels
