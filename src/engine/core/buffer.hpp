// Owned, uninitialised or zeroed runs of trivially copyable values, taken
// from memory::allocate with every size computation checked. A failed or
// overflowing allocation yields an empty Buffer rather than an exception, so
// callers can turn it into OutOfMemory. release() hands the memory to a new
// owner, which must give it back with memory::release (the Python result
// arrays do exactly that).
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>
#include <limits>
#include <type_traits>
#include <utility>

#include "engine/core/allocation.hpp"

namespace qx {

// a × b, or false when it does not fit in std::size_t.
inline bool checked_mul(std::uint64_t a, std::uint64_t b, std::size_t& out) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return false;
  if (product > std::numeric_limits<std::size_t>::max()) return false;
  out = static_cast<std::size_t>(product);
  return true;
}

template <class T>
class Buffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      memory::release(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~Buffer() { memory::release(data_); }

  // `count` values, contents unspecified. Always at least one byte is
  // allocated, so an empty buffer still has a non-null address to hand on.
  static Buffer uninitialized(std::uint64_t count) { return make(count, false); }
  // `count` values with every byte zero (0.0 for floating types). Large
  // requests come from fresh zero pages, which are not touched here.
  static Buffer zeroed(std::uint64_t count) { return make(count, true); }

  bool valid() const { return data_ != nullptr; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }

  // Gives up ownership; the new owner frees with memory::release.
  T* release() {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  static Buffer make(std::uint64_t count, bool zero) {
    Buffer b;
    std::size_t bytes = 0;
    if (!checked_mul(count, sizeof(T), bytes)) return b;
    void* p = memory::allocate(bytes, zero);
    if (p == nullptr) return b;
    advise_huge_pages(p, bytes);
    b.data_ = static_cast<T*>(p);
    b.size_ = static_cast<std::size_t>(count);
    return b;
  }

  // Long blocks touch every page of their buffers once, fresh from the
  // kernel; with 4 KiB pages the faults alone cost about as much as the
  // limiter's own work per frame. Asking for 2 MiB pages on the aligned
  // interior of a large buffer makes that a few hundred times fewer faults.
  // Pages are still only committed when touched, and freshly faulted pages
  // are zero, so calloc's promise holds.
  static void advise_huge_pages(void* p, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (bytes < 2 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace qx
