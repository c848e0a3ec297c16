// The converted audio array as the engine sees it: its channels and
// frames along the frame axis the caller chose, and a block of its samples
// laid out in row-major order, which the engine can limit in place.
#pragma once

#include <cstdint>
#include <optional>

#include "binding/audio_input.hpp"
#include "binding/numpy_api.hpp"
#include "engine/block/pipeline.hpp"
#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"

namespace qx::py {

// How the converted array holds its channels and frames.
struct Layout {
  int ndim;
  bool frames_last;   // 1-D, or 2-D with the frames on axis 1
  npy_intp channels;  // K ≥ 1
  npy_intp frames;    // F ≥ 0
};

// Dimensions, then the frame axis, then the channel count; raises the
// first that fails (ValueError) and returns nothing.
std::optional<Layout> check_layout(PyArrayObject* array, std::int64_t axis);

// The samples laid out as the array reads in row-major order: channel after
// channel for frames on the last axis, frame after frame (interleaved) for
// frames first. It is the private array's own buffer when that already is
// such a block, else a copy (read with the interpreter lock held, so the
// caller's array is never read without it).
struct Block {
  Buffer<float> copy;  // empty when the array's buffer is used
  float* samples = nullptr;
};
// MemoryError and nothing when the copy does not fit.
std::optional<Block> row_major_block(const ConvertedAudio& audio, const Layout& layout);

// The array's own samples as the engine can read them in place, whatever
// its strides, when they are aligned float32 values; nothing otherwise.
// Reading them with the interpreter lock released means another thread
// could write them meanwhile: only for callers whose contract says so.
std::optional<Frames> frames_in_place(PyArrayObject* array, const Layout& layout);

// Frames [first, first + count) of the array into `out` (count × channels
// floats) in the array's row-major order restricted to them: channel after
// channel for frames on the last axis, frame after frame for frames first.
// Read with the interpreter lock held; for callers that work through a
// long array a piece at a time, without a copy of all of it.
void copy_frames(const ConvertedAudio& audio, const Layout& layout, npy_intp first, npy_intp count,
                 float* out);

// Where frame `frame` of channel `channel` sits in the caller's array, as
// a flat (row-major) index.
std::uint64_t flat_index(std::uint64_t frame, std::uint64_t channel, const Layout& layout);

}  // namespace qx::py
