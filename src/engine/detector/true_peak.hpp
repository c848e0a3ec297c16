// True-peak levels of a planar block: one float32 level per frame, the
// largest magnitude over all channels of the frame's samples and of the
// interpolated points that belong to the frame.
//
// Stage 2 is the ITU-R BS.1770 4x interpolation filter (four phases, or
// phases 0 and 2 only at the double rates); at the low rates stage 1, a
// Kaiser-windowed-sinc upsampler by L, runs first and stage 2 runs on its
// output. Every channel is taken to be surrounded by silence. All signal
// arithmetic is float32, with fixed summation orders so that every code
// path gives the same bits.
#pragma once

#include <cstdint>

#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"
#include "engine/detector/detection_mode.hpp"

namespace qx {

// Stage 2 over a planar buffer of `sample_count` samples in `channels`
// channels (n = sample_count / channels frames each). Level a is the
// largest of |x_ch[a]| and |y_p[a]| over channels and computed phases,
// where y_p[a] = Σ_m h_p[m] × x_ch[a + 5 − m] (phases 0–3 with
// `four_phase`, else 0 and 2). Returns n levels (an empty buffer of one
// byte for n = 0); IndivisibleSamples when the samples do not split into
// frames, before allocating; OutOfMemory when the levels cannot be stored.
// `channels` must be non-zero.
Result<Buffer<float>> reference_levels(const float* samples, std::uint64_t sample_count,
                                       std::uint64_t channels, bool four_phase);

// Frame levels of a validated, non-empty block (every sample finite and at
// most 2^32 in magnitude) in mode Reference or KaiserReference. Reads the
// block only. OutOfMemory when the working storage cannot be allocated;
// IndivisibleSamples as for reference_levels.
Result<Buffer<float>> true_peak_levels(const DetectionMode& mode, const float* samples,
                                       std::uint64_t sample_count, std::uint64_t channels);

}  // namespace qx
