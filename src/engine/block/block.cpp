// Block processing: the whole block through a pipeline in one push, in
// place, and the pipeline's tail after it.
#include "engine/block/block.hpp"

#include "engine/block/pipeline.hpp"

namespace qx {

Result<Buffer<float>> process_block(Limiter& limiter, float* samples, std::uint64_t sample_count,
                                    std::uint64_t channels, BlockLayout layout) {
  if (channels == 0) return EngineError::zero_channels();
  if (sample_count % channels != 0) {
    return EngineError::indivisible_samples(sample_count, channels);
  }
  const std::uint64_t frames = sample_count / channels;
  auto gains = Buffer<float>::uninitialized(frames);
  if (!gains.valid()) return OutOfMemory{};
  if (frames == 0) return gains;

  // A planar block is its own window; an interleaved one goes through the
  // pipeline's planar window a round at a time.
  const bool planar = layout == BlockLayout::Planar;
  auto made = planar ? Pipeline::create_in_place(limiter, channels, samples, frames, gains.data())
                     : Pipeline::create(limiter, channels);
  if (!made.ok()) return OutOfMemory{};
  Pipeline& pipeline = made.value();
  const Frames block =
      planar ? Frames::planar(samples, frames) : Frames::interleaved(samples, channels);
  // A frame is written back only after the pipeline has read every frame
  // up to it, so the block can be its own output.
  auto pushed = pipeline.push(block, frames, block, gains.data());
  if (pushed.is_error()) return pushed.error();
  const std::uint64_t given = pushed.value();
  pipeline.finish({block.at(0, given), block.channel_step, block.frame_step}, gains.data() + given);
  return gains;
}

}  // namespace qx
