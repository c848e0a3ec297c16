// process_array: the converted array through the engine, in four steps —
// layout checks, the planar block, the run with the interpreter lock
// released, and the result arrays.
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
  npy_intp channel_stride;    // bytes, 0 for mono
  npy_intp frame_stride;      // bytes
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
  const npy_intp* strides = PyArray_STRIDES(array);
  const bool frames_last = ndim == 1 || frame_axis == 1;
  const int channel_dim = frames_last ? 0 : 1;
  const int frame_dim = frames_last ? ndim - 1 : 0;
  const Layout layout{ndim,
                      frames_last,
                      ndim == 1 ? 1 : shape[channel_dim],
                      shape[frame_dim],
                      ndim == 1 ? 0 : strides[channel_dim],
                      strides[frame_dim]};
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

// The planar block the engine limits in place: the private array's own
// buffer when it already is one, else a copy read in logical order.
struct Block {
  Buffer<float> copy;       // empty when the array's buffer is used
  float* samples = nullptr;
};

std::optional<Block> planar_block(const ConvertedAudio& audio, const Layout& layout) {
  auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
  const bool planar = layout.frames_last && row_major_contiguous(array);
  Block block;
  if (planar && audio.is_private &&
      PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE)) {
    block.samples = static_cast<float*>(PyArray_DATA(array));
    return block;
  }
  const auto K = static_cast<std::uint64_t>(layout.channels);
  const auto F = static_cast<std::uint64_t>(layout.frames);
  block.copy = Buffer<float>::uninitialized(K * F);
  if (!block.copy.valid()) {
    PyErr_NoMemory();
    return std::nullopt;
  }
  block.samples = block.copy.data();
  const char* source = static_cast<const char*>(PyArray_DATA(array));
  if (planar) {
    if (K * F != 0) std::memcpy(block.samples, source, K * F * sizeof(float));
    return block;
  }
  for (npy_intp c = 0; c < layout.channels; ++c) {
    const char* row = source + c * layout.channel_stride;
    float* out = block.samples + c * layout.frames;
    for (npy_intp f = 0; f < layout.frames; ++f) {
      std::memcpy(out + f, row + f * layout.frame_stride, sizeof(float));
    }
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
      outcome.emplace(process_block(limiter, samples, count, K));
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
// itself (through a view), the block copy, or for frames-first input the
// block re-interleaved once.
PyRef audio_result(const ConvertedAudio& audio, Block& block, const Layout& layout) {
  auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
  if (!block.copy.valid()) return view_of(audio.array.get());
  if (!layout.frames_last) {
    const auto K = static_cast<std::uint64_t>(layout.channels);
    const auto F = static_cast<std::uint64_t>(layout.frames);
    Buffer<float> interleaved = Buffer<float>::uninitialized(K * F);
    if (!interleaved.valid()) {
      PyErr_NoMemory();
      return {};
    }
    for (std::uint64_t f = 0; f < F; ++f) {
      float* out = interleaved.data() + f * K;
      for (std::uint64_t c = 0; c < K; ++c) out[c] = block.samples[c * F + f];
    }
    block.copy = std::move(interleaved);
  }
  return wrap_owned(block.copy.release(), layout.ndim, PyArray_DIMS(array));
}

}  // namespace

PyRef process_array(Limiter& limiter, ConvertedAudio audio, std::int64_t axis) {
  auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
  const std::optional<Layout> layout = check_layout(array, axis);
  if (!layout) return {};
  std::optional<Block> block = planar_block(audio, *layout);
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
