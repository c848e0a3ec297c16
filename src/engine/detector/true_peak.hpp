// True-peak levels: one float32 level per frame, the largest magnitude over
// all channels of the frame's samples and of the interpolated points that
// belong to the frame.
//
// Stage 2 is the ITU-R BS.1770 4x interpolation filter (four phases, or
// phases 0 and 2 only at the double rates); at the low rates stage 1, a
// Kaiser-windowed-sinc upsampler by L, runs first and stage 2 runs on its
// output. All signal arithmetic is float32, with fixed summation orders, so
// a frame's level depends only on the samples around it: every code path,
// and every way of cutting a channel into ranges, gives the same bits.
#pragma once

#include <cstdint>

#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"
#include "engine/detector/detection_mode.hpp"

namespace qx {

// How far the level of frame f reaches: it reads samples f − back … f +
// ahead of its channel.
struct DetectorReach {
  std::uint64_t back = 0;
  std::uint64_t ahead = 0;
};
DetectorReach detector_reach(const DetectionMode& mode);

// The detector of a Reference or KaiserReference mode with its working
// storage (for the upsampler, one chunk of the upsampled channel at a
// time), which it allocates once.
class TruePeakDetector {
 public:
  // `mode` must outlive the detector. OutOfMemory when the working storage
  // cannot be had.
  //
  // With a `ceiling` (the linear threshold T), the levels are exact only
  // where they matter to the limiter: a run of frames around which no
  // sample (after the upsampler, in KaiserReference mode) is loud enough
  // for any interpolated point to exceed T gets its sample peaks, which are
  // at most T too. A level at or under T gives the same gain whatever it
  // is, so the gains do not change, and most of the interpolation filter's
  // work on music is saved.
  static Result<TruePeakDetector> create(const DetectionMode& mode, double ceiling = 0.0);

  // Folds (with max) the levels of frames [first, last) of channel x into
  // levels[0, last − first). x holds n frames; outside them the channel is
  // taken to be silent, so a frame whose reach lies within x gets the same
  // level as it would in any longer signal around it.
  void fold(const float* x, std::int64_t n, std::int64_t first, std::int64_t last, float* levels);

 private:
  explicit TruePeakDetector(const DetectionMode& mode) : mode_(&mode) {}
  const DetectionMode* mode_;
  Buffer<float> phases_;  // KaiserReference: phases 1 … L − 1 of one chunk
  std::int64_t chunk_ = 0;
  float quiet_ = 0.0f;  // the loudest sample a skipped run may hold; 0: none
};

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
// most 2^32 in magnitude) in mode Reference or KaiserReference, every
// channel surrounded by silence. Reads the block only. OutOfMemory when the
// working storage cannot be allocated; IndivisibleSamples as for
// reference_levels.
Result<Buffer<float>> true_peak_levels(const DetectionMode& mode, const float* samples,
                                       std::uint64_t sample_count, std::uint64_t channels);

}  // namespace qx
