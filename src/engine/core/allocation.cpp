#include "engine/core/allocation.hpp"

#include <cstdlib>

#if defined(QX_ALLOCATION_TESTING)
#include <atomic>
#endif

namespace qx::memory {

#if defined(QX_ALLOCATION_TESTING)
namespace {

// Process-wide, like the heap they stand in front of. The countdown is
// meant for one thread at a time (a test walking failure points); the live
// count is exact from any number of threads.
std::atomic<std::uint64_t> g_countdown{0};
std::atomic<bool> g_failed{false};
std::atomic<std::int64_t> g_live{0};

bool fail_now() {
  std::uint64_t left = g_countdown.load(std::memory_order_relaxed);
  while (left != 0) {
    if (g_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
      if (left != 1) return false;
      g_failed.store(true, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

}  // namespace

namespace testing {

void fail_after(std::uint64_t countdown) {
  g_failed.store(false, std::memory_order_relaxed);
  g_countdown.store(countdown, std::memory_order_relaxed);
}

void disarm() { g_countdown.store(0, std::memory_order_relaxed); }

bool failed() { return g_failed.load(std::memory_order_relaxed); }

bool take_failure() { return fail_now(); }

std::int64_t live_blocks() { return g_live.load(std::memory_order_relaxed); }

}  // namespace testing

#define QX_FAIL_POINT() \
  if (fail_now()) return nullptr
#define QX_COUNT(delta) g_live.fetch_add(delta, std::memory_order_relaxed)
#else
#define QX_FAIL_POINT() static_cast<void>(0)
#define QX_COUNT(delta) static_cast<void>(0)
#endif

void* allocate(std::size_t bytes, bool zero) {
  QX_FAIL_POINT();
  if (bytes == 0) bytes = 1;
  void* block = zero ? std::calloc(bytes, 1) : std::malloc(bytes);
  if (block != nullptr) QX_COUNT(1);
  return block;
}

void* reallocate(void* block, std::size_t bytes) {
  if (block == nullptr) return allocate(bytes, false);
  QX_FAIL_POINT();
  return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void release(void* block) {
  if (block == nullptr) return;
  QX_COUNT(-1);
  std::free(block);
}

}  // namespace qx::memory
