// Small RAII helpers for the Python C API: a strong reference that releases
// itself, and a scope (and a call) that gives up the interpreter lock. Every Python
// object this module obtains goes straight into a PyRef, so any early
// return on an error path drops exactly the references it took.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "binding/python.hpp"

namespace qx::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference. A null pointer (a failed call, with the
  // Python error set) gives an empty PyRef.
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference on: to a return value or to a call that steals it.
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// Releases the interpreter lock for its scope and takes it back when the
// scope ends. Nothing inside the scope may touch a Python object, and no
// exception may leave it (callers catch inside): taking the lock back is
// where a thread still running when the interpreter shuts down is ended
// with pthread_exit, whose unwinding must be let through this destructor
// (hence noexcept(false)) and on up to the thread's start.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() noexcept(false) { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Calls work() without the interpreter lock and returns what it returns.
// The lock comes back the moment work() is done, before anything else: an
// exception it throws is caught inside the unlocked scope and thrown again
// once the lock is held, so the caller's guard turns it into a Python error.
template <class Work>
decltype(auto) unlocked(Work&& work) {
  using Value = std::invoke_result_t<Work&>;
  std::exception_ptr failure;
  if constexpr (std::is_void_v<Value>) {
    {
      GilReleased released;
      try {
        work();
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
  } else {
    std::optional<Value> value;
    {
      GilReleased released;
      try {
        value.emplace(work());
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
    return Value(std::move(*value));
  }
}

}  // namespace qx::py
