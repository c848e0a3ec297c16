// Block processing: limits one block in place and returns the gain applied
// to each frame. The block holds K channels of F frames, channel after
// channel (the sample of channel c at frame f at index c × F + f), or frame
// after frame (at f × K + c).
#pragma once

#include <cstdint>

#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"
#include "engine/limiter/limiter.hpp"

namespace qx {

enum class BlockLayout : std::uint8_t { Planar, Interleaved };

// Validates every sample (channel-major; not finite before out of range;
// the first bad sample is reported with its planar index c × F + f,
// whatever the layout), measures frame levels as the limiter's detection
// mode says, runs the envelope and multiplies every channel of each frame
// by that frame's gain, clamped to ±float32(threshold). Returns the F gains
// (a valid buffer, also for F = 0, to be given back with memory::release by
// whoever takes it over). Errors: ZeroChannels, IndivisibleSamples,
// NonFiniteSample, SampleOutOfRange; and OutOfMemory for the per-block
// buffers. On an error the block's contents are not to be used. Touches no
// Python object.
Result<Buffer<float>> process_block(Limiter& limiter, float* samples, std::uint64_t sample_count,
                                    std::uint64_t channels,
                                    BlockLayout layout = BlockLayout::Planar);

}  // namespace qx
