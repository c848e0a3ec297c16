// Loudness in the meter's own terms: the K-weighting filter for a rate, the
// weight of each channel, 100 ms sub-blocks, and the two gated figures
// computed from the list of sub-block powers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/core/allocation.hpp"
#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"
#include "engine/meter/kernels.hpp"

namespace qx::meter {

// The two K-weighting stages at `sample_rate`: a high shelf and a high pass,
// each the bilinear transform of its analog prototype prewarped at its own
// f0. At 48 kHz they reproduce the coefficients printed in BS.1770.
meter_kernels::KCoefficients k_weighting(std::uint32_t sample_rate);

// Weight of channel `c` of `channels` by position: 1 for L, R, C (and mono),
// 1.41 for the surround pair (channels 3, 4 of four; 4, 5 of five or more),
// 0 for the LFE (channel 4 of six or more) and for every channel after the
// sixth, as the common meter libebur128 assigns them.
double channel_weight(std::uint64_t channels, std::uint64_t c);
// A mono signal heard on two loudspeakers: counted as the same signal in
// two channels, twice the power (+3.01 dB), as the dual-mono channel type
// of the common meter counts it.
inline constexpr double kDualMonoWeight = 2.0;

// Frames per 100 ms sub-block: fs / 10 rounded half up (1103 at 11025 Hz).
inline std::uint64_t subblock_frames(std::uint32_t sample_rate) {
  return (static_cast<std::uint64_t>(sample_rate) + 5) / 10;
}

// -70 LUFS as a mean-square power, 10^((−70 + 0.691) / 10).
inline constexpr double kAbsoluteGate = 0x1.f791ec6e1d5b7p-24;

// The sub-block powers of one programme, or of one part of several that
// are gated as one (an album: each track's blocks, none across two tracks).
struct Powers {
  const double* w;
  std::size_t count;
};

// Integrated loudness (LUFS) of the 400 ms blocks made of every 4
// consecutive sub-block powers of each part, of `frames` frames each: the
// absolute gate, then the relative gate 10 LU below the mean of what passed;
// −inf when no block passes. Every sum runs in part, then block order.
double integrated_lufs(const Powers* parts, std::size_t count, std::uint64_t frames);
inline double integrated_lufs(const double* w, std::size_t count, std::uint64_t frames) {
  const Powers one{w, count};
  return integrated_lufs(&one, 1, frames);
}

// The largest loudness (LUFS) of the windows of `length` consecutive
// sub-blocks, one starting at every sub-block, ungated: the maximum
// momentary loudness (4 sub-blocks, 400 ms) or short-term loudness (30,
// 3 s), their windows moving 100 ms at a time. −inf when there is no whole
// window, or only silence.
double max_window_lufs(const double* w, std::size_t count, std::uint64_t frames,
                       std::size_t length);
// Sub-blocks in a gating block (the momentary window) and in a short-term window.
inline constexpr std::size_t kBlockSubblocks = 4;
inline constexpr std::size_t kShortTermSubblocks = 30;

// Loudness range (LU) of the 3 s windows starting every 10 sub-blocks: the
// absolute gate, a relative gate 20 LU below the mean, then the 95th less
// the 10th percentile by nearest rank; −inf when no window passes.
// OutOfMemory when the windows' powers cannot be sorted.
Result<double> loudness_range_lu(const Powers* parts, std::size_t count, std::uint64_t frames);
inline Result<double> loudness_range_lu(const double* w, std::size_t count, std::uint64_t frames) {
  const Powers one{w, count};
  return loudness_range_lu(&one, 1, frames);
}

// Values appended one at a time, in a run that grows by doubling through
// memory::reallocate: the completed sub-block powers (one double per
// 100 ms), and the profile's figures.
template <class T>
class List {
 public:
  List() = default;
  List(List&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  List& operator=(List&& other) noexcept {
    if (this != &other) {
      memory::release(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  List(const List&) = delete;
  List& operator=(const List&) = delete;
  ~List() { memory::release(data_); }

  // Room for `more` further values; false (and no change) when it does not fit.
  bool reserve_more(std::uint64_t more) {
    if (more <= capacity_ - size_) return true;
    std::uint64_t wanted = std::max<std::uint64_t>(64, 2 * static_cast<std::uint64_t>(capacity_));
    if (wanted - size_ < more) wanted = size_ + more;
    std::size_t bytes = 0;
    if (!checked_mul(wanted, sizeof(T), bytes)) return false;
    void* grown = memory::reallocate(data_, bytes);
    if (grown == nullptr) return false;
    data_ = static_cast<T*>(grown);
    capacity_ = static_cast<std::size_t>(wanted);
    return true;
  }
  // Only after reserve_more has made room.
  void push(T value) { data_[size_++] = value; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

using PowerList = List<double>;

}  // namespace qx::meter
