// How a limiter measures frame levels: plain sample peaks, or true peaks
// through the ITU-R BS.1770 4x interpolation filter (all four phases at
// 44.1/48 kHz, phases 0 and 2 at 88.2/96 kHz), preceded at the low rates by
// a Kaiser-windowed-sinc upsampler by L = 2, 3, 4 or 6 whose tables are
// designed when the limiter is built (filter_design.hpp). Tables are written
// once and only read afterwards.
#pragma once

#include <cstdint>

#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"

namespace qx {

enum class DetectionKind : std::uint8_t { SamplePeak, Reference, KaiserReference };

// Stage-1 upsampler taps: each row spans 64 input samples, tap 31 on the
// sample the row interpolates after.
inline constexpr int kKaiserTaps = 64;
inline constexpr int kKaiserPairs = 32;

struct DetectionMode {
  DetectionKind kind = DetectionKind::SamplePeak;
  // Stage-2 phases: true = 0, 1, 2, 3; false = 0 and 2 only.
  bool four_phase = false;
  // KaiserReference only: the upsampling factor L and its tables.
  unsigned factor = 0;
  // L rows × 64 float32 taps, row c interpolating at c/L; row 0 is the unit
  // impulse, row L−c is row c reversed.
  Buffer<float> phase_table;
  // One row per phase c = 1 … ceil(L/2)−1 of 32 interleaved pairs
  // (e_0, o_0, …, e_31, o_31): e_j ± o_j give taps j and 63−j of row c.
  Buffer<float> pair_table;

  const float* phase_row(unsigned c) const { return phase_table.data() + c * kKaiserTaps; }
  const float* pair_row(unsigned r) const {  // r = 1 … ceil(L/2)−1
    return pair_table.data() + (r - 1) * 2 * kKaiserPairs;
  }
  unsigned pair_rows() const { return factor == 0 ? 0 : (factor + 1) / 2 - 1; }
};

// Chooses the detection mode for a non-zero rate; designs the Kaiser tables
// for the seven true-peak rates below 44100 Hz. Every rate at or above
// 176400 Hz is measured on its own samples. UnsupportedTruePeakRate for the
// other rates with true peak asked; OutOfMemory when the tables do not fit.
Result<DetectionMode> plan_for_rate(std::uint32_t sample_rate, bool true_peak);

}  // namespace qx
