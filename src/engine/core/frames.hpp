// Frames of audio as the caller's memory holds them: planar, interleaved or
// any strided view, read and written in place.
#pragma once

#include <cstdint>

namespace qx {

// Where frames are read or written: the sample of channel c at frame f is
// at data[c × channel_step + f × frame_step] (in floats; a step may be
// negative, as a NumPy view's). Planar blocks have frame_step 1,
// interleaved ones channel_step 1.
struct Frames {
  float* data = nullptr;
  std::int64_t channel_step = 0;
  std::int64_t frame_step = 1;

  static Frames planar(float* data, std::uint64_t frames) {
    return {data, static_cast<std::int64_t>(frames), 1};
  }
  static Frames interleaved(float* data, std::uint64_t channels) {
    return {data, 1, static_cast<std::int64_t>(channels)};
  }
  float* at(std::uint64_t channel, std::uint64_t frame) const {
    return data + static_cast<std::int64_t>(channel) * channel_step +
           static_cast<std::int64_t>(frame) * frame_step;
  }
};

}  // namespace qx
