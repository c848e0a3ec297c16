// The gain envelope's state in one flat struct: the constants fixed when the
// envelope is built and everything a run of steps reads and writes. The step
// loops (steps.inc) copy it into locals and store it back once.
#pragma once

#include <cstdint>

namespace qx {

// One candidate of the window minimum.
struct WindowEntry {
  std::uint64_t index;  // frame index within the block
  double target_gain;
};

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
  double smoothed_gain = 1.0;
  std::uint64_t stage_pos[3] = {0, 0, 0};
  double stage_sum[3] = {1.0, 1.0, 1.0};
};

}  // namespace qx
