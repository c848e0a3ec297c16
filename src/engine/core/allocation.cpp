#include "engine/core/allocation.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
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

namespace {

// The last few large blocks given back, kept for the next call. A call's
// big buffers (its output, its gains, the planar copy) are as large as the
// audio; taken fresh from the kernel, every page of them faults on first
// touch, and on a virtual machine that hands freed memory back to its host
// those faults cost more than the limiter's own work. Callers limit clip
// after clip of similar length, so a block that was just given back is very
// likely the right size for the next one, and its pages are still in place.
// What is kept is bounded: blocks from 4 MiB up, at most 256 MiB in all;
// anything larger goes straight back to the system as before.
class KeptBlocks {
 public:
  // A kept block with room for `bytes` and not much more, or null.
  void* take(std::size_t bytes) {
    if (bytes < kFrom || !lock()) return nullptr;
    int best = -1;
    for (int i = 0; i < kSlots; ++i) {
      const std::size_t room = slots_[i].bytes;
      if (slots_[i].block == nullptr || room < bytes || room - bytes > bytes / 4) continue;
      if (best < 0 || room < slots_[best].bytes) best = i;
    }
    void* block = nullptr;
    if (best >= 0) {
      held_ -= slots_[best].bytes;
      block = std::exchange(slots_[best].block, nullptr);
    }
    unlock();
    return block;
  }

  // Keeps `block` when it is large enough and fits, making room by giving
  // back the oldest; false when the caller should free it.
  bool give(void* block) {
#if defined(__GLIBC__)
    const std::size_t bytes = malloc_usable_size(block);
#else
    const std::size_t bytes = 0;  // the block's size is not known: never kept
#endif
    if (bytes < kFrom || bytes > kAtMost || !lock()) return false;
    while (held_ + bytes > kAtMost || full()) {
      Slot& oldest = slots_[oldest_slot()];
      held_ -= oldest.bytes;
      std::free(std::exchange(oldest.block, nullptr));
    }
    for (Slot& slot : slots_) {
      if (slot.block != nullptr) continue;
      slot = Slot{block, bytes, ++age_};
      break;
    }
    held_ += bytes;
    unlock();
    return true;
  }

 private:
  static constexpr std::size_t kFrom = std::size_t{4} << 20;
  static constexpr std::size_t kAtMost = std::size_t{256} << 20;
  static constexpr int kSlots = 4;
  struct Slot {
    void* block = nullptr;
    std::size_t bytes = 0;
    std::uint64_t age = 0;
  };

  // Never waits: a thread that finds another one here simply goes to the
  // system heap. That also keeps a child forked mid-call from blocking on
  // a lock its parent's thread held; it just never uses the kept blocks.
  bool lock() { return !busy_.exchange(true, std::memory_order_acquire); }
  void unlock() { busy_.store(false, std::memory_order_release); }

  bool full() const {
    for (const Slot& slot : slots_) {
      if (slot.block == nullptr) return false;
    }
    return true;
  }
  int oldest_slot() const {
    int oldest = -1;
    for (int i = 0; i < kSlots; ++i) {
      if (slots_[i].block == nullptr) continue;
      if (oldest < 0 || slots_[i].age < slots_[oldest].age) oldest = i;
    }
    return oldest;
  }

  std::atomic<bool> busy_{false};
  Slot slots_[kSlots];
  std::size_t held_ = 0;
  std::uint64_t age_ = 0;
};

KeptBlocks g_kept;

}  // namespace

void* allocate(std::size_t bytes, bool zero) {
  QX_FAIL_POINT();
  if (bytes == 0) bytes = 1;
  void* block = g_kept.take(bytes);
  if (block != nullptr) {
    if (zero) std::memset(block, 0, bytes);
  } else {
    block = zero ? std::calloc(bytes, 1) : std::malloc(bytes);
  }
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
  if (!g_kept.give(block)) std::free(block);
}

}  // namespace qx::memory
