// True-peak detector. The filter loops live in loops.inc (one build per
// instruction set); this file owns the working storage and the order in
// which frames, channels and stages run.
//
// The detector works through a range in chunks of frames, so that what one
// step writes is still in cache when the next reads it. In KaiserReference
// mode the upsampled signal therefore exists only one chunk (plus the few
// neighbouring samples stage 2 reaches) at a time: storing the whole of it,
// L times the block, would cost more in fresh-page faults and memory
// traffic than both filters together. The values are those of the
// whole-signal formulas: each chunk is upsampled with the same per-frame
// sums, and stage 2 sees the same samples, with silence only outside x.
#include "engine/detector/true_peak.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/detector/filter_design.hpp"
#include "engine/detector/kernels.hpp"

namespace qx {
namespace {

// Frames of stage 2 per chunk: the chunk's levels stay in the first-level
// cache while every channel folds into them.
constexpr std::int64_t kReferenceChunk = 4096;
// Upsampled positions per chunk in KaiserReference mode: the chunk of the
// upsampled channel stays in the first-level cache between the stages.
constexpr std::int64_t kUpsampledChunk = 4096;
// The largest upsampling factor the filter design makes.
constexpr std::int64_t kMaxFactor = 6;

// Stage 2 at a frame of the upsampled signal reads from 6 positions before
// it to 5 after: ceil(6/L) frames before, floor(4/L) + 1 after.
std::int64_t upsampled_before(std::int64_t L) { return (6 + L - 1) / L; }
std::int64_t upsampled_after(std::int64_t L) { return 4 / L + 1; }

// The magnitudes of the taps of the two phases a pair row computes, added:
// Σ |e_j + o_j| + |e_j − o_j| over its pairs (e_j, o_j interleaved). The
// row's sums, products of pair sums s_j = a + b and differences d_j =
// a − b, are those phases' sums in another order, so they exceed that
// bound times the loudest sample they read only by their roundings.
double pair_row_gain(const float* row, int pairs) {
  double sum = 0.0;
  for (int j = 0; j < pairs; ++j) {
    const double e = row[2 * j];
    const double o = row[2 * j + 1];
    sum += std::fabs(e + o) + std::fabs(e - o);
  }
  return sum;
}

// The largest factor by which stage 2 can lift the loudest sample it reads:
// over a pair row, or Σ |h_m| over a phase in direct form.
double stage2_gain(bool four_phase) {
  double gain = 0.0;
  for (int row = 0; row < 2; ++row) {
    double sum = 0.0;
    if (four_phase) {
      sum = pair_row_gain(kReferencePairs[row], 6);
    } else {
      for (int m = 0; m < 12; ++m) {
        sum += std::fabs(static_cast<double>(kReferencePhases[2 * row][m]));
      }
    }
    gain = std::max(gain, sum);
  }
  return gain;
}

// The loudest sample for which nothing a filter of `gain` makes from it can
// exceed `bound`: with a margin of 2^-10 for float32 rounding, far more
// than a few dozen roundings can add, then rounded down.
float quiet_below(double bound, double gain) {
  if (!(bound > 0.0)) return 0.0f;
  const double limit = bound / (gain * (1.0 + 1.0 / 1024.0));
  auto quiet = static_cast<float>(limit);
  if (static_cast<double>(quiet) > limit) quiet = std::nextafter(quiet, 0.0f);
  return quiet;
}

}  // namespace

DetectorReach detector_reach(const DetectionMode& mode) {
  switch (mode.kind) {
    case DetectionKind::SamplePeak: return {0, 0};
    case DetectionKind::Reference: return {6, 5};
    case DetectionKind::KaiserReference: {
      // Stage 1 at frame j reads x[j − 31 … j + 32].
      const auto L = static_cast<std::int64_t>(mode.factor);
      return {static_cast<std::uint64_t>(upsampled_before(L) + 31),
              static_cast<std::uint64_t>(upsampled_after(L) + 32)};
    }
  }
  return {0, 0};
}

Result<TruePeakDetector> TruePeakDetector::create(const DetectionMode& mode, double ceiling) {
  TruePeakDetector detector(mode);
  detector.quiet_ = quiet_below(ceiling, stage2_gain(mode.four_phase));
  if (mode.kind == DetectionKind::KaiserReference) {
    const std::int64_t L = mode.factor;
    detector.chunk_ = std::max<std::int64_t>(1, kUpsampledChunk / L);
    const std::int64_t span = detector.chunk_ + upsampled_before(L) + upsampled_after(L);
    detector.phases_ = Buffer<float>::uninitialized(static_cast<std::uint64_t>(span * (L - 1)));
    if (!detector.phases_.valid()) return OutOfMemory{};
  }
  return detector;
}

void TruePeakDetector::fold(const float* x, std::int64_t n, std::int64_t first, std::int64_t last,
                            float* levels) {
  const auto& k = detector_kernels::filter_kernels();
  const DetectionMode& mode = *mode_;
  if (mode.kind != DetectionKind::KaiserReference) {
    for (std::int64_t i0 = first; i0 < last;) {
      const std::int64_t i1 = std::min(last, i0 + kReferenceChunk);
      k.reference_range(x, n, i0, i1, levels + (i0 - first), mode.four_phase, quiet_);
      i0 = i1;
    }
    return;
  }
  const std::int64_t L = mode.factor;
  const std::int64_t before = upsampled_before(L);
  const std::int64_t after = upsampled_after(L);
  const std::int64_t span = chunk_ + before + after;
  const float* phase[kMaxFactor];
  float* computed[kMaxFactor];
  for (std::int64_t c = 1; c < L; ++c) computed[c] = phases_.data() + (c - 1) * span;
  for (std::int64_t i0 = first; i0 < last;) {
    const std::int64_t i1 = std::min(last, i0 + chunk_);
    const std::int64_t j0 = std::max<std::int64_t>(0, i0 - before);
    const std::int64_t j1 = std::min(n, i1 + after);
    k.kaiser_range(x, n, j0, j1, mode, computed);
    phase[0] = x + i0;
    for (std::int64_t p = 1; p < L; ++p) phase[p] = computed[p] + (i0 - j0);
    k.upsampled_levels(phase, n, mode.factor, i0, i1, levels + (i0 - first), mode.four_phase,
                       quiet_);
    i0 = i1;
  }
}

namespace {

// Every channel of a planar block through `detector`, chunk by chunk, each
// channel of a chunk before the next chunk, into zeroed levels.
Result<Buffer<float>> block_levels(TruePeakDetector& detector, const float* samples,
                                   std::uint64_t sample_count, std::uint64_t channels) {
  if (sample_count % channels != 0) {
    return EngineError::indivisible_samples(sample_count, channels);
  }
  const std::uint64_t frames = sample_count / channels;
  if (frames > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / kMaxFactor)) {
    return OutOfMemory{};
  }
  auto levels = Buffer<float>::zeroed(frames);
  if (!levels.valid()) return OutOfMemory{};
  const auto F = static_cast<std::int64_t>(frames);
  for (std::int64_t i0 = 0; i0 < F;) {
    const std::int64_t i1 = std::min(F, i0 + kReferenceChunk);
    for (std::uint64_t c = 0; c < channels; ++c) {
      detector.fold(samples + c * frames, F, i0, i1, levels.data() + i0);
    }
    i0 = i1;
  }
  return levels;
}

}  // namespace

Result<Buffer<float>> reference_levels(const float* samples, std::uint64_t sample_count,
                                       std::uint64_t channels, bool four_phase) {
  DetectionMode mode;
  mode.kind = DetectionKind::Reference;
  mode.four_phase = four_phase;
  auto detector = TruePeakDetector::create(mode);
  if (!detector.ok()) return OutOfMemory{};
  return block_levels(detector.value(), samples, sample_count, channels);
}

Result<Buffer<float>> true_peak_levels(const DetectionMode& mode, const float* samples,
                                       std::uint64_t sample_count, std::uint64_t channels) {
  if (sample_count % channels != 0) {
    return EngineError::indivisible_samples(sample_count, channels);
  }
  auto detector = TruePeakDetector::create(mode);
  if (!detector.ok()) return OutOfMemory{};
  return block_levels(detector.value(), samples, sample_count, channels);
}

}  // namespace qx
