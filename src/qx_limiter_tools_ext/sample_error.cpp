#include "qx_limiter_tools_ext/sample_error.hpp"

#include "binding/pyref.hpp"
#include "engine/core/number_format.hpp"

namespace qx::py {

PyObject* sample_error_type() {
  // Never released: the process keeps it as it keeps the module's types.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "qx_limiter_tools.SampleError",
      "A sample that is not finite or beyond 2 ** 32 in magnitude; a ValueError "
      "with its frame, channel and reason as attributes.",
      PyExc_ValueError, nullptr);
  return type;
}

void raise_sample_error(const EngineError& error, std::uint64_t first_frame) {
  PyObject* type = sample_error_type();
  if (type == nullptr) return;
  const std::uint64_t frame = first_frame + error.frame;
  const Text reason = error.sample_reason();
  Text text("input sample at frame ");
  text += format_u64(frame);
  text += ", channel ";
  text += format_u64(error.channel);
  text += ' ';
  text += reason;
  PyRef raised = PyRef::steal(PyObject_CallFunction(type, "s", text.c_str()));
  if (!raised) return;
  PyRef frame_object = PyRef::steal(PyLong_FromUnsignedLongLong(frame));
  PyRef channel_object = PyRef::steal(PyLong_FromUnsignedLongLong(error.channel));
  PyRef reason_object = PyRef::steal(PyUnicode_FromString(reason.c_str()));
  if (!frame_object || !channel_object || !reason_object ||
      PyObject_SetAttrString(raised.get(), "frame", frame_object.get()) < 0 ||
      PyObject_SetAttrString(raised.get(), "channel", channel_object.get()) < 0 ||
      PyObject_SetAttrString(raised.get(), "reason", reason_object.get()) < 0) {
    return;
  }
  PyErr_SetObject(type, raised.get());
}

}  // namespace qx::py
