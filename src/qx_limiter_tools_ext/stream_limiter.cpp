// StreamLimiter: the limiter over audio that arrives in chunks, exactly as
// one limit() call over the whole signal.
//
//   class StreamLimiter:      # final, no __dict__, no weak references
//       def __new__(cls, sample_rate, threshold_dBFS=0.0, attack_ms=5.0,
//                   hold_ms=15.0, release_ms=40.0, true_peak=False): ...
//       def process(self, chunk, *, axis=-1) -> tuple[ndarray, ndarray]: ...
//       def flush(self) -> tuple[ndarray, ndarray]: ...
//       latency, sample_rate, threshold, threshold_dBFS, true_peak,
//       lookahead_samples, attack_samples, hold_samples, release_samples
#include "qx_limiter_tools_ext/stream_limiter.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "binding/audio_input.hpp"
#include "binding/blocks.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/instances.hpp"
#include "binding/limiter_properties.hpp"
#include "binding/pyref.hpp"
#include "binding/result_arrays.hpp"
#include "binding/use_state.hpp"
#include "engine/block/pipeline.hpp"
#include "engine/core/number_format.hpp"
#include "engine/limiter/limiter.hpp"
#include "engine/meter/peak_search.hpp"
#include "qx_limiter_tools_ext/docstrings.hpp"
#include "qx_limiter_tools_ext/sample_error.hpp"

namespace qx::py {

namespace {

constexpr char kInUse[] =
    "this StreamLimiter is in use by a call in progress; use one instance per thread";

enum class Stage : std::uint8_t { Open, Failed, Flushed };

// Everything an instance owns, constructed in place by stream_new and
// destroyed by stream_dealloc. The pipeline comes with the first chunk,
// which tells the channel count; the limiter stays where it is for as long
// as the pipeline refers to it.
struct Stream {
  UseState use;
  Limiter limiter;
  // The waveform detection's levels, when it was asked for.
  std::optional<meter::WaveformLevels> waveform;
  std::optional<Pipeline> pipeline;
  Stage stage = Stage::Open;
  // The shape of the chunks: set by the first, kept by the others.
  std::uint64_t channels = 0;
  int ndim = 1;
  bool frames_last = true;

  explicit Stream(Limiter l) : limiter(std::move(l)) {}
};

using StreamObject = Instance<Stream>;
Stream& stream_of(PyObject* self) { return StreamObject::of(self); }

struct Holder {
  static UseState& use(PyObject* self) { return stream_of(self).use; }
  static const Limiter& limiter(PyObject* self) { return stream_of(self).limiter; }
  static constexpr const char* in_use = kInUse;
};

// ---------------------------------------------------------------------------
// Construction and finalisation

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        static const char* const names[] = {"sample_rate", "threshold_dBFS", "attack_ms", "hold_ms",
                                            "release_ms",  "true_peak",      "detection", nullptr};
        SettingArguments given;
        PyObject* detection = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO$O:StreamLimiter",
                                         const_cast<char**>(names), &given.sample_rate,
                                         &given.threshold_dBFS, &given.attack_ms, &given.hold_ms,
                                         &given.release_ms, &given.true_peak, &detection)) {
          return nullptr;
        }
        // detection: None, "sample", "bs1770" or "waveform"; true_peak=True
        // is "bs1770", and the two must agree where both are given.
        bool waveform = false;
        if (detection != nullptr && detection != Py_None) {
          const char* name =
              PyUnicode_Check(detection) ? PyUnicode_AsUTF8AndSize(detection, nullptr) : nullptr;
          if (name == nullptr) PyErr_Clear();
          const std::string_view chosen = name ? name : "";
          if (chosen != "sample" && chosen != "bs1770" && chosen != "waveform") {
            PyErr_SetString(PyExc_ValueError,
                            "detection must be 'sample', 'bs1770' or 'waveform' (or None)");
            return nullptr;
          }
          int asked = 0;
          if (given.true_peak != nullptr) {
            asked = PyObject_IsTrue(given.true_peak);
            if (asked < 0) return nullptr;
          }
          if (given.true_peak != nullptr && (asked == 1) != (chosen == "bs1770")) {
            PyErr_Format(PyExc_ValueError,
                         "true_peak=%s contradicts detection='%s': true_peak=True is "
                         "detection='bs1770'; give one of them",
                         asked == 1 ? "True" : "False", name);
            return nullptr;
          }
          if (chosen == "bs1770") given.true_peak = Py_True;
          waveform = chosen == "waveform";
        }
        Settings settings;
        if (!convert_settings(given, settings)) return nullptr;
        std::optional<Limiter> limiter = build_limiter(settings);
        if (!limiter) return nullptr;

        PyObject* made = StreamObject::create(type, std::move(*limiter));
        if (made == nullptr || !waveform) return made;
        Stream& stream = stream_of(made);
        auto levels = meter::WaveformLevels::create(stream.limiter.threshold());
        if (!levels.ok()) {
          Py_DECREF(made);
          return PyErr_NoMemory();
        }
        stream.waveform.emplace(std::move(levels).value());
        return made;
      },
      nullptr);
}

// ---------------------------------------------------------------------------
// Chunks in, frames out

// RuntimeError when the stream has ended, by a bad sample or by flush().
bool check_open(const Stream& stream) {
  if (stream.stage == Stage::Open) return true;
  PyErr_SetString(PyExc_RuntimeError,
                  stream.stage == Stage::Failed
                      ? "this StreamLimiter stopped at a bad sample and takes no more audio"
                      : "this StreamLimiter has been flushed and takes no more audio");
  return false;
}

// The chunk's shape against the stream's: the first chunk sets it.
bool take_shape(Stream& stream, const Layout& layout) {
  const auto channels = static_cast<std::uint64_t>(layout.channels);
  if (stream.channels == 0) {
    stream.channels = channels;
  } else if (channels != stream.channels) {
    PyErr_Format(PyExc_ValueError, "the chunk has %llu channels, the stream has %llu",
                 static_cast<unsigned long long>(channels),
                 static_cast<unsigned long long>(stream.channels));
    return false;
  }
  stream.ndim = layout.ndim;
  stream.frames_last = layout.frames_last;
  return true;
}

// `frames` output frames in the layout of the stream's last chunk, and
// their gains.
struct Output {
  Buffer<float> audio;
  Buffer<float> gains;
  std::uint64_t frames = 0;

  Frames where(const Stream& stream) {
    return stream.frames_last ? Frames::planar(audio.data(), frames)
                              : Frames::interleaved(audio.data(), stream.channels);
  }
};

std::optional<Output> allocate_output(const Stream& stream, std::uint64_t frames) {
  Output out;
  out.frames = frames;
  out.audio = Buffer<float>::uninitialized(frames * stream.channels);
  out.gains = Buffer<float>::uninitialized(frames);
  if (!out.audio.valid() || !out.gains.valid()) {
    PyErr_NoMemory();
    return std::nullopt;
  }
  return out;
}

// The tuple (audio, gains), audio shaped like the stream's chunks.
PyObject* pack(const Stream& stream, Output& out) {
  const auto frames = static_cast<npy_intp>(out.frames);
  const auto channels = static_cast<npy_intp>(stream.channels);
  npy_intp shape[2];
  if (stream.ndim == 1) {
    shape[0] = frames;
  } else if (stream.frames_last) {
    shape[0] = channels;
    shape[1] = frames;
  } else {
    shape[0] = frames;
    shape[1] = channels;
  }
  PyRef audio = wrap_owned(out.audio.release(), stream.ndim, shape);
  if (!audio) return nullptr;
  PyRef gains = wrap_owned(out.gains.release(), 1, &frames);
  if (!gains) return nullptr;
  return PyTuple_Pack(2, audio.get(), gains.get());
}

// The pipeline names the earliest bad frame of the chunk; the message
// counts it from the start of the stream.
void raise_chunk_error(const EngineError& error, std::uint64_t first_frame) {
  if (error.is_sample_error()) {
    raise_sample_error(error, first_frame);
  } else {
    raise_engine_error(error);
  }
}

PyObject* process_chunk(Stream& stream, ConvertedAudio audio, std::int64_t axis) {
  auto* array = reinterpret_cast<PyArrayObject*>(audio.array.get());
  const std::optional<Layout> layout = check_layout(array, axis);
  if (!layout || !take_shape(stream, *layout)) return nullptr;
  // The chunk is read where it is, without the interpreter lock (the
  // class's contract says not to change it meanwhile); a copy only where
  // its samples are not plain aligned floats.
  std::optional<Block> block;
  std::optional<Frames> source = frames_in_place(array, *layout);
  if (!source) {
    block = row_major_block(audio, *layout);
    if (!block) return nullptr;
    source = layout->frames_last
                 ? Frames::planar(block->samples, static_cast<std::uint64_t>(layout->frames))
                 : Frames::interleaved(block->samples, stream.channels);
  }
  if (!stream.pipeline) {
    auto made = Pipeline::create(stream.limiter, stream.channels,
                                 stream.waveform ? &*stream.waveform : nullptr);
    if (!made.ok()) return PyErr_NoMemory();
    stream.pipeline.emplace(std::move(made).value());
    stream.pipeline->name_earliest_frame();  // as the meter names them
  }
  Pipeline& pipeline = *stream.pipeline;
  const auto frames = static_cast<std::uint64_t>(layout->frames);
  const std::uint64_t first_frame = pipeline.frames_in();
  const std::uint64_t in = first_frame + frames;
  const std::uint64_t ready = in > pipeline.latency() ? in - pipeline.latency() : 0;
  std::optional<Output> out = allocate_output(stream, ready - pipeline.frames_out());
  if (!out) return nullptr;

  const Result<std::uint64_t> pushed = unlocked(
      [&] { return pipeline.push(*source, frames, out->where(stream), out->gains.data()); });
  if (!pushed.ok()) {
    stream.stage = Stage::Failed;
    raise_chunk_error(pushed.error(), first_frame);
    return nullptr;
  }
  return pack(stream, *out);
}

PyObject* stream_process(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        static const char* const names[] = {"chunk", "axis", nullptr};
        PyObject* chunk = nullptr;
        PyObject* axis_object = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:process", const_cast<char**>(names),
                                         &chunk, &axis_object)) {
          return nullptr;
        }
        // Taken before the chunk is converted: the conversion may run
        // Python code that could reach this instance again.
        ExclusiveUse use(stream_of(self).use, kInUse);
        if (!use) return nullptr;
        Stream& stream = stream_of(self);
        if (!check_open(stream)) return nullptr;
        ConvertedAudio audio = convert_audio(chunk);
        if (!audio.array) return nullptr;
        std::int64_t axis = -1;
        if (axis_object != nullptr && !convert_axis(axis_object, axis)) return nullptr;
        return process_chunk(stream, std::move(audio), axis);
      },
      nullptr);
}

PyObject* stream_flush(PyObject* self, PyObject* /*unused*/) {
  return call_guarded(
      [&]() -> PyObject* {
        ExclusiveUse use(stream_of(self).use, kInUse);
        if (!use) return nullptr;
        Stream& stream = stream_of(self);
        if (!check_open(stream)) return nullptr;
        if (!import_numpy_api()) return nullptr;
        const std::uint64_t held =
            stream.pipeline ? stream.pipeline->frames_in() - stream.pipeline->frames_out() : 0;
        std::optional<Output> out = allocate_output(stream, held);
        if (!out) return nullptr;
        if (stream.pipeline) {
          unlocked([&] { stream.pipeline->finish(out->where(stream), out->gains.data()); });
        }
        stream.stage = Stage::Flushed;
        return pack(stream, *out);
      },
      nullptr);
}

// ---------------------------------------------------------------------------
// Properties and representation

PyObject* stream_latency(PyObject* self, void* /*closure*/) {
  SharedUse use(stream_of(self).use, kInUse);
  if (!use) return nullptr;
  const Stream& stream = stream_of(self);
  return PyLong_FromUnsignedLongLong(
      Pipeline::latency_of(stream.limiter, stream.waveform ? &*stream.waveform : nullptr));
}

PyObject* stream_detection(PyObject* self, void* /*closure*/) {
  SharedUse use(stream_of(self).use, kInUse);
  if (!use) return nullptr;
  const Stream& stream = stream_of(self);
  return PyUnicode_FromString(stream.waveform              ? "waveform"
                              : stream.limiter.true_peak() ? "bs1770"
                                                           : "sample");
}

PyObject* stream_repr(PyObject* self) {
  return call_guarded(
      [&]() -> PyObject* {
        SharedUse use(stream_of(self).use, kInUse);
        if (!use) return nullptr;
        const Stream& stream = stream_of(self);
        const Limiter& l = stream.limiter;
        const FrameLevels* levels = stream.waveform ? &*stream.waveform : nullptr;
        Text text("StreamLimiter(sample_rate=");
        text += format_u64(l.sample_rate());
        text += ", threshold_dBFS=";
        text += format_f64(l.threshold_dBFS());
        text += l.true_peak() ? ", true_peak=True" : ", true_peak=False";
        if (levels) text += ", detection='waveform'";
        text += ", lookahead_samples=";
        text += format_u64(l.lookahead_samples());
        text += ", hold_samples=";
        text += format_u64(l.hold_samples());
        text += ", release_samples=";
        text += format_f64(l.release_samples());
        text += ", latency=";
        text += format_u64(Pipeline::latency_of(l, levels));
        text += ")";
        return PyUnicode_FromStringAndSize(text.c_str(), static_cast<Py_ssize_t>(text.size()));
      },
      nullptr);
}

// ---------------------------------------------------------------------------
// Type definition

PyMethodDef stream_methods[] = {
    {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_process)),
     METH_VARARGS | METH_KEYWORDS, kStreamProcessDoc},
    {"flush", stream_flush, METH_NOARGS, kStreamFlushDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_properties[] = {
    {"latency", stream_latency, nullptr, kLatencyDoc, nullptr},
    {"detection", stream_detection, nullptr, kDetectionDoc, nullptr},
    QX_LIMITER_PROPERTIES(Holder),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(kStreamDoc)},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(StreamObject::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_properties},
    {0, nullptr},
};

// Final, no dict, no weak references, immutable: as QXLimiter.
PyType_Spec stream_spec = {
    "qx_limiter_tools.StreamLimiter",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    stream_slots,
};

}  // namespace

PyObject* stream_limiter_type() { return heap_type<stream_spec>(); }

}  // namespace qx::py
