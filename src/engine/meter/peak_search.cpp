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
// The far part of the precise interpolator: frames i0 − kCore … i0 + kCore
// around an anchor's frame i0 are its near part's, every other frame up to
// kFarReach[m] away goes into the sum G_m (weights (−1)^e / e^(m+1)).
constexpr std::int64_t kCore = 65;
constexpr std::int64_t kFarReach[4] = {8192, 1024, 256, 256};
// Frames a block reads around its outputs: the far sums reach 8192 frames
// beyond an anchor's frame, which lies up to 7 frames before its screen
// output.
constexpr std::int64_t kBefore = 8192 + 80;
constexpr std::int64_t kAfter = 8192 + 80;
// Zeros kept before frame 0, and room for zeros after the last frame when
// the reading is taken.
constexpr std::int64_t kLead = 96;
constexpr std::int64_t kTail = 160;
constexpr std::int64_t kGroup = 64;  // frames per pre-screen group

// Rounds towards −∞ (b > 0).
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// The screen's margin depends on how much near-Nyquist content surrounds an
// anchor: the 4x filter under-reads it (by up to 9 dB where it starts
// abruptly), and its waveform grows with the length of a coherent run of
// the alternating signal z[j] = (−1)^j x[j], like the log of that length.
// Per group of 64 screen outputs both are measured on frames: the largest
// octet sum of z within two groups either side (8 × the near-Nyquist
// amplitude there: it catches short runs, whose steps cancel in longer
// sums) and the coherence Σ w_d |S_{k+d}| of the 64-frame sums S of z up
// to 32 groups away (it catches long runs; the weights are the largest
// share of a group's sum in the waveform, 1/(16π) for the group and its
// neighbours, 1/(64π(|d| − 1)) beyond). Where the octets stay under 1.6 ×
// the reading (amplitude a fifth of it) and the coherence under 0.2 × the
// reading, the tight margins hold; where they stay under 2.4 × and 0.3 ×,
// the middle one. Measured against these bounds: sign runs of every length
// up to ±96 have octets of at least 0.24 × their peak, longer ones a
// coherence of at least 0.54 ×; white noise stays under the tight bounds in
// 97 % of its groups and under the middle ones in nearly all.
constexpr std::int64_t kGroupsPerPass = 4096 / kGroup + 3;
constexpr std::int64_t kCoherenceReach = 32;
constexpr double kOctetBound = 1.6;
constexpr double kCoherenceBound = 0.2;
constexpr double kOctetMiddle = 2.4;
constexpr double kCoherenceMiddle = 0.3;

// The tiers of margins, by group.
enum Tier : std::uint8_t { kWide = 0, kMiddle = 1, kTight = 2 };

const float* coherence_weights() {
  static const struct Weights {
    float w[2 * kCoherenceReach + 1];
    Weights() {
      constexpr double kPi = 3.141592653589793;
      for (std::int64_t d = -kCoherenceReach; d <= kCoherenceReach; ++d) {
        const std::int64_t a = d < 0 ? -d : d;
        w[d + kCoherenceReach] = static_cast<float>(
            a <= 1 ? 1.0 / (16.0 * kPi) : 1.0 / ((64.0 * static_cast<double>(a - 1)) * kPi));
      }
    }
  } weights;
  return weights.w;
}

// A candidate is searched precisely when the near part at its three first
// positions comes within 4.5 dB of the reading so far: the largest distance
// measured between a peak and that near part is 3.5 dB (sines at 0.4999 fs
// starting abruptly, whose far part is large); under 0.8 dB on noise. In a
// group of the tight margins (see group_tiers) within 1.5 dB: the largest
// distance measured there is 0.35 dB (noise in 0.30–0.45 fs at 192 kHz).
double near_factor(bool tight) {
  static const double factors[2] = {static_cast<double>(static_cast<float>(std::pow(10.0, 0.225))),
                                    static_cast<double>(static_cast<float>(std::pow(10.0, 0.075)))};
  return factors[tight ? 1 : 0];
}

// The far part's weights: table m holds (−1)^e / e^(m+1) for e = −reach …
// reach (0 in the core), then zeros to a multiple of 32 terms. Every
// power of e is exact in double, so each weight is the correctly rounded
// float32 of the exact value.
constexpr std::int64_t far_length(int m) { return (2 * kFarReach[m] + 1 + 31) / 32 * 32; }

struct FarTables {
  alignas(64) float w0[far_length(0)];
  alignas(64) float w1[far_length(1)];
  alignas(64) float w2[far_length(2)];
  alignas(64) float w3[far_length(3)];

  FarTables() {
    float* rows[4] = {w0, w1, w2, w3};
    for (int m = 0; m < 4; ++m) {
      const std::int64_t reach = kFarReach[m];
      for (std::int64_t i = 0; i < far_length(m); ++i) {
        const std::int64_t e = i - reach;
        double weight = 0.0;
        if (i <= 2 * reach && (e > kCore || e < -kCore)) {
          const auto d = static_cast<double>(e);
          double power = d;
          for (int k = 0; k < m; ++k) power = power * d;
          weight = (e % 2 == 0 ? 1.0 : -1.0) / power;
        }
        rows[m][i] = static_cast<float>(weight);
      }
    }
  }
  const float* row(int m) const {
    const float* rows[4] = {w0, w1, w2, w3};
    return rows[m];
  }
};

const FarTables& far_tables() {
  static const FarTables tables;
  return tables;
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

// Anchors whose screen magnitude is within 11 dB of the reading so far are
// candidates where the neighbourhood holds near-Nyquist content: the largest
// distance measured between a peak and the screen value that finds it is
// 9.7 dB (noise between 0.45 and 0.5 fs at 192 kHz; 8.7 dB for sines near
// 0.49 fs starting abruptly, 9 dB for sign runs of ±1024). Where it holds
// some (the middle tier), within 7 dB: the largest measured there is 5.5 dB
// (sign runs of ±48 to ±56, whose octets are over the tight bound and whose
// coherence may be under the middle one). Where it holds little, within
// 3 dB: the largest measured there is 1.4 dB (white noise at 192 kHz).
double screen_factor(int tier) {
  static const double factors[3] = {static_cast<double>(static_cast<float>(std::pow(10.0, 0.55))),
                                    static_cast<double>(static_cast<float>(std::pow(10.0, 0.35))),
                                    static_cast<double>(static_cast<float>(std::pow(10.0, 0.15)))};
  return factors[tier];
}

// tier[g − g0] for the groups of screen outputs g in [g0, g1) (at most
// kGroupsPerPass): the margins they take against the reading `before`. x is
// the channel's frame 0; frames from `end` on read as zeros, and x is
// readable over the groups' frames and 34 groups either side.
void group_tiers(const float* x, std::int64_t g0, std::int64_t g1, std::int64_t end, double before,
                 std::uint8_t* tier) {
  const auto& k = meter_kernels();
  constexpr std::int64_t kSpan = kGroupsPerPass + 2 * kCoherenceReach + 4;
  float octet_max[kSpan], zsum[kSpan];
  float coherence[kGroupsPerPass];
  // Groups [first, last) of frames, zeros outside [0, end).
  const std::int64_t first = g0 - kCoherenceReach - 2, last = g1 + kCoherenceReach + 2;
  const std::int64_t lo = std::max<std::int64_t>(first, 0);
  const std::int64_t hi = std::max(lo, std::min(last, (end + kGroup - 1) / kGroup));
  std::fill(octet_max, octet_max + (last - first), 0.0f);
  std::fill(zsum, zsum + (last - first), 0.0f);
  if (hi > lo) k.z_stats(x + kGroup * lo, hi - lo, octet_max + (lo - first), zsum + (lo - first));
  for (std::int64_t i = 0; i < last - first; ++i) zsum[i] = std::fabs(zsum[i]);
  k.coherence(zsum + 2 + kCoherenceReach, coherence_weights(), g1 - g0, coherence);
  for (std::int64_t g = g0; g < g1; ++g) {
    const float* m = octet_max + (g - first) - 2;
    const float near = std::max(std::max(std::max(m[0], m[1]), std::max(m[3], m[4])), m[2]);
    const double octets = static_cast<double>(near);
    const double coherent = static_cast<double>(coherence[g - g0]);
    tier[g - g0] = octets <= kOctetBound * before && coherent <= kCoherenceBound * before ? kTight
                   : octets <= kOctetMiddle * before && coherent <= kCoherenceMiddle * before
                       ? kMiddle
                       : kWide;
  }
}

}  // namespace

// The smallest positive float32 t with t × factor ≥ before: z ≥ t exactly
// when double(z) × factor ≥ before, so the screen can compare in float32.
float screen_threshold(double before, double factor) {
  constexpr float kSmallest = std::numeric_limits<float>::denorm_min();
  if (!(before > 0.0)) return kSmallest;
  float t = static_cast<float>(before / factor);
  while (static_cast<double>(t) * factor < before) t = std::nextafter(t, INFINITY);
  while (t > kSmallest && static_cast<double>(std::nextafter(t, 0.0f)) * factor >= before) {
    t = std::nextafter(t, 0.0f);
  }
  return std::max(t, kSmallest);
}

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
  const std::int64_t keep =
      std::max(static_cast<std::int64_t>(next_block_) * kBlock - kBefore, origin_);
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
  const float thresholds[3] = {screen_threshold(before, screen_factor(kWide)),
                               screen_threshold(before, screen_factor(kMiddle)),
                               screen_threshold(before, screen_factor(kTight))};
  const double group_bounds[3] = {kScreenGain * screen_factor(kWide),
                                  kScreenGain * screen_factor(kMiddle),
                                  kScreenGain * screen_factor(kTight)};
  const std::int64_t frames_end =
      end > 0 ? static_cast<std::int64_t>(end) : std::numeric_limits<std::int64_t>::max() / 2;
  for (std::uint64_t c = 0; c < channels_; ++c) {
    const float* x = frame_zero(c);
    // Outputs [s, s + 64) read frames s − 11 … s + 63: their bound is the
    // larger sample magnitude of the group and the one before. The groups'
    // maxima also give the block's sample peak (the frames after the
    // signal's end are zeros).
    const std::int64_t groups = (high - low + kGroup - 1) / kGroup;
    float reach[kGroupsPerPass];
    float previous = k.abs_max(x + low - kGroup, kGroup);
    float block_peak = 0.0f;
    bool any = false;
    for (std::int64_t g = 0; g < groups; ++g) {
      const float here = k.abs_max(x + low + kGroup * g, kGroup);
      block_peak = std::max(block_peak, here);
      reach[g] = std::max(previous, here);
      previous = here;
      any = any || static_cast<double>(reach[g]) * group_bounds[kWide] >= before;
    }
    if (last_frame > low) result = std::max(result, static_cast<double>(block_peak));
    if (!any) continue;
    std::uint8_t tier[kGroupsPerPass];
    group_tiers(x, low / kGroup, low / kGroup + groups, frames_end, before, tier);
    meter_kernels::ScreenOut out{anchors_.data(), 0};
    // Runs of groups of one margin whose outputs could hold an anchor over
    // its threshold go through the screen.
    std::int64_t run = -1;
    int run_tier = 0;
    for (std::int64_t s = low; s < high; s += kGroup) {
      const int here = tier[(s - low) / kGroup];
      const bool needed =
          static_cast<double>(reach[(s - low) / kGroup]) * group_bounds[here] >= before;
      if (run >= 0 && (!needed || here != run_tier)) {
        k.screen(x, run, s, thresholds[run_tier], scratch_.data(), out);
        run = -1;
      }
      if (needed && run < 0) {
        run = s;
        run_tier = here;
      }
    }
    if (run >= 0) k.screen(x, run, high, thresholds[run_tier], scratch_.data(), out);
    for (std::int64_t i = 0; i < out.count; i += 2) {
      const std::int64_t u[2] = {out.anchors[i], out.anchors[std::min(i + 1, out.count - 1)]};
      const bool tiers[2] = {tier[(u[0] >> 2) / kGroup - low / kGroup] == kTight,
                             tier[(u[1] >> 2) / kGroup - low / kGroup] == kTight};
      double v[2];
      anchor_values(x, u, tiers, before, end_, v);
      result = std::max(result, std::max(v[0], v[1]));
    }
  }
  return result;
}

namespace {

// sin(π r / 16) for the offsets r = s − 16 i0 a search evaluates (−5 … 20
// sixteenths from the anchor's frame), each the very value std::sin gives.
double sine_of_sixteenths(std::int64_t r) {
  constexpr double kPi = 3.141592653589793;
  constexpr std::int64_t kLow = -8, kHigh = 24;
  static const struct Table {
    double v[kHigh - kLow + 1];
    Table() {
      for (std::int64_t i = kLow; i <= kHigh; ++i) {
        v[i - kLow] = std::sin(kPi * (static_cast<double>(i) / 16.0));
      }
    }
  } table;
  if (r < kLow || r > kHigh) return std::sin(kPi * (static_cast<double>(r) / 16.0));
  return table.v[r - kLow];
}

double full_value(const float* x, std::int64_t s, std::int64_t i0, const double* g, float near) {
  constexpr double kPi = 3.141592653589793;
  const std::int64_t j = s >> 4;
  const double tau = static_cast<double>(s - 16 * i0) / 16.0;
  const double sine = sine_of_sixteenths(s - 16 * i0);
  double value = static_cast<double>(near);
  // The core frames this position's own 128 taps leave out, in order: those
  // before its window, then those after it.
  const auto core = [&](std::int64_t k) {
    const std::int64_t d = k - i0;
    const double sign = (d % 2 != 0) ? -1.0 : 1.0;
    value = value +
            static_cast<double>(x[k]) * ((sign * sine) / (kPi * (tau - static_cast<double>(d))));
  };
  for (std::int64_t k = i0 - kCore; k <= std::min(i0 + kCore, j - 64); ++k) core(k);
  for (std::int64_t k = std::max(i0 - kCore, j + 65); k <= i0 + kCore; ++k) core(k);
  const double series = ((g[3] * tau + g[2]) * tau + g[1]) * tau + g[0];
  return value + -(sine / kPi) * series;
}

void far_sums(const float* x, std::int64_t i0, std::int64_t end, double* g) {
  const auto& k = meter_kernels();
  const FarTables& tables = far_tables();
  for (int m = 0; m < 4; ++m) {
    const std::int64_t reach = kFarReach[m];
    const std::int64_t blocks = far_length(m) / 32;
    // Blocks of 32 terms wholly before frame 0 or from the last frame taken
    // on hold only zeros: skipped (the lead and the tail hold the zeros the
    // others read).
    const std::int64_t start = i0 - reach;  // the frame of term 0
    std::int64_t first = 0, last = blocks;
    while (first < blocks && start + 32 * first + 31 < 0) ++first;
    while (last > first && start + 32 * (last - 1) >= end) --last;
    g[m] = static_cast<double>(k.far_dot(tables.row(m), x + start, first, last));
  }
}

}  // namespace

void anchor_values(const float* x, const std::int64_t* u, const bool* tight, double before,
                   std::int64_t end, double* out) {
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
  bool searched[2];
  double g[2][4] = {};
  std::int64_t base[2];
  for (int j = 0; j < 2; ++j) {
    base[j] = centre[j] >> 4;
    const double near = std::max(std::max(static_cast<double>(std::fabs(v[3 * j])),
                                          static_cast<double>(std::fabs(v[3 * j + 1]))),
                                 static_cast<double>(std::fabs(v[3 * j + 2])));
    searched[j] = near * near_factor(tight[j]) >= before;
    out[j] = 0.0;
  }
  std::int64_t fine_at[6];
  for (int j = 0; j < 2; ++j) {
    fine_at[3 * j] = fine_at[3 * j + 1] = fine_at[3 * j + 2] = centre[j];
    if (!searched[j]) continue;
    if (j == 1 && u[1] == u[0]) {
      for (int m = 0; m < 4; ++m) g[1][m] = g[0][m];
    } else {
      far_sums(x, base[j], end, g[j]);
    }
    const double a = std::fabs(full_value(x, at[3 * j], base[j], g[j], v[3 * j]));
    const double b = std::fabs(full_value(x, at[3 * j + 1], base[j], g[j], v[3 * j + 1]));
    const double c = std::fabs(full_value(x, at[3 * j + 2], base[j], g[j], v[3 * j + 2]));
    out[j] = std::max(std::max(a, b), c);
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
    const std::int64_t at_g = centre[j] + step;
    fine_at[3 * j] = at_g - 1;
    fine_at[3 * j + 1] = at_g;
    fine_at[3 * j + 2] = at_g + 1;
  }
  if (searched[0] || searched[1]) {
    k.precise6(x, fine_at, v);
    for (int j = 0; j < 2; ++j) {
      if (!searched[j]) continue;
      const double fa = std::fabs(full_value(x, fine_at[3 * j], base[j], g[j], v[3 * j]));
      const double fb = std::fabs(full_value(x, fine_at[3 * j + 1], base[j], g[j], v[3 * j + 1]));
      const double fc = std::fabs(full_value(x, fine_at[3 * j + 2], base[j], g[j], v[3 * j + 2]));
      const double fine =
          (fb >= fa && fb >= fc) ? vertex(fa, fb, fc) : std::max(std::max(fa, fb), fc);
      out[j] = std::max(out[j], fine);
    }
  }
  for (int j = 0; j < 2; ++j) {
    // The BS.1770 values in double at u − 1, u, u + 1 (zeros around the
    // signal give 0 outside it).
    for (std::int64_t w = u[j] - 1; w <= u[j] + 1; ++w) {
      const std::int64_t m = w >> 2;
      const float* h = kReferencePhases[w & 3];
      double acc = 0.0;
      for (int t = 0; t < 12; ++t) {
        acc = acc + static_cast<double>(h[t]) * static_cast<double>(x[m - t]);
      }
      out[j] = std::max(out[j], std::fabs(acc));
    }
  }
}

}  // namespace qx::meter

namespace qx::meter {

Result<WaveformLevels> WaveformLevels::create(double ceiling) {
  WaveformLevels w;
  w.ceiling_ = ceiling;
  for (int t = 0; t < 3; ++t) w.thresholds_[t] = screen_threshold(ceiling, screen_factor(t));
  w.span_ = Buffer<float>::zeroed(static_cast<std::size_t>(kStep + 2 * kReach + 64));
  w.scratch_ = Buffer<float>::zeroed(4 * (kStep + 64) + 64);
  w.anchors_ = Buffer<std::int64_t>::uninitialized(4 * (kStep + 64) + 16);
  if (!w.span_.valid() || !w.scratch_.valid() || !w.anchors_.valid()) return OutOfMemory{};
  return w;
}

void WaveformLevels::fold(const float* x, std::int64_t n, std::int64_t first, std::int64_t last,
                          float* levels) {
  const auto& k = meter_kernels();
  for (std::int64_t s0 = first; s0 < last; s0 += kStep) {
    const std::int64_t s1 = std::min(last, s0 + kStep);
    // The pass's frames and kReach around them, zeros outside x: xs[f] is
    // frame f (x itself where all of them are in it).
    const std::int64_t lo = s0 - kReach, hi = s1 + kReach;
    const float* xs = x;
    if (lo < 0 || hi > n) {
      float* span = span_.data() + 32;
      const std::int64_t from = std::max<std::int64_t>(lo, 0), to = std::min(hi, n);
      std::fill(span, span + (hi - lo), 0.0f);
      if (to > from) std::memcpy(span + (from - lo), x + from, sizeof(float) * (to - from));
      xs = span - lo;
    }
    for (std::int64_t f = s0; f < s1; ++f) {
      levels[f - first] = std::max(levels[f - first], std::fabs(xs[f]));
    }
    // Anchors at screen outputs [s0 + 3, s1 + 9) lie within 6 frames before
    // their output and are searched up to 5/16 either side: all of those
    // that reach frames [s0, s1).
    meter_kernels::ScreenOut out{anchors_.data(), 0};
    const std::int64_t a = s0 + 3, b = s1 + 9;
    const std::int64_t g0 = floor_div(a, kGroup), g1 = floor_div(b - 1, kGroup) + 1;
    std::uint8_t tier[kGroupsPerPass];
    group_tiers(xs, g0, g1, n, ceiling_, tier);
    for (std::int64_t from_out = a; from_out < b;) {
      const int here = tier[floor_div(from_out, kGroup) - g0];
      std::int64_t to_out = from_out;
      while (to_out < b && tier[floor_div(to_out, kGroup) - g0] == here) {
        to_out = (floor_div(to_out, kGroup) + 1) * kGroup;
      }
      to_out = std::min(to_out, b);
      k.screen(xs, from_out, to_out, thresholds_[here], scratch_.data(), out);
      from_out = to_out;
    }
    for (std::int64_t i = 0; i < out.count; i += 2) {
      const std::int64_t u[2] = {out.anchors[i], out.anchors[std::min(i + 1, out.count - 1)]};
      const bool tiers[2] = {tier[floor_div(u[0] >> 2, kGroup) - g0] == kTight,
                             tier[floor_div(u[1] >> 2, kGroup) - g0] == kTight};
      double v[2];
      anchor_values(xs, u, tiers, ceiling_, n, v);
      for (int j = 0; j < 2; ++j) {
        float level = static_cast<float>(v[j]);
        if (static_cast<double>(level) < v[j]) level = std::nextafter(level, INFINITY);
        const std::int64_t c = 16 * ((u[j] >> 2) - 6) + 4 * (u[j] & 3) + 2;
        const std::int64_t f0 = std::max(s0, (c - 5) >> 4);
        const std::int64_t f1 = std::min(s1, ((c + 5) >> 4) + 2);
        for (std::int64_t f = f0; f < f1; ++f)
          levels[f - first] = std::max(levels[f - first], level);
      }
    }
  }
}

}  // namespace qx::meter
