// The detector's filters: the constant BS.1770 interpolation filter, and
// the design of the Kaiser-windowed-sinc upsampler that runs before it at
// the low rates. All design arithmetic is double; taps are stored as float32.
#pragma once

#include "engine/core/errors.hpp"
#include "engine/detector/detection_mode.hpp"

namespace qx {

// The BS.1770 interpolation filter, h[p][m]: tap m of phase p. Exact
// multiples of 2^-13, so float32 holds them without rounding.
extern const float kReferencePhases[4][12];
// The same filter in pair form for the four-phase case: row 0 from phase 0
// (yields phases 0 and 3), row 1 from phase 1 (yields phases 1 and 2); six
// pairs each, stored e_0, o_0, …, e_5, o_5, with
// (e_j, o_j) = ((h[j] + h[11−j]) / 2, (h[j] − h[11−j]) / 2), exactly.
extern const float kReferencePairs[2][12];

// A KaiserReference mode for factor L ∈ {2, 3, 4, 6} with both tables;
// OutOfMemory when they cannot be stored.
Result<DetectionMode> build_kaiser_bank(unsigned factor, bool four_phase);

// I0(z) by its power series, given f = (z/2)^2.
double bessel_i0(double f);

}  // namespace qx
