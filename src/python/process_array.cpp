// process_array: the converted array through the engine, in four steps —
// layout checks, the block, the run with the interpreter lock released, and
// the result arrays.
#include <cstring>
#include <exception>
#include <optional>

#include "engine/block/block.hpp"
#include "engine/core/buffer.hpp"
#include "python/arrays.hpp"
#include "python/boundary.hpp"
#include "python/numpy_api.hpp"
#include "python/result_arrays.hpp"

namespace qx::py {

namespace {

// How the converted array holds its channels and frames.
struct Layout {
  int ndim;
  bool frames_last;           // 1-D, or 2-D with the frames on axis 1
  npy_intp channels;          // K ≥ 1
  npy_intp frames;            // F ≥ 0
};

// Dimensions, then the frame axis, then the channel count; raises the
// first that fails.
std::optional<Layout> check_layout(PyArrayObject* array, std::int64_t axis) {
  const int ndim = PyArray_NDIM(array);
  if (ndim != 1 && ndim != 2) {
    PyErr_Format(PyExc_ValueError, "audio must be a 1D or 2D array, got %d dimensions", ndim);
    return std::nullopt;
  }
  const std::int64_t frame_axis = axis < 0 ? axis + ndim : axis;
  if (frame_axis < 0 || frame_axis >= ndim) {
    PyErr_Format(PyExc_ValueError, "axis=%lld is invalid for a %dD array",
                 static_cast<long long>(axis), ndim);
    return std::nullopt;
  }
  const npy_intp* shape = PyArray_DIMS(array);
  const bool frames_last = ndim == 1 || frame_axis == 1;
  const Layout layout{ndim, frames_last, ndim == 1 ? 1 : shape[frames_last ? 0 : 1],
                      shape[frames_last ? ndim - 1 : 0]};
  if (layout.channels == 0) {
    PyErr_SetString(PyExc_ValueError, "the channel dimension must not be empty");
    return std::nullopt;
  }
  return layout;
}

// Row-major contiguous as the block copy needs it: each stride equals the
// product of the later axes' lengths (axes of length 1 do not matter), and
// an array with no elements is trivially contiguous.
bool row_major_contiguous(PyArrayObject* array) {
  const int ndim = PyArray_NDIM(array);
  const npy_intp* shape = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  for (int i = 0; i < ndim; ++i) {
    if (shape[i] == 0) return true;
  }
  npy_intp expected = sizeof(float);
  for (int i = ndim - 1; i >= 0; --i) {
    if (shape[i] == 1) continue;
    if (strides[i] != expected) return false;
    expected *= shape[i];
  }
  return true;
}

// The block the engine limits in place, laid out as the array reads in
// row-major order: channel after channel for frames on the last axis,
// frame after frame (interleaved) for frames first. It is the private
// array's own buffer when that already is such a block, else a copy.
struct Block {
  Buffer<float> copy;       // empty when the array's buffer is used
  float* samples = nullptr;
};

std::optional<Block> row_major_block(const ConvertedAudio& audio, const Layout& layout) {
  auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
  const bool contiguous = row_major_contiguous(array);
  Block block;
  if (contiguous && audio.is_private &&
      PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE)) {
    block.samples = static_cast<float*>(PyArray_DATA(array));
    return block;
  }
  const auto count = static_cast<std::uint64_t>(layout.channels) *
                     static_cast<std::uint64_t>(layout.frames);
  block.copy = Buffer<float>::uninitialized(count);
  if (!block.copy.valid()) {
    PyErr_NoMemory();
    return std::nullopt;
  }
  block.samples = block.copy.data();
  const char* source = static_cast<const char*>(PyArray_DATA(array));
  if (contiguous) {
    if (count != 0) std::memcpy(block.samples, source, count * sizeof(float));
    return block;
  }
  // Any strides, read in logical order.
  const npy_intp rows = PyArray_NDIM(array) == 1 ? 1 : PyArray_DIM(array, 0);
  const npy_intp columns = PyArray_DIM(array, PyArray_NDIM(array) - 1);
  const npy_intp row_stride = PyArray_NDIM(array) == 1 ? 0 : PyArray_STRIDE(array, 0);
  const npy_intp column_stride = PyArray_STRIDE(array, PyArray_NDIM(array) - 1);
  float* out = block.samples;
  for (npy_intp r = 0; r < rows; ++r) {
    const char* row = source + r * row_stride;
    for (npy_intp c = 0; c < columns; ++c) std::memcpy(out++, row + c * column_stride, sizeof(float));
  }
  return block;
}

// process_block with the interpreter lock released: only the engine runs
// without it, and the lock comes back the moment it returns, before
// anything else, exceptions included.
Result<Buffer<float>> run_unlocked(Limiter& limiter, float* samples, const Layout& layout) {
  const auto K = static_cast<std::uint64_t>(layout.channels);
  const auto count = K * static_cast<std::uint64_t>(layout.frames);
  std::optional<Result<Buffer<float>>> outcome;
  std::exception_ptr failure;
  {
    GilReleased unlocked;
    try {
      outcome.emplace(process_block(limiter, samples, count, K,
                                    layout.frames_last ? BlockLayout::Planar
                                                       : BlockLayout::Interleaved));
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return std::move(*outcome);
}

// The engine counts in the planar block; for frames-first input the
// caller's row-major position of planar index p is (p mod F) × K + p / F.
void raise_block_error(LimiterError error, const Layout& layout) {
  const bool sample_error =
      error.kind == ErrorKind::NonFiniteSample || error.kind == ErrorKind::SampleOutOfRange;
  if (sample_error && !layout.frames_last && layout.frames > 0) {
    const auto F = static_cast<std::uint64_t>(layout.frames);
    error.index = (error.index % F) * static_cast<std::uint64_t>(layout.channels) + error.index / F;
  }
  raise_limiter_error(error);
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
