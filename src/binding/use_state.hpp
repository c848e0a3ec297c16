// Who is using an instance's engine object, for the classes whose calls
// release the interpreter lock: another thread can reach the same instance
// meanwhile, and is refused at once rather than made to wait, since waiting
// with the interpreter lock held would stall every other thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/python.hpp"

namespace qx::py {

// 0 nobody, n > 0 that many readers (properties, repr), -1 one call that
// works on the object.
class UseState {
 public:
  bool try_share() {
    std::int64_t current = count_.load(std::memory_order_relaxed);
    while (current >= 0) {
      if (count_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }
  void end_share() { count_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() {
    std::int64_t expected = 0;
    return count_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void end_exclusive() { count_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::int64_t> count_{0};
};

// Shared use (properties, repr) or exclusive use (a call that works on the
// object) for the lifetime of the guard; falsy, with RuntimeError
// `message` set, when the instance is held the other way.
template <bool Exclusive>
class Use {
 public:
  Use(UseState& use, const char* message) : use_(use) {
    held_ = Exclusive ? use_.try_exclusive() : use_.try_share();
    if (!held_) PyErr_SetString(PyExc_RuntimeError, message);
  }
  ~Use() {
    if (!held_) return;
    if (Exclusive) {
      use_.end_exclusive();
    } else {
      use_.end_share();
    }
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  explicit operator bool() const { return held_; }

 private:
  UseState& use_;
  bool held_ = false;
};
using SharedUse = Use<false>;
using ExclusiveUse = Use<true>;

}  // namespace qx::py
