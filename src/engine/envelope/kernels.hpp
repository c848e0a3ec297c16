// The envelope's step loop as the active instruction-set path runs it.
// Internal to the envelope unit.
#pragma once

#include <cstdint>

#include "engine/envelope/state.hpp"

namespace qx::envelope_kernels {

struct StepKernels {
  // frames + A steps over levels[0 … frames) from the state `state` holds;
  // each level is replaced by its frame's gain (steps.inc).
  void (*steps)(EnvelopeState& state, float* levels, std::uint64_t frames, double threshold);
};

const StepKernels& step_kernels();

}  // namespace qx::envelope_kernels
