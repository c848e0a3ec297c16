// Block processing: limits one planar block in place and returns the gain
// applied to each frame. The block holds K channels of F frames, channel
// after channel (sample of channel c at frame f at index c × F + f).
#pragma once

#include <cstdint>

#include "engine/buffer.hpp"
#include "engine/errors.hpp"
#include "engine/limiter.hpp"

namespace qx {

// Validates every sample (channel-major; not finite before out of range;
// the first bad sample is reported with its planar index), measures frame
// levels as the limiter's detection mode says, runs the envelope and
// multiplies every channel of each frame by that frame's gain, clamped to
// ±float32(threshold). Returns the F gains (a buffer of at least one byte,
// to be freed with std::free by whoever takes it over). Errors:
// ZeroChannels, IndivisibleSamples, NonFiniteSample, SampleOutOfRange; and
// OutOfMemory for the per-block buffers. Touches no Python object.
Result<Buffer<float>> process_block(Limiter& limiter, float* samples,
                                    std::uint64_t sample_count, std::uint64_t channels);

}  // namespace qx
