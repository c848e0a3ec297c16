// The loudness and true-peak meter: integrated loudness, loudness range,
// true peak and sample peak of audio fed in chunks of any size, with state
// bounded by the window of the peak search plus one double per 100 ms of
// audio. The figures equal those of one pass over the whole signal bit for
// bit, however the audio was chunked: every sum runs in an order fixed by
// absolute frame, sub-block and block indices.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/core/frames.hpp"
#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"
#include "engine/meter/kernels.hpp"
#include "engine/meter/loudness.hpp"
#include "engine/meter/peak_search.hpp"

namespace qx {

// The figures; −inf where a figure is undefined (silence, too short).
struct Readings {
  double integrated_lufs;
  double loudness_range_lu;
  double true_peak_dbtp;
  double sample_peak_dbfs;
  double max_momentary_lufs;
  double max_short_term_lufs;
};

class Meter {
 public:
  static constexpr std::uint32_t kMinRate = 8000;
  static constexpr std::uint32_t kMaxRate = 384000;

  // A meter for `channels` ≥ 1 channels at a rate in [kMinRate, kMaxRate]
  // (the caller checks both). With `peaks` false only the loudness is
  // measured and both peak figures read −inf. With `profile_frames` > 0 it
  // also keeps the loudness profile (below) in groups of that many frames.
  // OutOfMemory when its state does not fit.
  static Result<Meter> create(std::uint32_t sample_rate, std::uint64_t channels, bool peaks = true,
                              std::uint64_t profile_frames = 0, bool dual_mono = false);

  Meter(Meter&&) noexcept = default;
  Meter& operator=(Meter&&) noexcept = default;

  // Takes `count` frames of `in`. A sample that is not finite or beyond
  // 2^32 in magnitude refuses the whole chunk, and nothing is taken:
  // NonFiniteSample or SampleOutOfRange with its frame (counted from this
  // meter's first) and channel, for the earliest such frame and in it the
  // lowest such channel. OutOfMemory, nothing
  // taken either, when the list of sub-block powers cannot grow.
  Result<std::uint64_t> add(Frames in, std::uint64_t count);

  // The figures of everything taken so far; more may be added afterwards.
  // OutOfMemory when the loudness range's scratch does not fit.
  Result<Readings> result();

  std::uint64_t frames() const { return frames_; }
  std::uint64_t channels() const { return channels_; }
  std::uint32_t rate() const { return rate_; }
  // The completed sub-block powers (sums of weighted squares), in order.
  const meter::PowerList& powers() const { return powers_; }

  // The loudness profile: every 100 ms sub-block cut into groups of
  // profile_frames frames (its last group shorter where they do not divide
  // it), and for each group of the completed sub-blocks its largest sample
  // magnitude over every channel and its channel-weighted sum of K-weighted
  // squares, which the sub-block's power is the sum of. It tells what a
  // gain curve that is about constant over a group would make of the
  // loudness, without the audio.
  std::uint64_t profile_frames() const { return profile_frames_; }
  std::uint64_t groups_per_subblock() const {
    return profile_frames_ == 0 ? 0 : (subblock_ + profile_frames_ - 1) / profile_frames_;
  }
  const meter::List<float>& profile_levels() const { return profile_levels_; }
  const meter::List<float>& profile_energies() const { return profile_energies_; }

 private:
  Meter() = default;
  // The earliest bad sample of the chunk, if any.
  std::optional<EngineError> check(Frames in, std::uint64_t count) const;
  void k_weight(Frames in, std::uint64_t count);
  // Takes frames [pos, pos + count) of `in` (within one group) into the
  // open group's level, and closes the group when it is full.
  void profile(Frames in, std::uint64_t pos, std::uint64_t count);

  std::uint32_t rate_ = 0;
  std::uint64_t channels_ = 0;
  std::uint64_t subblock_ = 0;  // frames per sub-block
  std::uint64_t filled_ = 0;    // frames in the open sub-block
  std::uint64_t frames_ = 0;
  meter_kernels::KCoefficients k_{};
  Buffer<meter_kernels::KChannel> state_;  // per weighted channel
  Buffer<std::uint64_t> weighted_;         // the channels with a weight, in order
  Buffer<double> weights_;                 // their weights
  std::uint64_t weighted_count_ = 0;
  meter::PowerList powers_;
  std::optional<meter::PeakSearch> peaks_;
  std::uint64_t profile_frames_ = 0;
  std::uint64_t group_filled_ = 0;  // frames in the open group
  float group_level_ = 0.0f;
  Buffer<double> group_start_;  // each weighted channel's sum where the group began
  meter::List<float> profile_levels_;
  meter::List<float> profile_energies_;
};

}  // namespace qx
