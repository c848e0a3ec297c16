// The gain envelope: turns one block's frame levels into one linked gain per
// frame, in place. Per step: the target gain T/(level+ε) of the frame A
// steps ahead enters a moving-window minimum over W = A + H frames, a release
// smoother follows that minimum down at once and up exponentially, and three
// moving averages whose spans add up to exactly A frames turn the steps into
// ramps that are complete one frame before the loud frame arrives.
//
// All arithmetic is f64; gains are stored rounded to float32. Every block
// starts from the neutral state, so a block's gains never depend on earlier
// blocks.
#pragma once

#include <cstdint>

#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"
#include "engine/envelope/state.hpp"

namespace qx {

// Smoothing-stage lengths N1, N2, N3 for a look-ahead of A ≥ 1 frames; for
// every A whose stages fit in memory they add up to A + 2.
void smoothing_stage_lengths(std::uint64_t lookahead, std::uint64_t out[3]);

class GainEnvelope {
 public:
  // Reserves everything a run needs (W + 1 window entries, A + 2 stage
  // values) without touching it. OutOfMemory when it cannot, including
  // when a size does not even fit in 64 bits.
  static Result<GainEnvelope> create(std::uint64_t lookahead, std::uint64_t hold,
                                     double release_samples);

  GainEnvelope(GainEnvelope&&) noexcept = default;
  GainEnvelope& operator=(GainEnvelope&&) noexcept = default;

  // Back to neutral: empty window, smoothed gain 1.0, stage rings all 1.0.
  void reset();
  // F + A steps over levels[0 … F): each level is replaced by its frame's
  // gain. Starts from neutral (resets first if a run has happened since the
  // last reset). Never allocates. `threshold` is the linear ceiling T.
  void run(float* levels, std::uint64_t frames, double threshold);

  const EnvelopeState& state() const { return state_; }

 private:
  GainEnvelope() = default;

  Buffer<WindowEntry> window_;
  Buffer<double> stages_;
  EnvelopeState state_;
  bool neutral_ = false;
};

}  // namespace qx
