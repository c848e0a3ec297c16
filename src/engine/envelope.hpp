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

#include "engine/buffer.hpp"
#include "engine/errors.hpp"

namespace qx {

// One candidate of the window minimum.
struct WindowEntry {
  std::uint64_t index;  // frame index within the block
  double target_gain;
};

// Everything a run of steps reads and writes, in one flat struct so the
// per-target step loops can copy it into locals and store it back once.
struct EnvelopeState {
  // Constants, fixed at construction.
  std::uint64_t lookahead = 0;       // A ≥ 1
  std::uint64_t window_length = 0;   // W = A + H ≥ 1
  double release_coefficient = 1.0; // c = 1 / (R + 1), 0 for R = +inf
  std::uint64_t stage_length[3] = {1, 1, 1};
  double stage_reciprocal[3] = {1.0, 1.0, 1.0};
  WindowEntry* window = nullptr;     // ring of W + 1 entries: never grows
  std::uint64_t window_capacity = 0; // W + 1
  double* stage_ring[3] = {nullptr, nullptr, nullptr};

  // Mutable state.
  std::uint64_t front = 0;  // ring slot of the window minimum
  std::uint64_t count = 0;  // entries in the window queue
  std::uint64_t next_index = 0;
  double smoothed_gain = 1.0;
  std::uint64_t stage_pos[3] = {0, 0, 0};
  double stage_sum[3] = {1.0, 1.0, 1.0};
};

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
