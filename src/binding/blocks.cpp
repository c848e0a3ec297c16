#include "binding/blocks.hpp"

#include <cstring>

namespace qx::py {
namespace {

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

}  // namespace

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

std::optional<Block> row_major_block(const ConvertedAudio& audio, const Layout& layout) {
  auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
  const bool contiguous = row_major_contiguous(array);
  Block block;
  if (contiguous && audio.is_private &&
      PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE)) {
    block.samples = static_cast<float*>(PyArray_DATA(array));
    return block;
  }
  const auto count =
      static_cast<std::uint64_t>(layout.channels) * static_cast<std::uint64_t>(layout.frames);
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
    for (npy_intp c = 0; c < columns; ++c)
      std::memcpy(out++, row + c * column_stride, sizeof(float));
  }
  return block;
}

std::optional<Frames> frames_in_place(PyArrayObject* array, const Layout& layout) {
  if (!PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED)) return std::nullopt;
  const int ndim = PyArray_NDIM(array);
  const npy_intp frame_stride = PyArray_STRIDE(array, layout.frames_last ? ndim - 1 : 0);
  const npy_intp channel_stride = ndim == 1 ? 0 : PyArray_STRIDE(array, layout.frames_last ? 0 : 1);
  constexpr auto size = static_cast<npy_intp>(sizeof(float));
  if (frame_stride % size != 0 || channel_stride % size != 0) return std::nullopt;
  return Frames{static_cast<float*>(PyArray_DATA(array)), channel_stride / size,
                frame_stride / size};
}

void copy_frames(const ConvertedAudio& audio, const Layout& layout, npy_intp first, npy_intp count,
                 float* out) {
  auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
  const char* data = static_cast<const char*>(PyArray_DATA(array));
  const int ndim = PyArray_NDIM(array);
  // Element (channel c, frame f) at data + c × channel_stride + f × frame_stride.
  npy_intp frame_stride = PyArray_STRIDE(array, ndim == 1 ? 0 : (layout.frames_last ? 1 : 0));
  npy_intp channel_stride = ndim == 1 ? 0 : PyArray_STRIDE(array, layout.frames_last ? 0 : 1);
  const npy_intp channels = layout.channels;
  if (layout.frames_last) {
    for (npy_intp c = 0; c < channels; ++c) {
      const char* row = data + c * channel_stride + first * frame_stride;
      float* to = out + c * count;
      if (frame_stride == sizeof(float)) {
        if (count != 0) std::memcpy(to, row, static_cast<std::size_t>(count) * sizeof(float));
        continue;
      }
      for (npy_intp f = 0; f < count; ++f)
        std::memcpy(to + f, row + f * frame_stride, sizeof(float));
    }
    return;
  }
  if (channel_stride == sizeof(float) &&
      frame_stride == channels * static_cast<npy_intp>(sizeof(float))) {
    if (count != 0) {
      std::memcpy(out, data + first * frame_stride,
                  static_cast<std::size_t>(count * channels) * sizeof(float));
    }
    return;
  }
  for (npy_intp f = 0; f < count; ++f) {
    const char* frame = data + (first + f) * frame_stride;
    float* to = out + f * channels;
    if (channel_stride == sizeof(float)) {
      std::memcpy(to, frame, static_cast<std::size_t>(channels) * sizeof(float));
      continue;
    }
    for (npy_intp c = 0; c < channels; ++c)
      std::memcpy(to + c, frame + c * channel_stride, sizeof(float));
  }
}

std::uint64_t flat_index(std::uint64_t frame, std::uint64_t channel, const Layout& layout) {
  if (layout.frames_last) return channel * static_cast<std::uint64_t>(layout.frames) + frame;
  return frame * static_cast<std::uint64_t>(layout.channels) + channel;
}

}  // namespace qx::py
