#include "engine/meter/meter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qx {
namespace {

double decibels(double linear) {
  return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

bool bad(float v) { return !(std::fabs(v) <= 4294967296.0f); }

}  // namespace

Result<Meter> Meter::create(std::uint32_t sample_rate, std::uint64_t channels, bool peaks,
                            std::uint64_t profile_frames, bool dual_mono) {
  Meter m;
  m.profile_frames_ = profile_frames;
  m.rate_ = sample_rate;
  m.channels_ = channels;
  m.subblock_ = meter::subblock_frames(sample_rate);
  m.k_ = meter::k_weighting(sample_rate);
  m.state_ = Buffer<meter_kernels::KChannel>::zeroed(channels);
  m.weighted_ = Buffer<std::uint64_t>::uninitialized(channels);
  m.weights_ = Buffer<double>::uninitialized(channels);
  m.group_start_ = Buffer<double>::zeroed(channels);
  if (!m.state_.valid() || !m.weighted_.valid() || !m.weights_.valid() || !m.group_start_.valid()) {
    return OutOfMemory{};
  }
  for (std::uint64_t c = 0; c < channels; ++c) {
    // Channels weighted 0 count for nothing and are not filtered at all.
    const double g =
        dual_mono && channels == 1 ? meter::kDualMonoWeight : meter::channel_weight(channels, c);
    if (g == 0.0) continue;
    m.weighted_[m.weighted_count_] = c;
    m.weights_[m.weighted_count_] = g;
    ++m.weighted_count_;
  }
  if (peaks) {
    auto search = meter::PeakSearch::create(channels);
    if (!search.ok()) return OutOfMemory{};
    m.peaks_.emplace(std::move(search).value());
  }
  return m;
}

std::optional<EngineError> Meter::check(Frames in, std::uint64_t count) const {
  const auto& k = meter_kernels::meter_kernels();
  const std::uint64_t samples = count * channels_;
  const auto frames = static_cast<std::int64_t>(count);
  const auto channels = static_cast<std::int64_t>(channels_);
  const bool block = (in.frame_step == 1 && (in.channel_step == frames || channels == 1)) ||
                     (in.channel_step == 1 && in.frame_step == channels);
  if (block) {
    if (k.all_valid(in.data, static_cast<std::int64_t>(samples))) return std::nullopt;
  } else {
    bool ok = true;
    for (std::uint64_t c = 0; c < channels_ && ok; ++c) {
      for (std::uint64_t f = 0; f < count && ok; ++f) ok = !bad(*in.at(c, f));
    }
    if (ok) return std::nullopt;
  }
  // Front to back: the earliest frame, then its lowest channel.
  for (std::uint64_t f = 0; f < count; ++f) {
    for (std::uint64_t c = 0; c < channels_; ++c) {
      const float v = *in.at(c, f);
      if (!bad(v)) continue;
      // Counted from the meter's first frame.
      if (!std::isfinite(v)) return EngineError::non_finite_sample(frames_ + f, c, count);
      return EngineError::sample_out_of_range(frames_ + f, c, count, v);
    }
  }
  return std::nullopt;
}

Result<std::uint64_t> Meter::add(Frames in, std::uint64_t count) {
  if (count == 0) return count;
  if (auto error = check(in, count)) return *error;
  if (!powers_.reserve_more((filled_ + count) / subblock_)) return OutOfMemory{};
  if (profile_frames_ != 0) {
    // Groups close at their size and at every sub-block's end.
    const std::uint64_t more = (filled_ + count) / subblock_ * groups_per_subblock() +
                               (group_filled_ + count) / profile_frames_ + 1;
    if (!profile_levels_.reserve_more(more) || !profile_energies_.reserve_more(more)) {
      return OutOfMemory{};
    }
  }
  if (peaks_ && !peaks_->reserve(count)) return OutOfMemory{};
  k_weight(in, count);
  if (peaks_) peaks_->add(in, 0, count);
  frames_ += count;
  return count;
}

void Meter::k_weight(Frames in, std::uint64_t count) {
  const auto& k = meter_kernels::meter_kernels();
  const auto lanes = static_cast<std::uint64_t>(k.k_lanes);
  std::uint64_t pos = 0;
  while (pos < count) {
    std::uint64_t segment = std::min(count - pos, subblock_ - filled_);
    if (profile_frames_ != 0) segment = std::min(segment, profile_frames_ - group_filled_);
    for (std::uint64_t g = 0; g < weighted_count_; g += lanes) {
      const float* x[4];
      meter_kernels::KChannel* ch[4];
      const int used = static_cast<int>(std::min(lanes, weighted_count_ - g));
      for (int l = 0; l < used; ++l) {
        x[l] = in.at(weighted_[g + l], pos);
        ch[l] = &state_[g + l];
      }
      k.k_weight(x, used, static_cast<std::int64_t>(in.frame_step),
                 static_cast<std::int64_t>(segment), k_, ch);
    }
    filled_ += segment;
    if (profile_frames_ != 0) profile(in, pos, segment);
    pos += segment;
    if (filled_ == subblock_) {
      // The weighted sum over the channels, in channel order.
      double total = 0.0;
      for (std::uint64_t i = 0; i < weighted_count_; ++i) {
        total = total + weights_[i] * state_[i].sum;
        state_[i].sum = 0.0;
      }
      powers_.push(total);
      filled_ = 0;
      for (std::uint64_t i = 0; i < weighted_count_; ++i) group_start_[i] = 0.0;
    }
  }
}

void Meter::profile(Frames in, std::uint64_t pos, std::uint64_t count) {
  float level = group_level_;
  for (std::uint64_t c = 0; c < channels_; ++c) {
    for (std::uint64_t f = pos; f < pos + count; ++f)
      level = std::max(level, std::fabs(*in.at(c, f)));
  }
  group_level_ = level;
  group_filled_ += count;
  if (group_filled_ < profile_frames_ && filled_ != subblock_) return;
  // The group's part of each channel's open sum, weighted in channel order.
  double energy = 0.0;
  for (std::uint64_t i = 0; i < weighted_count_; ++i) {
    energy = energy + weights_[i] * (state_[i].sum - group_start_[i]);
    group_start_[i] = state_[i].sum;
  }
  profile_levels_.push(group_level_);
  profile_energies_.push(static_cast<float>(energy));
  group_level_ = 0.0f;
  group_filled_ = 0;
}

Result<Readings> Meter::result() {
  Readings r{};
  r.integrated_lufs = meter::integrated_lufs(powers_.data(), powers_.size(), subblock_);
  auto range = meter::loudness_range_lu(powers_.data(), powers_.size(), subblock_);
  if (!range.ok()) return OutOfMemory{};
  r.loudness_range_lu = range.value();
  r.max_momentary_lufs =
      meter::max_window_lufs(powers_.data(), powers_.size(), subblock_, meter::kBlockSubblocks);
  r.max_short_term_lufs =
      meter::max_window_lufs(powers_.data(), powers_.size(), subblock_, meter::kShortTermSubblocks);
  if (peaks_) {
    r.true_peak_dbtp = decibels(peaks_->reading());
    r.sample_peak_dbfs = decibels(peaks_->sample_peak());
  } else {
    r.true_peak_dbtp = r.sample_peak_dbfs = -std::numeric_limits<double>::infinity();
  }
  return r;
}

}  // namespace qx
