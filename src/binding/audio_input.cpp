// The audio argument as a native float32 NumPy array.
#define QX_NUMPY_API_HERE
#include "binding/audio_input.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "engine/core/allocation.hpp"
#include "engine/core/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/numpy_api.hpp"
#include "binding/result_arrays.hpp"

namespace qx::py {

namespace {

// A run of float32 values that grows as a sequence is read.
class FloatRun {
 public:
  FloatRun() = default;
  FloatRun(const FloatRun&) = delete;
  FloatRun& operator=(const FloatRun&) = delete;
  ~FloatRun() { memory::release(data_); }

  // A length hint may be wrong or absurd; if it cannot be honoured the run
  // simply starts small and grows.
  void reserve_hint(std::size_t count) {
    if (count == 0 || count > PTRDIFF_MAX / sizeof(float)) return;
    if (void* p = memory::allocate(count * sizeof(float), false)) {
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
    if (data_ == nullptr) data_ = static_cast<float*>(memory::allocate(sizeof(float), false));
    float* data = data_;
    data_ = nullptr;
    size_ = capacity_ = 0;
    return data;
  }

 private:
  bool grow() {
    const std::size_t capacity = capacity_ < 16 ? 16 : capacity_ * 2;
    if (capacity > PTRDIFF_MAX / sizeof(float)) return false;
    void* p = memory::reallocate(data_, capacity * sizeof(float));
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

// NumPy's forced cast to native float32, for every other input. The cast
// may also hand back an array that exists elsewhere (what an __array__
// method keeps, say); only a new array that owns its buffer and that nobody
// else holds is private.
ConvertedAudio cast_with_numpy(PyObject* object) {
  PyArray_Descr* float32 = PyArray_DescrFromType(NPY_FLOAT);
  if (float32 == nullptr) return {};
  // Steals the descriptor, also when it fails.
  PyRef array = PyRef::steal(PyArray_FromAny(object, float32, 0, 0, NPY_ARRAY_FORCECAST, nullptr));
  if (!array) {
    tag_pending_error("audio");
    return {};
  }
  const bool fresh =
      array.get() != object && Py_REFCNT(array.get()) == 1 &&
      PyArray_CHKFLAGS(reinterpret_cast<PyArrayObject*>(array.get()), NPY_ARRAY_OWNDATA);
  return {std::move(array), fresh};
}

}  // namespace

bool import_numpy_api() { return PyArray_ImportNumPyAPI() >= 0; }

ConvertedAudio convert_audio(PyObject* object) {
  if (!import_numpy_api()) return {};

  if (PyArray_Check(object)) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    PyArray_Descr* float32 = PyArray_DescrFromType(NPY_FLOAT);
    if (float32 == nullptr) return {};
    const bool native_float32 = PyArray_EquivTypes(PyArray_DESCR(array), float32);
    Py_DECREF(float32);
    if (native_float32) return {PyRef::borrow(object), false};
    // Iterating a multi-dimensional array would hand float() its rows, so
    // the result's shape would depend on the dtype: those arrays are cast.
    if (PyArray_NDIM(array) >= 2) return cast_with_numpy(object);
    if (PyArray_CheckExact(object)) {
      if (std::optional<PyRef> values = read_numeric_vector(array)) {
        return {std::move(*values), true};
      }
    }
  }

  if (!PyUnicode_Check(object) && PySequence_Check(object)) {
    PyRef values = read_sequence(object);
    if (values) return {std::move(values), true};
    PyErr_Clear();  // not a flat sequence of numbers: let NumPy try it whole
  }
  return cast_with_numpy(object);
}

}  // namespace qx::py
