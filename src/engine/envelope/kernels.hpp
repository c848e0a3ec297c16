// The envelope's step loop as the active instruction-set path runs it.
// Internal to the envelope unit.
#pragma once

#include <cstdint>

#include "engine/core/warmup.hpp"
#include "engine/envelope/state.hpp"

namespace qx::envelope_kernels {

struct StepKernels {
  // Steps state.step … end − 1 (loops.inc). levels[i] holds the level of
  // frame first + i; every frame that the steps read must be there: frames
  // state.step − A … end − 1, as far as they are below `frames`, the length
  // of the audio (frames at or past it read as level 0). Step n overwrites
  // the level of frame n − A with that frame's gain. `warm` may be null.
  void (*steps)(EnvelopeState& state, float* levels, std::uint64_t first, std::uint64_t end,
                std::uint64_t frames, double threshold, const Warmup* warm);
};

const StepKernels& step_kernels();

}  // namespace qx::envelope_kernels
