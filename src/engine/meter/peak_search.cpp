// The true-peak search: blocks of the screen, anchors, and the precise
// search around each anchor, every step in the order the meter's
// definition fixes (float32 where the screen and the dot products run,
// double for everything after).
#include "engine/meter/peak_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/detector/filter_design.hpp"
#include "engine/meter/kernels.hpp"

namespace qx::meter {
namespace {

using meter_kernels::meter_kernels;

constexpr std::int64_t kBlock = 4096;  // screen outputs per block
// Frames a block reads around its outputs: the precise search reaches 70
// frames back (63 taps and the 7 of the screen's delay), the screen 12;
// ahead, 59 for the search.
constexpr std::int64_t kBefore = 80;
constexpr std::int64_t kAfter = 64;
// Zeros kept before frame 0, and room for zeros after the last frame when
// the reading is taken.
constexpr std::int64_t kLead = 96;
constexpr std::int64_t kTail = 160;
constexpr std::int64_t kGroup = 64;  // frames per pre-screen group

// Anchors whose screen magnitude is within 7 dB of the reading so far are
// evaluated: the largest distance measured between a peak and the screen
// value that finds it is 6.6 dB (noise between 0.45 and 0.5 fs).
double screen_factor() {
  static const double factor = static_cast<double>(static_cast<float>(std::pow(10.0, 0.35)));
  return factor;
}

// The smallest positive float32 t with t × factor ≥ before: z ≥ t exactly
// when double(z) × factor ≥ before, so the screen can compare in float32.
float screen_threshold(double before) {
  constexpr float kSmallest = std::numeric_limits<float>::denorm_min();
  if (!(before > 0.0)) return kSmallest;
  const double factor = screen_factor();
  float t = static_cast<float>(before / factor);
  while (static_cast<double>(t) * factor < before) t = std::nextafter(t, INFINITY);
  while (t > kSmallest && static_cast<double>(std::nextafter(t, 0.0f)) * factor >= before) {
    t = std::nextafter(t, 0.0f);
  }
  return std::max(t, kSmallest);
}

// |h_p|_1 ≤ 2.0229 for every phase of the BS.1770 filter, so no screen
// output reading only frames below m in magnitude can exceed 2.0229 m (the
// float32 sums round by far less than the gap to 2.03).
constexpr double kScreenGain = 2.03;

// Value at the vertex of the parabola through a, b, c (b the largest), or
// b where they are collinear.
double vertex(double a, double b, double c) {
  const double d = (a - b) + (c - b);
  if (!(d < 0.0)) return b;
  const double diff = a - c;
  return b - (diff * diff) / (8.0 * d);
}

}  // namespace

Result<PeakSearch> PeakSearch::create(std::uint64_t channels) {
  PeakSearch s;
  s.channels_ = channels;
  s.capacity_ = kLead + kTail + kGroup;
  std::size_t floats = 0;
  if (!checked_mul(channels, static_cast<std::uint64_t>(s.capacity_), floats)) {
    return OutOfMemory{};
  }
  s.window_ = Buffer<float>::zeroed(floats);
  s.scratch_ = Buffer<float>::zeroed(4 * (kBlock + 32) + 64);
  s.anchors_ = Buffer<std::int64_t>::uninitialized(4 * (kBlock + 2) + 16);
  if (!s.window_.valid() || !s.scratch_.valid() || !s.anchors_.valid()) return OutOfMemory{};
  s.origin_ = -kLead;
  return s;
}

std::uint64_t PeakSearch::room() const {
  return static_cast<std::uint64_t>(capacity_ - (end_ - origin_) - kTail);
}

bool PeakSearch::reserve(std::uint64_t count) {
  const std::uint64_t held = static_cast<std::uint64_t>(end_ - origin_ + kTail);
  const std::uint64_t need = std::min<std::uint64_t>(kCapacity, held + count);
  if (need <= static_cast<std::uint64_t>(capacity_)) return true;
  const std::uint64_t grown_capacity =
      std::min<std::uint64_t>(kCapacity, std::max<std::uint64_t>(need, 2 * capacity_));
  std::size_t floats = 0;
  if (!checked_mul(channels_, grown_capacity, floats)) return false;
  Buffer<float> grown = Buffer<float>::zeroed(floats);
  if (!grown.valid()) return false;
  for (std::uint64_t c = 0; c < channels_; ++c) {
    std::memcpy(grown.data() + c * grown_capacity, row(c), sizeof(float) * (end_ - origin_));
  }
  window_ = std::move(grown);
  capacity_ = static_cast<std::int64_t>(grown_capacity);
  return true;
}

void PeakSearch::compact() {
  const std::int64_t keep = std::max(static_cast<std::int64_t>(next_block_) * kBlock - kBefore,
                                     origin_);
  if (keep == origin_) return;
  for (std::uint64_t c = 0; c < channels_; ++c) {
    std::memmove(row(c), row(c) + (keep - origin_), sizeof(float) * (end_ - keep));
  }
  origin_ = keep;
}

void PeakSearch::add(Frames in, std::uint64_t first, std::uint64_t count) {
  const auto& k = meter_kernels();
  while (count > 0) {
    if (room() < std::min<std::uint64_t>(count, kBlock)) compact();
    const std::uint64_t take = std::min(count, room());
    for (std::uint64_t c = 0; c < channels_; ++c) {
      float* to = row(c) + (end_ - origin_);
      const float* from = in.at(c, first);
      if (in.frame_step == 1) {
        std::memcpy(to, from, sizeof(float) * take);
      } else {
        for (std::uint64_t f = 0; f < take; ++f) {
          to[f] = from[static_cast<std::int64_t>(f) * in.frame_step];
        }
      }
      sample_peak_ = std::max(sample_peak_,
                              static_cast<double>(k.abs_max(to, static_cast<std::int64_t>(take))));
    }
    end_ += static_cast<std::int64_t>(take);
    first += take;
    count -= take;
    while (static_cast<std::int64_t>(next_block_ + 1) * kBlock + kAfter <= end_) {
      reading_ = run_block(next_block_, reading_, 0);
      ++next_block_;
    }
  }
}

double PeakSearch::reading() {
  if (end_ == 0) return reading_;
  for (std::uint64_t c = 0; c < channels_; ++c) {
    std::memset(row(c) + (end_ - origin_), 0, sizeof(float) * kTail);
  }
  double r = reading_;
  for (std::uint64_t b = next_block_; static_cast<std::int64_t>(b) * kBlock < end_ + 11; ++b) {
    r = run_block(b, r, static_cast<std::uint64_t>(end_));
  }
  return r;
}

double PeakSearch::run_block(std::uint64_t b, double before, std::uint64_t end) {
  const auto& k = meter_kernels();
  const std::int64_t low = static_cast<std::int64_t>(b) * kBlock;
  std::int64_t high = low + kBlock;
  std::int64_t last_frame = high;
  if (end > 0) {
    high = std::min(high, static_cast<std::int64_t>(end) + 11);
    last_frame = std::min(high, static_cast<std::int64_t>(end));
  }
  double result = before;
  const float threshold = screen_threshold(before);
  const double group_bound = kScreenGain * screen_factor();
  for (std::uint64_t c = 0; c < channels_; ++c) {
    const float* x = frame_zero(c);
    if (last_frame > low) {
      result = std::max(result, static_cast<double>(k.abs_max(x + low, last_frame - low)));
    }
    meter_kernels::ScreenOut out{anchors_.data(), 0};
    // Runs of groups whose outputs could hold an anchor over the threshold
    // go through the screen; outputs [s, s + 64) read frames s − 11 … s + 63.
    float previous = k.abs_max(x + low - kGroup, kGroup);
    std::int64_t run = -1;
    for (std::int64_t s = low; s < high; s += kGroup) {
      const float here = k.abs_max(x + s, kGroup);
      const bool needed =
          static_cast<double>(std::max(previous, here)) * group_bound >= before;
      previous = here;
      if (needed && run < 0) run = s;
      if (!needed && run >= 0) {
        k.screen(x, run, s, threshold, scratch_.data(), out);
        run = -1;
      }
    }
    if (run >= 0) k.screen(x, run, high, threshold, scratch_.data(), out);
    for (std::int64_t i = 0; i < out.count; i += 2) {
      const std::int64_t u[2] = {out.anchors[i], out.anchors[std::min(i + 1, out.count - 1)]};
      double v[2];
      anchor_values(x, u, v);
      result = std::max(result, std::max(v[0], v[1]));
    }
  }
  return result;
}

void PeakSearch::anchor_values(const float* x, const std::int64_t* u, double* out) const {
  const auto& k = meter_kernels();
  // Output n, phase p of the 4x filter lies at n − 6 + (2p + 1)/8 frames.
  std::int64_t centre[2], at[6];
  for (int j = 0; j < 2; ++j) {
    centre[j] = 16 * ((u[j] >> 2) - 6) + 4 * (u[j] & 3) + 2;
    at[3 * j] = centre[j] - 4;
    at[3 * j + 1] = centre[j];
    at[3 * j + 2] = centre[j] + 4;
  }
  float v[6];
  k.precise6(x, at, v);
  double coarse[2][3];
  for (int j = 0; j < 2; ++j) {
    const double a = std::fabs(v[3 * j]), b = std::fabs(v[3 * j + 1]), c = std::fabs(v[3 * j + 2]);
    coarse[j][0] = a;
    coarse[j][1] = b;
    coarse[j][2] = c;
    // A parabola through the three, its vertex within a quarter sample,
    // rounded to a sixteenth; without curvature the largest of the three.
    const double d = (a - b) + (c - b);
    std::int64_t step = 0;
    if (d < 0.0) {
      const double offset = std::min(1.0, std::max(-1.0, (a - c) / (2.0 * d)));
      step = static_cast<std::int64_t>(std::floor(4.0 * offset + 0.5));
    } else if (!(b >= a && b >= c)) {
      step = a > c ? -4 : 4;
    }
    const std::int64_t g = centre[j] + step;
    at[3 * j] = g - 1;
    at[3 * j + 1] = g;
    at[3 * j + 2] = g + 1;
  }
  k.precise6(x, at, v);
  for (int j = 0; j < 2; ++j) {
    const double fa = std::fabs(v[3 * j]), fb = std::fabs(v[3 * j + 1]),
                 fc = std::fabs(v[3 * j + 2]);
    double peak =
        (fb >= fa && fb >= fc) ? vertex(fa, fb, fc) : std::max(std::max(fa, fb), fc);
    peak = std::max(peak, std::max(std::max(coarse[j][0], coarse[j][1]), coarse[j][2]));
    // The BS.1770 values in double at u − 1, u, u + 1 (zeros around the
    // signal give 0 outside it).
    for (std::int64_t w = u[j] - 1; w <= u[j] + 1; ++w) {
      const std::int64_t m = w >> 2;
      const float* h = kReferencePhases[w & 3];
      double acc = 0.0;
      for (int t = 0; t < 12; ++t) {
        acc = acc + static_cast<double>(h[t]) * static_cast<double>(x[m - t]);
      }
      peak = std::max(peak, std::fabs(acc));
    }
    out[j] = peak;
  }
}

}  // namespace qx::meter
