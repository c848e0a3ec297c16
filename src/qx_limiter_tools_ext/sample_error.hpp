// The tools' error for a bad sample: a ValueError whose message names the
// sample's frame and channel, and which carries them, with what is wrong,
// as attributes (frame, channel, reason), so that callers need not read
// them back out of the text.
#pragma once

#include <cstdint>

#include "binding/python.hpp"
#include "engine/core/errors.hpp"

namespace qx::py {

// qx_limiter_tools._native.SampleError (borrowed), created on the first call
// and kept for the rest of the process, as the module's types are; null
// with the exception set if that fails.
PyObject* sample_error_type();

// Raises SampleError for `error` (NonFiniteSample or SampleOutOfRange),
// whose frame is counted from `first_frame`: "input sample at frame F,
// channel C is not finite", or "... must be between -4294967296 and
// 4294967296, got V".
void raise_sample_error(const EngineError& error, std::uint64_t first_frame);

}  // namespace qx::py
