// The gain envelope's state in one flat struct: the constants fixed when the
// envelope is built and everything a run of steps reads and writes. The step
// loop (loops.inc) copies it into locals and stores it back once per call,
// so a run can stop after any step and go on later exactly where it was.
#pragma once

#include <cstdint>

namespace qx {

struct EnvelopeState {
  // Constants, fixed at construction.
  std::uint64_t lookahead = 0;       // A ≥ 1
  std::uint64_t window_length = 0;   // W = A + H ≥ 1
  double release_coefficient = 1.0;  // c = 1 / (R + 1), 0 for R = +inf
  std::uint64_t stage_length[3] = {1, 1, 1};
  double stage_reciprocal[3] = {1.0, 1.0, 1.0};
  // The window-minimum queue: a ring of W + 2 slots, each a target gain
  // and the step at which it leaves the window (its frame index + W). The
  // queue never holds more than W + 1 entries, so it never grows; the slot
  // just before the front holds a gain of −∞, so the search for entries to
  // remove from the back stops there by itself.
  double* window_gain = nullptr;
  std::uint64_t* window_expiry = nullptr;
  std::uint64_t window_capacity = 0;  // W + 2
  double* stage_ring[3] = {nullptr, nullptr, nullptr};

  // Mutable state.
  std::uint64_t step = 0;   // steps run since the last reset
  std::uint64_t front = 0;  // ring slot of the window minimum
  std::uint64_t back = 0;   // ring slot of the newest entry (the −∞ slot when empty)
  double smoothed_gain = 1.0;
  std::uint64_t stage_pos[3] = {0, 0, 0};
  double stage_sum[3] = {1.0, 1.0, 1.0};
  // Consecutive steps with a window minimum of 1.0 and an unchanged
  // smoothed gain, and the gain those steps emitted (see loops.inc).
  std::uint64_t steady = 0;
  double steady_gain = 1.0;
};

}  // namespace qx
