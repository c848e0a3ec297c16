// Where the engine's results become Python's: failures as exceptions, a
// limiter built with its errors raised, and the guard that keeps C++
// exceptions out of the interpreter.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <optional>

#include "engine/core/errors.hpp"
#include "engine/limiter/limiter.hpp"
#include "binding/convert.hpp"
#include "binding/python.hpp"

namespace qx::py {

// Raises ValueError whose only argument is the error's message.
void raise_engine_error(const EngineError& error);

// create_limiter with the interpreter lock held; on failure raises the
// ValueError of the error, or MemoryError when the limiter does not fit in
// memory (naming the settings that make it large), and returns nothing.
std::optional<Limiter> build_limiter(const Settings& settings);

// Turns the C++ exception being handled into a Python one. Nothing in this
// module is meant to throw (the engine reports failures as values and
// allocates through memory::allocate); a std::bad_alloc from the standard
// library still becomes MemoryError, and anything else is a bug worth a
// SystemError rather than an abort.
inline void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "qx_limiter: unexpected C++ exception");
  }
}

// Runs the body of an entry point called by the interpreter. C++ exceptions
// must not unwind into the interpreter's C frames, so every callback of this
// module goes through this; `failed` is its error return value. The one
// unwinding let through is a thread's end: a daemon thread that takes the
// interpreter lock back after the interpreter began shutting down is ended
// with pthread_exit, which unwinds every frame up to the thread's start and
// aborts the process if any frame stops it. It is no C++ exception, so
// inside the catch there is no current exception to hold.
template <class Body>
auto call_guarded(Body&& body, decltype(body()) failed) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    if (!std::current_exception()) throw;
    raise_current_exception();
    return failed;
  }
}

}  // namespace qx::py
