// The gain envelope: turns one block's frame levels into one linked gain per
// frame, in place. Per step: the target gain T/(level+ε) of the frame A
// steps ahead enters a moving-window minimum over W = A + H frames, a release
// smoother follows that minimum down at once and up exponentially, and three
// moving averages whose spans add up to exactly A frames turn the steps into
// ramps that are complete one frame before the loud frame arrives.
//
// All arithmetic is f64; gains are stored rounded to float32. run() starts
// each block from the neutral state, so a whole block's gains never depend on
// earlier blocks; steps() carries the state on, for audio read in pieces.
#pragma once

#include <cstdint>

#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"
#include "engine/core/warmup.hpp"
#include "engine/envelope/state.hpp"

namespace qx {

// Smoothing-stage lengths N1, N2, N3 for a look-ahead of A ≥ 1 frames; for
// every A whose stages fit in memory they add up to A + 2.
void smoothing_stage_lengths(std::uint64_t lookahead, std::uint64_t out[3]);

class GainEnvelope {
 public:
  // Reserves everything a run needs (W + 2 window slots, A + 2 stage
  // values) without committing it. OutOfMemory when it cannot, including
  // when a size does not even fit in 64 bits.
  static Result<GainEnvelope> create(std::uint64_t lookahead, std::uint64_t hold,
                                     double release_samples);

  GainEnvelope(GainEnvelope&&) noexcept = default;
  GainEnvelope& operator=(GainEnvelope&&) noexcept = default;

  // Back to neutral, before step 0: empty window, smoothed gain 1.0, stage
  // rings all 1.0.
  void reset();
  // Runs on from the steps already run up to step `end` (exclusive), for
  // audio that is read in pieces: levels[i] holds the level of frame
  // first + i, and must hold every frame from step() − A up to `end` that
  // is below `frames`, the audio's length so far as it is known (frames at
  // or past it are after the end and count as level 0). Step n overwrites
  // the level of frame n − A with its gain; so after steps up to `end`, the
  // gains of frames below end − A are final. Never allocates. `threshold`
  // is the linear ceiling T. `warm`, if given, names memory the caller goes
  // through next; the steps ask for it a little at a time as they run.
  void steps(float* levels, std::uint64_t first, std::uint64_t end, std::uint64_t frames,
             double threshold, const Warmup* warm = nullptr);
  // One whole block: reset, then F + A steps over levels[0 … F), each level
  // replaced by its frame's gain.
  void run(float* levels, std::uint64_t frames, double threshold);

  // Steps run since the last reset.
  std::uint64_t step() const { return state_.step; }
  const EnvelopeState& state() const { return state_; }

 private:
  GainEnvelope() = default;

  Buffer<double> window_gain_;
  Buffer<std::uint64_t> window_expiry_;
  Buffer<double> stages_;
  EnvelopeState state_;
};

}  // namespace qx
