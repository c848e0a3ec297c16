// The array layer of QXLimiter.process and limit: the converted array
// through block processing, NumPy arrays out.
#pragma once

#include <cstdint>

#include "binding/audio_input.hpp"
#include "binding/pyref.hpp"
#include "engine/limiter/limiter.hpp"

namespace qx::py {

// Checks the converted array against the frame axis, limits it with the
// interpreter lock released and returns the new tuple (audio, frame_gains),
// or empty with the exception set. `limiter` must be held exclusively by
// the caller for the call.
PyRef process_array(Limiter& limiter, ConvertedAudio audio, std::int64_t axis);

}  // namespace qx::py
