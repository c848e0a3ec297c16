// QXLimiter: construction from Python arguments, the read-only properties,
// the representation and process.
//
//   class QXLimiter:          # final, no __dict__, no weak references
//       def __new__(cls, sample_rate, threshold_dBFS=0.0, attack_ms=5.0,
//                   hold_ms=15.0, release_ms=40.0, true_peak=False): ...
//       def process(self, audio, axis=-1) -> tuple[ndarray, ndarray]: ...
//       sample_rate, threshold, threshold_dBFS, true_peak,
//       lookahead_samples, attack_samples, hold_samples, release_samples
#include "qx_limiter_ext/limiter_type.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>

#include "engine/core/number_format.hpp"
#include "engine/limiter/limiter.hpp"
#include "qx_limiter_ext/process_array.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/instances.hpp"
#include "binding/limiter_properties.hpp"
#include "binding/use_state.hpp"
#include "qx_limiter_ext/docstrings.hpp"
#include "binding/pyref.hpp"

namespace qx::py {

namespace {

// ---------------------------------------------------------------------------
// Use state

constexpr char kInUse[] =
    "this QXLimiter is in use by a process() call in progress; use one instance per thread";

// ---------------------------------------------------------------------------
// The instance

// What an instance holds.
struct LimiterState {
  UseState use;
  Limiter limiter;
  explicit LimiterState(Limiter l) : limiter(std::move(l)) {}
};
using LimiterObject = Instance<LimiterState>;
LimiterState& state_of(PyObject* self) { return LimiterObject::of(self); }

// ---------------------------------------------------------------------------
// Construction and finalisation

PyObject* limiter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        static const char* const names[] = {"sample_rate", "threshold_dBFS", "attack_ms", "hold_ms",
                                            "release_ms",  "true_peak",      nullptr};
        SettingArguments given;
        // Arguments left out stay null: only given ones are converted, and
        // None is converted (and refused) rather than read as "default".
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO:QXLimiter",
                                         const_cast<char**>(names), &given.sample_rate,
                                         &given.threshold_dBFS, &given.attack_ms, &given.hold_ms,
                                         &given.release_ms, &given.true_peak)) {
          return nullptr;
        }
        Settings settings;
        if (!convert_settings(given, settings)) return nullptr;

        std::optional<Limiter> limiter = build_limiter(settings);
        if (!limiter) return nullptr;

        return LimiterObject::create(type, std::move(*limiter));
      },
      nullptr);
}

// ---------------------------------------------------------------------------
// Properties and representation

// What the shared property readers need of an instance.
struct Holder {
  static UseState& use(PyObject* self) { return state_of(self).use; }
  static const Limiter& limiter(PyObject* self) { return state_of(self).limiter; }
  static constexpr const char* in_use = kInUse;
};

PyObject* limiter_repr(PyObject* self) {
  return call_guarded(
      [&]() -> PyObject* {
        SharedUse use(state_of(self).use, kInUse);
        if (!use) return nullptr;
        const Limiter& l = state_of(self).limiter;
        Text text("QXLimiter(\n    sample_rate=");
        text += format_u64(l.sample_rate());
        text += ", threshold_dBFS=";
        text += format_f64(l.threshold_dBFS());
        text += ", threshold=";
        text += format_f64(l.threshold());
        text += l.true_peak() ? ", true_peak=true" : ", true_peak=false";
        text += ",\n    lookahead_samples=";
        text += format_u64(l.lookahead_samples());
        text += ", hold_samples=";
        text += format_u64(l.hold_samples());
        text += ", release_samples=";
        text += format_f64(l.release_samples());
        text += "\n)";
        return PyUnicode_FromStringAndSize(text.c_str(), static_cast<Py_ssize_t>(text.size()));
      },
      nullptr);
}

// ---------------------------------------------------------------------------
// process

PyObject* limiter_process(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_guarded(
      [&]() -> PyObject* {
        static const char* const names[] = {"audio", "axis", nullptr};
        PyObject* audio = nullptr;
        PyObject* axis_object = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:process", const_cast<char**>(names),
                                         &audio, &axis_object)) {
          return nullptr;
        }
        // Taken before the audio is converted: the conversion may run
        // Python code (__float__, __array__, iterators) that could reach
        // this instance again.
        ExclusiveUse use(state_of(self).use, kInUse);
        if (!use) return nullptr;
        ConvertedAudio converted = convert_audio(audio);
        if (!converted.array) return nullptr;
        std::int64_t axis = -1;
        if (axis_object != nullptr && !convert_axis(axis_object, axis)) return nullptr;
        return process_array(state_of(self).limiter, std::move(converted), axis).release();
      },
      nullptr);
}

// ---------------------------------------------------------------------------
// Type definition

PyMethodDef limiter_methods[] = {
    {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(limiter_process)),
     METH_VARARGS | METH_KEYWORDS, kProcessDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef limiter_properties[] = {
    QX_LIMITER_PROPERTIES(Holder),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot limiter_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(limiter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(LimiterObject::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(limiter_repr)},
    {Py_tp_methods, limiter_methods},
    {Py_tp_getset, limiter_properties},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class is final. No dict or weak-reference
// slots, so instances take no other attributes. Immutable, because the one
// type object is shared by every import of the module in the process.
PyType_Spec limiter_spec = {
    "qx_limiter.QXLimiter",
    static_cast<int>(sizeof(LimiterObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    limiter_slots,
};

}  // namespace

PyObject* limiter_type() { return heap_type<limiter_spec>(); }

}  // namespace qx::py
