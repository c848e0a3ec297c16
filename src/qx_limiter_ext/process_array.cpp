// process_array: the converted array through the engine, in four steps —
// layout checks, the block, the run with the interpreter lock released, and
// the result arrays.
#include "qx_limiter_ext/process_array.hpp"

#include <cstring>
#include <exception>
#include <optional>

#include "engine/block/block.hpp"
#include "engine/core/buffer.hpp"
#include "binding/audio_input.hpp"
#include "binding/blocks.hpp"
#include "binding/boundary.hpp"
#include "binding/numpy_api.hpp"
#include "binding/result_arrays.hpp"

namespace qx::py {

namespace {

// process_block with the interpreter lock released: only the engine runs
// without it, and the lock comes back the moment it returns, before
// anything else, exceptions included.
Result<Buffer<float>> run_unlocked(Limiter& limiter, float* samples, const Layout& layout) {
  const auto K = static_cast<std::uint64_t>(layout.channels);
  const auto count = K * static_cast<std::uint64_t>(layout.frames);
  return unlocked([&] {
    return process_block(limiter, samples, count, K,
                         layout.frames_last ? BlockLayout::Planar : BlockLayout::Interleaved);
  });
}

// The engine names a sample by its frame and channel; the message names
// its place in the caller's array.
void raise_block_error(const EngineError& error, const Layout& layout) {
  if (!error.is_sample_error()) {
    raise_engine_error(error);
    return;
  }
  const Text message = error.message(flat_index(error.frame, error.channel, layout));
  PyErr_SetString(PyExc_ValueError, message.c_str());
}

// The limited block as the `audio` result: the processed private array
// itself (through a view), or the block copy, which already has the
// array's row-major layout.
PyRef audio_result(const ConvertedAudio& audio, Block& block, const Layout& layout) {
  auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
  if (!block.copy.valid()) return view_of(audio.array.get());
  return wrap_owned(block.copy.release(), layout.ndim, PyArray_DIMS(array));
}

}  // namespace

PyRef process_array(Limiter& limiter, ConvertedAudio audio, std::int64_t axis) {
  auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
  const std::optional<Layout> layout = check_layout(array, axis);
  if (!layout) return {};
  std::optional<Block> block = row_major_block(audio, *layout);
  if (!block) return {};

  Result<Buffer<float>> outcome = run_unlocked(limiter, block->samples, *layout);
  if (outcome.out_of_memory()) {
    PyErr_NoMemory();
    return {};
  }
  if (outcome.is_error()) {
    raise_block_error(outcome.error(), *layout);
    return {};
  }

  PyRef samples = audio_result(audio, *block, *layout);
  if (!samples) return {};
  const npy_intp gains_shape[1] = {layout->frames};
  PyRef gains = wrap_owned(std::move(outcome).value().release(), 1, gains_shape);
  if (!gains) return {};
  return PyRef::steal(PyTuple_Pack(2, samples.get(), gains.get()));
}

}  // namespace qx::py
