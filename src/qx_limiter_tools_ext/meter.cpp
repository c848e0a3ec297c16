// The meter of qx_limiter_tools, natively: measure() and
// integrated_loudness() over a whole array, and the Meter class fed in
// chunks. Each returns plain numbers; the package's _meter.py makes them a
// Measurement.
//
//   def measure(audio, sample_rate, *, axis=-1, dual_mono=False) -> tuple[float, ...]
//   def integrated_loudness(audio, sample_rate, *, axis=-1, dual_mono=False) -> float
//   class Meter:      # final, no __dict__, no weak references
//       def __new__(cls, sample_rate, channels, *, profile_frames=0, dual_mono=False): ...
//       def add(self, chunk, *, axis=-1) -> None: ...
//       def result(self) -> tuple[float, ...]: ...
//       def profile(self) -> tuple[ndarray, ndarray]: ...
#include "qx_limiter_tools_ext/meter.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "binding/audio_input.hpp"
#include "binding/blocks.hpp"
#include "binding/boundary.hpp"
#include "binding/instances.hpp"
#include "binding/convert.hpp"
#include "binding/numpy_api.hpp"
#include "binding/pyref.hpp"
#include "binding/result_arrays.hpp"
#include "binding/use_state.hpp"
#include "engine/core/allocation.hpp"
#include "engine/core/number_format.hpp"
#include "engine/meter/meter.hpp"
#include "qx_limiter_tools_ext/docstrings.hpp"
#include "qx_limiter_tools_ext/sample_error.hpp"

namespace qx::py {

namespace {

constexpr char kInUse[] = "this Meter is in use by a call in progress; use one instance per thread";
// Frames copied (with the interpreter lock) and measured (without it) at a
// time by measure(): about a third of a second at 48 kHz.
constexpr npy_intp kPiece = 16384;

// sample_rate as the limiter converts it, then the meter's range.
bool meter_rate(PyObject* object, std::uint32_t& rate) {
  if (!extract_sample_rate(object, rate)) return false;
  if (rate < Meter::kMinRate || rate > Meter::kMaxRate) {
    PyErr_Format(PyExc_ValueError, "sample_rate must be between %u and %u Hz, got %u",
                 Meter::kMinRate, Meter::kMaxRate, rate);
    return false;
  }
  return true;
}

// Runs meter.add without the interpreter lock; false with the exception set.
bool add_unlocked(Meter& meter, Frames in, std::uint64_t count) {
  const Result<std::uint64_t> added = unlocked([&] { return meter.add(in, count); });
  if (added.ok()) return true;
  if (added.out_of_memory()) {
    PyErr_NoMemory();
  } else {
    // Its frame is counted from the meter's first.
    raise_sample_error(added.error(), 0);
  }
  return false;
}

std::optional<Readings> result_unlocked(Meter& meter) {
  Result<Readings> done = unlocked([&] { return meter.result(); });
  if (!done.ok()) {
    PyErr_NoMemory();
    return std::nullopt;
  }
  return done.value();
}

PyObject* readings_tuple(const Readings& r) {
  return Py_BuildValue("(dddddd)", r.integrated_lufs, r.loudness_range_lu, r.true_peak_dbtp,
                       r.sample_peak_dbfs, r.max_momentary_lufs, r.max_short_term_lufs);
}

// The whole array through a fresh meter, a piece at a time: each piece is
// copied with the interpreter lock held and measured without it, so the
// caller's array is only read with the lock and no copy of all of it is made.
std::optional<Readings> measure_array(PyObject* args, PyObject* kwargs, const char* format,
                                      bool peaks) {
  static const char* const names[] = {"audio", "sample_rate", "axis", "dual_mono", nullptr};
  PyObject* object = nullptr;
  PyObject* rate_object = nullptr;
  PyObject* axis_object = nullptr;
  int dual_mono = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &object,
                                   &rate_object, &axis_object, &dual_mono)) {
    return std::nullopt;
  }
  ConvertedAudio audio = convert_audio(object);
  if (!audio.array) return std::nullopt;
  std::int64_t axis = -1;
  if (axis_object != nullptr && !convert_axis(axis_object, axis)) return std::nullopt;
  std::uint32_t rate = 0;
  if (!meter_rate(rate_object, rate)) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
  const std::optional<Layout> layout = check_layout(array, axis);
  if (!layout) return std::nullopt;
  const auto channels = static_cast<std::uint64_t>(layout->channels);
  auto made = Meter::create(rate, channels, peaks, 0, dual_mono != 0);
  if (!made.ok()) {
    PyErr_NoMemory();
    return std::nullopt;
  }
  Meter meter = std::move(made).value();
  const npy_intp frames = layout->frames;
  const npy_intp piece = frames < kPiece ? frames : kPiece;
  Buffer<float> copy = Buffer<float>::uninitialized(static_cast<std::uint64_t>(piece) * channels);
  if (!copy.valid()) {
    PyErr_NoMemory();
    return std::nullopt;
  }
  for (npy_intp first = 0; first < frames; first += piece) {
    const npy_intp count = frames - first < piece ? frames - first : piece;
    copy_frames(audio, *layout, first, count, copy.data());
    const Frames in = layout->frames_last
                          ? Frames::planar(copy.data(), static_cast<std::uint64_t>(count))
                          : Frames::interleaved(copy.data(), channels);
    if (!add_unlocked(meter, in, static_cast<std::uint64_t>(count))) return std::nullopt;
  }
  return result_unlocked(meter);
}

PyObject* measure(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        std::optional<Readings> r = measure_array(args, kwargs, "OO|$Op:measure", true);
        return r ? readings_tuple(*r) : nullptr;
      },
      nullptr);
}

PyObject* integrated_loudness(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        std::optional<Readings> r =
            measure_array(args, kwargs, "OO|$Op:integrated_loudness", false);
        return r ? PyFloat_FromDouble(r->integrated_lufs) : nullptr;
      },
      nullptr);
}

// ---------------------------------------------------------------------------
// The Meter class

struct MeterState {
  UseState use;
  Meter meter;
  explicit MeterState(Meter m) : meter(std::move(m)) {}
};

using MeterObject = Instance<MeterState>;
MeterState& state_of(PyObject* self) { return MeterObject::of(self); }

bool meter_channels(PyObject* object, std::uint64_t& channels) {
  std::int64_t value = 0;
  if (!convert_index(object, "channels", value)) return false;
  if (value <= 0) {
    PyErr_SetString(PyExc_ValueError, "channels must be greater than zero");
    return false;
  }
  channels = static_cast<std::uint64_t>(value);
  return true;
}

PyObject* meter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        static const char* const names[] = {"sample_rate", "channels", "profile_frames",
                                            "dual_mono", nullptr};
        PyObject* rate_object = nullptr;
        PyObject* channels_object = nullptr;
        PyObject* profile_object = nullptr;
        int dual_mono = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$Op:Meter", const_cast<char**>(names),
                                         &rate_object, &channels_object, &profile_object,
                                         &dual_mono)) {
          return nullptr;
        }
        std::uint32_t rate = 0;
        std::uint64_t channels = 0;
        if (!meter_rate(rate_object, rate) || !meter_channels(channels_object, channels)) {
          return nullptr;
        }
        std::int64_t profile_frames = 0;
        if (profile_object != nullptr &&
            !convert_index(profile_object, "profile_frames", profile_frames)) {
          return nullptr;
        }
        if (profile_frames < 0) {
          PyErr_SetString(PyExc_ValueError, "profile_frames must be 0 or more");
          return nullptr;
        }
        auto made = Meter::create(rate, channels, true, static_cast<std::uint64_t>(profile_frames),
                                  dual_mono != 0);
        if (!made.ok()) return PyErr_NoMemory();
        return MeterObject::create(type, std::move(made).value());
      },
      nullptr);
}

// The whole chunk is copied, then checked and measured in one engine call,
// so a chunk that is refused leaves the meter as it was.
PyObject* meter_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        static const char* const names[] = {"chunk", "axis", nullptr};
        PyObject* chunk = nullptr;
        PyObject* axis_object = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:add", const_cast<char**>(names),
                                         &chunk, &axis_object)) {
          return nullptr;
        }
        ExclusiveUse use(state_of(self).use, kInUse);
        if (!use) return nullptr;
        Meter& meter = state_of(self).meter;
        ConvertedAudio audio = convert_audio(chunk);
        if (!audio.array) return nullptr;
        std::int64_t axis = -1;
        if (axis_object != nullptr && !convert_axis(axis_object, axis)) return nullptr;
        auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
        const std::optional<Layout> layout = check_layout(array, axis);
        if (!layout) return nullptr;
        const auto channels = static_cast<std::uint64_t>(layout->channels);
        if (channels != meter.channels()) {
          PyErr_Format(PyExc_ValueError, "the chunk has %llu channels, the meter measures %llu",
                       static_cast<unsigned long long>(channels),
                       static_cast<unsigned long long>(meter.channels()));
          return nullptr;
        }
        std::optional<Block> block = row_major_block(audio, *layout);
        if (!block) return nullptr;
        const auto frames = static_cast<std::uint64_t>(layout->frames);
        const Frames in = layout->frames_last ? Frames::planar(block->samples, frames)
                                              : Frames::interleaved(block->samples, channels);
        if (!add_unlocked(meter, in, frames)) return nullptr;
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* meter_result(PyObject* self, PyObject* /*unused*/) {
  return call_guarded(
      [&]() -> PyObject* {
        ExclusiveUse use(state_of(self).use, kInUse);
        if (!use) return nullptr;
        std::optional<Readings> r = result_unlocked(state_of(self).meter);
        return r ? readings_tuple(*r) : nullptr;
      },
      nullptr);
}

// A new 1-D float32 array holding data[0, count).
PyRef copied_array(const float* data, std::uint64_t count) {
  float* copy = static_cast<float*>(memory::allocate(count * sizeof(float), false));
  if (copy == nullptr) {
    PyErr_NoMemory();
    return PyRef();
  }
  if (count != 0) std::memcpy(copy, data, count * sizeof(float));
  const auto shape = static_cast<npy_intp>(count);
  return wrap_owned(copy, 1, &shape);
}

PyObject* meter_powers(PyObject* self, PyObject* /*unused*/) {
  return call_guarded(
      [&]() -> PyObject* {
        ExclusiveUse use(state_of(self).use, kInUse);
        if (!use) return nullptr;
        if (!import_numpy_api()) return nullptr;
        const meter::PowerList& powers = state_of(self).meter.powers();
        const auto count = static_cast<npy_intp>(powers.size());
        PyRef array = PyRef::steal(PyArray_SimpleNew(1, &count, NPY_DOUBLE));
        if (!array) return nullptr;
        if (count != 0) {
          std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), powers.data(),
                      powers.size() * sizeof(double));
        }
        return array.release();
      },
      nullptr);
}

PyObject* meter_profile(PyObject* self, PyObject* /*unused*/) {
  return call_guarded(
      [&]() -> PyObject* {
        ExclusiveUse use(state_of(self).use, kInUse);
        if (!use) return nullptr;
        const Meter& meter = state_of(self).meter;
        // The groups of the completed sub-blocks only.
        const std::uint64_t subblocks = meter.frames() / meter::subblock_frames(meter.rate());
        const std::uint64_t groups = subblocks * meter.groups_per_subblock();
        PyRef levels = copied_array(meter.profile_levels().data(), groups);
        if (!levels) return nullptr;
        PyRef energies = copied_array(meter.profile_energies().data(), groups);
        if (!energies) return nullptr;
        return PyTuple_Pack(2, levels.get(), energies.get());
      },
      nullptr);
}

PyMethodDef meter_methods[] = {
    {"profile", meter_profile, METH_NOARGS, kMeterProfileDoc},
    {"powers", meter_powers, METH_NOARGS, kMeterPowersDoc},
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(meter_add)),
     METH_VARARGS | METH_KEYWORDS, kMeterAddDoc},
    {"result", meter_result, METH_NOARGS, kMeterResultDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot meter_slots[] = {
    {Py_tp_doc, const_cast<char*>(kMeterDoc)},
    {Py_tp_new, reinterpret_cast<void*>(meter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(MeterObject::dealloc)},
    {Py_tp_methods, meter_methods},
    {0, nullptr},
};

PyType_Spec meter_spec = {
    "qx_limiter_tools._native.Meter",
    static_cast<int>(sizeof(MeterObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    meter_slots,
};

}  // namespace

// Integrated loudness and loudness range of several programmes' sub-block
// powers gated as one (an album).
PyObject* pooled_loudness(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        static const char* const names[] = {"powers", "sample_rate", nullptr};
        PyObject* sequence = nullptr;
        PyObject* rate_object = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:pooled_loudness",
                                         const_cast<char**>(names), &sequence, &rate_object)) {
          return nullptr;
        }
        std::uint32_t rate = 0;
        if (!meter_rate(rate_object, rate) || !import_numpy_api()) return nullptr;
        PyRef list = PyRef::steal(PySequence_List(sequence));
        if (!list) return nullptr;
        const Py_ssize_t count = PyList_Size(list.get());
        std::vector<PyRef> arrays;
        std::vector<meter::Powers> parts;
        for (Py_ssize_t i = 0; i < count; ++i) {
          PyObject* item = PyList_GetItem(list.get(), i);  // borrowed
          PyRef array =
              PyRef::steal(PyArray_FromAny(item, PyArray_DescrFromType(NPY_DOUBLE), 1, 1,
                                           NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
          if (!array) return nullptr;
          auto* a = reinterpret_cast<PyArrayObject*>(array.get());
          parts.push_back({static_cast<const double*>(PyArray_DATA(a)),
                           static_cast<std::size_t>(PyArray_SIZE(a))});
          arrays.push_back(std::move(array));
        }
        const std::uint64_t frames = meter::subblock_frames(rate);
        const double integrated = meter::integrated_lufs(parts.data(), parts.size(), frames);
        auto range = meter::loudness_range_lu(parts.data(), parts.size(), frames);
        if (!range.ok()) return PyErr_NoMemory();
        return Py_BuildValue("(dd)", integrated, range.value());
      },
      nullptr);
}

PyMethodDef meter_functions[] = {
    {"pooled_loudness",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pooled_loudness)),
     METH_VARARGS | METH_KEYWORDS, kPooledLoudnessDoc},
    {"measure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(measure)),
     METH_VARARGS | METH_KEYWORDS, kMeasureDoc},
    {"integrated_loudness",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(integrated_loudness)),
     METH_VARARGS | METH_KEYWORDS, kIntegratedLoudnessDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* meter_type() { return heap_type<meter_spec>(); }

}  // namespace qx::py
