// NumPy arrays in and out of the engine's planar blocks.
#include "python/arrays.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>

#include "engine/block.hpp"
#include "engine/buffer.hpp"
#include "python/arguments.hpp"

// NumPy's API table is a static of this translation unit, the only one that
// includes NumPy. It stays empty until the first conversion fills it.
#include <numpy/arrayobject.h>

namespace qx::py {

namespace {

// ---------------------------------------------------------------------------
// Result arrays over buffers owned by capsules

constexpr char kBufferCapsule[] = "qx_limiter.buffer";

void free_capsule_buffer(PyObject* capsule) {
  std::free(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// A new writeable, row-major float32 array of `shape` over `data`, which
// must come from malloc and hold at least one byte (PyCapsule_New refuses a
// null pointer, and empty results still need an address). Takes ownership
// of `data` in every case: it passes to a capsule that the array keeps as
// its base and that frees it when NumPy drops the array.
PyRef wrap_owned(float* data, int ndim, const npy_intp* shape) {
  PyRef owner = PyRef::steal(PyCapsule_New(data, kBufferCapsule, free_capsule_buffer));
  if (!owner) {
    std::free(data);
    return {};
  }
  npy_intp dims[NPY_MAXDIMS];
  npy_intp strides[NPY_MAXDIMS];
  bool empty = false;
  for (int i = 0; i < ndim; ++i) {
    dims[i] = shape[i];
    empty = empty || shape[i] == 0;
  }
  npy_intp step = sizeof(float);
  for (int i = ndim - 1; i >= 0; --i) {
    strides[i] = empty ? 0 : step;
    step *= dims[i];
  }
  PyArray_Descr* float32 = PyArray_DescrFromType(NPY_FLOAT);
  if (float32 == nullptr) return {};
  // PyArray_NewFromDescr steals the descriptor; without an owner flag the
  // array never frees `data` itself.
  PyRef array = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, float32, ndim, dims, strides,
                                                  data, NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return {};
  // Steals the capsule, also when it fails; the array then still refers to
  // freed memory, but it is dropped right here without being read.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
    return {};
  }
  return array;
}

// ---------------------------------------------------------------------------
// convert_audio

// A run of float32 values in malloc memory that grows as a sequence is read.
class FloatRun {
 public:
  FloatRun() = default;
  FloatRun(const FloatRun&) = delete;
  FloatRun& operator=(const FloatRun&) = delete;
  ~FloatRun() { std::free(data_); }

  // A length hint may be wrong or absurd; if it cannot be honoured the run
  // simply starts small and grows.
  void reserve_hint(std::size_t count) {
    if (count == 0 || count > PTRDIFF_MAX / sizeof(float)) return;
    if (void* p = std::malloc(count * sizeof(float))) {
      data_ = static_cast<float*>(p);
      capacity_ = count;
    }
  }
  bool push(float value) {
    if (size_ == capacity_ && !grow()) return false;
    data_[size_++] = value;
    return true;
  }
  std::size_t size() const { return size_; }
  // Hands the memory over (at least one byte); null when even that fails.
  float* release() {
    if (data_ == nullptr) data_ = static_cast<float*>(std::malloc(sizeof(float)));
    float* data = data_;
    data_ = nullptr;
    size_ = capacity_ = 0;
    return data;
  }

 private:
  bool grow() {
    const std::size_t capacity = capacity_ < 16 ? 16 : capacity_ * 2;
    if (capacity > PTRDIFF_MAX / sizeof(float)) return false;
    void* p = std::realloc(data_, capacity * sizeof(float));
    if (p == nullptr) return false;
    data_ = static_cast<float*>(p);
    capacity_ = capacity;
    return true;
  }

  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Wraps a finished run as a one-dimensional float32 array.
PyRef wrap_run(FloatRun& run) {
  const npy_intp shape[1] = {static_cast<npy_intp>(run.size())};
  float* data = run.release();
  if (data == nullptr) {
    PyErr_NoMemory();
    return {};
  }
  return wrap_owned(data, 1, shape);
}

// Reads a sequence item by item through Python's float conversion, each
// double rounded to the nearest float32. Empty with the error set when the
// iteration or an item fails; the caller decides what that error means.
PyRef read_sequence(PyObject* object) {
  Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) {
    PyErr_Clear();  // the length is only a capacity hint
    hint = 0;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return {};
  FloatRun run;
  run.reserve_hint(static_cast<std::size_t>(hint));
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) break;
    const double value = PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred() != nullptr) return {};
    if (!run.push(static_cast<float>(value))) {
      PyErr_NoMemory();
      return {};
    }
  }
  if (PyErr_Occurred() != nullptr) return {};
  return wrap_run(run);
}

template <class T>
void read_numbers(const char* data, npy_intp stride, npy_intp count, float* out) {
  for (npy_intp i = 0; i < count; ++i) {
    T value;
    std::memcpy(&value, data + i * stride, sizeof value);
    out[i] = static_cast<float>(static_cast<double>(value));
  }
}

// The item-by-item reading of a plain one-dimensional ndarray of float64 or
// of a native integer type, without one Python scalar per sample. Python's
// float conversion of these scalars is exactly (double)value, so this gives
// the same float32 values bit for bit. Returns nothing for other arrays,
// which take the general route.
std::optional<PyRef> read_numeric_vector(PyArrayObject* array) {
  if (PyArray_NDIM(array) != 1 || !PyArray_ISNOTSWAPPED(array)) return std::nullopt;
  using Reader = void (*)(const char*, npy_intp, npy_intp, float*);
  Reader reader = nullptr;
  switch (PyArray_TYPE(array)) {
    case NPY_DOUBLE: reader = read_numbers<npy_double>; break;
    case NPY_BYTE: reader = read_numbers<npy_byte>; break;
    case NPY_UBYTE: reader = read_numbers<npy_ubyte>; break;
    case NPY_SHORT: reader = read_numbers<npy_short>; break;
    case NPY_USHORT: reader = read_numbers<npy_ushort>; break;
    case NPY_INT: reader = read_numbers<npy_int>; break;
    case NPY_UINT: reader = read_numbers<npy_uint>; break;
    case NPY_LONG: reader = read_numbers<npy_long>; break;
    case NPY_ULONG: reader = read_numbers<npy_ulong>; break;
    case NPY_LONGLONG: reader = read_numbers<npy_longlong>; break;
    case NPY_ULONGLONG: reader = read_numbers<npy_ulonglong>; break;
    default: return std::nullopt;
  }
  const npy_intp count = PyArray_DIM(array, 0);
  Buffer<float> values = Buffer<float>::uninitialized(static_cast<std::uint64_t>(count));
  if (!values.valid()) {
    PyErr_NoMemory();
    return PyRef{};
  }
  reader(static_cast<const char*>(PyArray_DATA(array)), PyArray_STRIDE(array, 0), count,
         values.data());
  return wrap_owned(values.release(), 1, &count);
}

// NumPy's forced cast to native float32, for every other input.
PyRef cast_with_numpy(PyObject* object) {
  PyArray_Descr* float32 = PyArray_DescrFromType(NPY_FLOAT);
  if (float32 == nullptr) return {};
  // Steals the descriptor, also when it fails.
  PyRef array = PyRef::steal(
      PyArray_FromAny(object, float32, 0, 0, NPY_ARRAY_FORCECAST, nullptr));
  if (!array) tag_pending_error("audio");
  return array;
}

// ---------------------------------------------------------------------------
// process_array

// Row-major contiguous as the block copy needs it: each stride equals the
// product of the later axes' lengths (axes of length 1 do not matter), and
// an array with no elements is trivially contiguous.
bool row_major_contiguous(int ndim, const npy_intp* shape, const npy_intp* strides) {
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

PyRef convert_audio(PyObject* object) {
  if (PyArray_ImportNumPyAPI() < 0) return {};

  if (PyArray_Check(object)) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    PyArray_Descr* float32 = PyArray_DescrFromType(NPY_FLOAT);
    if (float32 == nullptr) return {};
    const bool native_float32 = PyArray_EquivTypes(PyArray_DESCR(array), float32);
    Py_DECREF(float32);
    if (native_float32) return PyRef::borrow(object);
    // Iterating a multi-dimensional array would hand float() its rows, so
    // the result's shape would depend on the dtype: those arrays are cast.
    if (PyArray_NDIM(array) >= 2) return cast_with_numpy(object);
    if (PyArray_CheckExact(object)) {
      if (std::optional<PyRef> values = read_numeric_vector(array)) return std::move(*values);
    }
  }

  if (!PyUnicode_Check(object) && PySequence_Check(object)) {
    PyRef values = read_sequence(object);
    if (values) return values;
    PyErr_Clear();  // not a flat sequence of numbers: let NumPy try it whole
  }
  return cast_with_numpy(object);
}

PyRef process_array(Limiter& limiter, PyObject* converted, std::int64_t axis) {
  auto* array = reinterpret_cast<PyArrayObject*>(converted);
  const int ndim = PyArray_NDIM(array);
  if (ndim != 1 && ndim != 2) {
    PyErr_Format(PyExc_ValueError, "audio must be a 1D or 2D array, got %d dimensions", ndim);
    return {};
  }
  const std::int64_t frame_axis = axis < 0 ? axis + ndim : axis;
  if (frame_axis < 0 || frame_axis >= ndim) {
    PyErr_Format(PyExc_ValueError, "axis=%lld is invalid for a %dD array",
                 static_cast<long long>(axis), ndim);
    return {};
  }

  const npy_intp* shape = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  const bool frames_last = ndim == 1 || frame_axis == 1;
  const int channel_dim = frames_last ? 0 : 1;
  const int frame_dim = frames_last ? ndim - 1 : 0;
  const npy_intp channels = ndim == 1 ? 1 : shape[channel_dim];
  const npy_intp frames = shape[frame_dim];
  const npy_intp channel_stride = ndim == 1 ? 0 : strides[channel_dim];
  const npy_intp frame_stride = strides[frame_dim];
  if (channels == 0) {
    PyErr_SetString(PyExc_ValueError, "the channel dimension must not be empty");
    return {};
  }
  const auto K = static_cast<std::uint64_t>(channels);
  const auto F = static_cast<std::uint64_t>(frames);

  // The planar copy: channel after channel, read in logical order whatever
  // the strides, so the engine never sees the caller's memory.
  Buffer<float> block = Buffer<float>::uninitialized(K * F);
  if (!block.valid()) {
    PyErr_NoMemory();
    return {};
  }
  const char* source = static_cast<const char*>(PyArray_DATA(array));
  if (frames_last && row_major_contiguous(ndim, shape, strides)) {
    if (K * F != 0) std::memcpy(block.data(), source, K * F * sizeof(float));
  } else {
    for (npy_intp c = 0; c < channels; ++c) {
      const char* row = source + c * channel_stride;
      float* out = block.data() + c * frames;
      for (npy_intp f = 0; f < frames; ++f) {
        std::memcpy(out + f, row + f * frame_stride, sizeof(float));
      }
    }
  }

  // Only the engine runs without the interpreter lock; the lock comes back
  // the moment it returns, before anything else, exceptions included.
  std::optional<Result<Buffer<float>>> outcome;
  std::exception_ptr failure;
  {
    GilReleased unlocked;
    try {
      outcome.emplace(process_block(limiter, block.data(), K * F, K));
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);

  if (outcome->out_of_memory()) {
    PyErr_NoMemory();
    return {};
  }
  if (outcome->is_error()) {
    LimiterError error = outcome->error();
    // The engine counts in the planar block; for frames-first input the
    // caller's row-major position of planar index p is (p mod F) × K + p / F.
    const bool sample_error = error.kind == ErrorKind::NonFiniteSample ||
                              error.kind == ErrorKind::SampleOutOfRange;
    if (sample_error && !frames_last && F > 0) {
      error.index = (error.index % F) * K + error.index / F;
    }
    raise_limiter_error(error);
    return {};
  }
  Buffer<float> gains = std::move(*outcome).value();

  // Frames-first input is re-interleaved once; every other layout hands
  // the processed block itself to the result.
  if (!frames_last) {
    Buffer<float> interleaved = Buffer<float>::uninitialized(K * F);
    if (!interleaved.valid()) {
      PyErr_NoMemory();
      return {};
    }
    for (std::uint64_t f = 0; f < F; ++f) {
      float* out = interleaved.data() + f * K;
      for (std::uint64_t c = 0; c < K; ++c) out[c] = block[c * F + f];
    }
    block = std::move(interleaved);
  }
  if (!gains.valid()) gains = Buffer<float>::uninitialized(0);
  if (!gains.valid()) {
    PyErr_NoMemory();
    return {};
  }

  PyRef audio = wrap_owned(block.release(), ndim, shape);
  if (!audio) return {};
  const npy_intp gains_shape[1] = {frames};
  PyRef frame_gains = wrap_owned(gains.release(), 1, gains_shape);
  if (!frame_gains) return {};
  return PyRef::steal(PyTuple_Pack(2, audio.get(), frame_gains.get()));
}

}  // namespace qx::py
