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
#include "engine/dispatch/vector_types.hpp"
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

void far_sums(const float* x, std::int64_t i0, std::int64_t end, double* g, int from_m = 0) {
  const auto& k = meter_kernels();
  const FarTables& tables = far_tables();
  for (int m = from_m; m < 4; ++m) {
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

// The limiter's G0 beyond 256 frames, from block moments. A block of 64
// frames about its centre, D frames from the anchor, adds
//   Σ_u z / (D + u) = (1/D) Σ_p (−u/D)^p z,
// of which the terms p ≤ 3 are its moments; the rest of the series is at
// most r^4 / (1 − r)^5 × Σ |x| / |D| with r = 31.5 / |D| (≤ 0.11 from 256
// frames on) and Σ |x| ≤ 64 × the block's largest |x|. The weights of
// every block, for each position of the anchor within its own block of 64
// frames, are tabulated. Frames within 256 of the anchor are summed as the
// meter sums them; those between there and the first whole block, and
// beyond the last whole block up to the reach, one by one. G1 to G3 reach
// 1024 frames at most and are summed as the meter sums them.
constexpr std::int64_t kExactFar = 256;
constexpr std::int64_t kRowBlocks = 128;  // per side, padded with weights 0
// Blocks a pass keeps: from the reach before its first frame to a row's
// padding after the reach beyond its last.
constexpr std::int64_t kFarBlocks =
    (4096 + 2 * WaveformLevels::kReach + kRowBlocks * 64 + 1024) / 64;

std::int64_t ceil_div(std::int64_t a, std::int64_t b) { return -floor_div(-a, b); }

struct BlockWeights {
  // Row [o][side][p] for an anchor o frames into its block: the weights of
  // moment p = 0 … 3 and (p = 4) of the largest |x| for the bound, of
  // count[o][side] blocks in signal order from start[o][side] blocks after
  // the anchor's own (side 0: before the anchor, 1: after it).
  float w[64][2][5][kRowBlocks];
  std::int64_t start[64][2];
  std::int64_t count[64][2];

  BlockWeights() {
    const std::int64_t reach = kFarReach[0];
    for (std::int64_t o = 0; o < 64; ++o) {
      // Whole blocks from kExactFar + 1 frames on, ending within the reach.
      start[o][0] = ceil_div(o - reach, 64);
      count[o][0] = floor_div(o - (kExactFar + 1) - 63, 64) + 1 - start[o][0];
      start[o][1] = ceil_div(kExactFar + o, 64);
      count[o][1] = floor_div(reach - 63 + o, 64) + 1 - start[o][1];
      for (int side = 0; side < 2; ++side) {
        for (std::int64_t i = 0; i < kRowBlocks; ++i) {
          double weight[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
          if (i < count[o][side]) {
            const double inv = 1.0 / (static_cast<double>(64 * (start[o][side] + i) - o) + 31.5);
            double power = inv;
            for (int p = 0; p < 4; ++p) {
              weight[p] = (p % 2 == 0 ? 1.0 : -1.0) * power;
              power = power * inv;
            }
            const double r = 31.5 * std::fabs(inv);
            const double shrink = (1.0 - r) * (1.0 - r) * (1.0 - r) * (1.0 - r) * (1.0 - r);
            // A little over, for the float32 weights and sums.
            weight[4] = 1.001 * 64.0 * std::fabs(inv) * (r * r) * (r * r) / shrink;
          }
          for (int p = 0; p < 5; ++p) w[o][side][p][i] = static_cast<float>(weight[p]);
        }
      }
    }
  }
};

const BlockWeights& block_weights() {
  static const BlockWeights weights;
  return weights;
}

// G0 … G3 of the anchor at frame i0 of x (frame far.origin() + i0 of the
// signal), G0 beyond 256 frames from far's blocks; returns the bound of
// what their series left out of the reading (the far part's factor
// sin(πτ)/π is at most 1/π).
double bounded_far_sums(const float* x, std::int64_t i0, std::int64_t end, FarMoments& far,
                        double* g) {
  const auto& k = meter_kernels();
  const BlockWeights& weights = block_weights();
  far_sums(x, i0, end, g, 1);  // G1 … G3 as the meter sums them
  const std::int64_t reach = kFarReach[0];
  const std::int64_t anchor = far.origin() + i0;
  const std::int64_t q = floor_div(anchor, 64), o = anchor - 64 * q;
  const float* table = far_tables().row(0);
  double value = static_cast<double>(
      k.far_dot(table, x + (i0 - reach), (reach - kExactFar) / 32, (reach + kExactFar) / 32));
  const float* w = table + reach;  // w[e]: the weight of frame i0 + e
  const float* xe = x + i0;
  const auto frames = [&](std::int64_t from, std::int64_t to) {
    double sum = 0.0;
    for (std::int64_t e = from; e < to; ++e) {
      sum = sum + static_cast<double>(w[e]) * static_cast<double>(xe[e]);
    }
    value = value + sum;
  };
  const std::int64_t* start = weights.start[o];
  const std::int64_t* count = weights.count[o];
  frames(-reach, 64 * start[0] - o);
  frames(64 * (start[0] + count[0]) - o, -kExactFar);
  frames(kExactFar, 64 * start[1] - o);
  frames(64 * (start[1] + count[1]) - o, reach + 1);
  double moments = 0.0, bound = 0.0;
  for (int side = 0; side < 2; ++side) {
    const std::int64_t b = q + start[side];
    far.ensure(b, b + kRowBlocks);
    for (int p = 0; p < 4; ++p) {
      moments = moments + static_cast<double>(
                              k.far_dot(weights.w[o][side][p], far.at(p, b), 0, kRowBlocks / 32));
    }
    bound = bound +
            static_cast<double>(k.far_dot(weights.w[o][side][4], far.at(4, b), 0, kRowBlocks / 32));
  }
  // z's sign at the anchor: (−1)^anchor.
  g[0] = value + ((anchor & 1) != 0 ? -moments : moments);
  constexpr double kPi = 3.141592653589793;
  return bound / kPi;
}

// The values of anchor_values; with `far`, G0 beyond 256 frames from its
// blocks (the limiter's levels), each searched value then raised by the
// bound of what they leave out.
void values_of(const float* x, const std::int64_t* u, const bool* tight, double before,
               std::int64_t end, double* out, FarMoments* far) {
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
  double raise[2] = {0.0, 0.0};
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
      raise[1] = raise[0];
    } else if (far != nullptr) {
      raise[j] = bounded_far_sums(x, base[j], end, *far, g[j]);
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
      out[j] = std::max(out[j], fine) + raise[j];
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

}  // namespace

void anchor_values(const float* x, const std::int64_t* u, const bool* tight, double before,
                   std::int64_t end, double* out) {
  values_of(x, u, tight, before, end, out, nullptr);
}

}  // namespace qx::meter

namespace qx::meter {

Result<FarMoments> FarMoments::create(std::int64_t blocks) {
  FarMoments f;
  f.capacity_ = (blocks + kGroupBlocks - 1) / kGroupBlocks * kGroupBlocks;
  f.data_ = Buffer<float>::zeroed(static_cast<std::uint64_t>(5 * f.capacity_));
  f.done_ = Buffer<std::uint8_t>::zeroed(static_cast<std::uint64_t>(f.capacity_ / kGroupBlocks));
  if (!f.data_.valid() || !f.done_.valid()) return OutOfMemory{};
  return f;
}

void FarMoments::start(const float* x, std::int64_t n, std::int64_t origin) {
  x_ = x;
  n_ = n;
  origin_ = origin;
  std::fill(done_.data(), done_.data() + capacity_ / kGroupBlocks, std::uint8_t{0});
}

void FarMoments::slide(std::int64_t first) {
  first = floor_div(first, kGroupBlocks) * kGroupBlocks;
  const std::int64_t shift = first - first_;
  const std::int64_t groups = capacity_ / kGroupBlocks;
  if (shift > 0 && shift < capacity_) {
    const std::int64_t kept = capacity_ - shift;
    for (int p = 0; p < 5; ++p) {
      float* row = data_.data() + p * capacity_;
      std::memmove(row, row + shift, sizeof(float) * static_cast<std::size_t>(kept));
    }
    std::uint8_t* done = done_.data();
    std::memmove(done, done + shift / kGroupBlocks, static_cast<std::size_t>(kept / kGroupBlocks));
    std::fill(done + kept / kGroupBlocks, done + groups, std::uint8_t{0});
  } else if (shift != 0) {
    std::fill(done_.data(), done_.data() + groups, std::uint8_t{0});
  }
  first_ = first;
}

void FarMoments::ensure(std::int64_t from, std::int64_t to) {
  for (std::int64_t g = floor_div(from - first_, kGroupBlocks);
       g < floor_div(to - first_ - 1, kGroupBlocks) + 1; ++g) {
    if (done_[static_cast<std::size_t>(g)] != 0) continue;
    for (std::int64_t b = 0; b < kGroupBlocks; ++b) compute(first_ + g * kGroupBlocks + b);
    done_[static_cast<std::size_t>(g)] = 1;
  }
}

void FarMoments::compute(std::int64_t b) {
  using detail::f32x8;
  // The block's frames (silence outside x); its first frame is even in the
  // signal, so z = (−1)^i x[i] within it.
  alignas(32) float copy[kBlock];
  const std::int64_t j0 = kBlock * b - origin_;
  const float* v = copy;
  if (j0 >= 0 && j0 + kBlock <= n_) {
    v = x_ + j0;
  } else {
    for (std::int64_t i = 0; i < kBlock; ++i) {
      const std::int64_t j = j0 + i;
      copy[i] = j >= 0 && j < n_ ? x_[j] : 0.0f;
    }
  }
  // Frame i in lane i mod 8: eight partial sums per figure, each adding its
  // frames in order, joined by the fixed tree.
  const f32x8 alternate = {1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f};
  f32x8 u = {-31.5f, -30.5f, -29.5f, -28.5f, -27.5f, -26.5f, -25.5f, -24.5f};
  f32x8 s0{}, s1{}, s2{}, s3{}, peak{};
  for (std::int64_t i = 0; i < kBlock; i += 8) {
    f32x8 x;
    std::memcpy(&x, v + i, sizeof x);
    const f32x8 z = x * alternate;
    const f32x8 zu = z * u, zuu = zu * u;
    s0 = s0 + z;
    s1 = s1 + zu;
    s2 = s2 + zuu;
    s3 = s3 + zuu * u;
    const f32x8 magnitude = x > -x ? x : -x;
    peak = magnitude > peak ? magnitude : peak;
    u = u + 8.0f;
  }
  const std::int64_t at = b - first_;
  const f32x8* sums[4] = {&s0, &s1, &s2, &s3};
  for (int p = 0; p < 4; ++p) {
    const f32x8& a = *sums[p];
    data_[static_cast<std::size_t>(p * capacity_ + at)] =
        ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
  }
  float largest = 0.0f;
  for (int l = 0; l < 8; ++l) largest = std::max(largest, peak[l]);
  data_[static_cast<std::size_t>(4 * capacity_ + at)] = largest;
}

Result<WaveformLevels> WaveformLevels::create(double ceiling) {
  WaveformLevels w;
  // A pass's blocks: its frames and the far sums' reach either side, with
  // a table row's padding beyond.
  auto far = FarMoments::create(kFarBlocks);
  if (!far.ok()) return OutOfMemory{};
  w.far_ = std::move(far).value();
  w.ceiling_ = ceiling;
  for (int t = 0; t < 3; ++t) w.thresholds_[t] = screen_threshold(ceiling, screen_factor(t));
  w.span_ = Buffer<float>::zeroed(static_cast<std::size_t>(kStep + 2 * kReach + 64));
  w.scratch_ = Buffer<float>::zeroed(4 * (kStep + 64) + 64);
  w.anchors_ = Buffer<std::int64_t>::uninitialized(4 * (kStep + 64) + 16);
  if (!w.span_.valid() || !w.scratch_.valid() || !w.anchors_.valid()) return OutOfMemory{};
  return w;
}

void WaveformLevels::fold(const float* x, std::int64_t n, std::int64_t first, std::int64_t last,
                          float* levels, std::int64_t origin) {
  const auto& k = meter_kernels();
  far_.start(x, n, origin);
  for (std::int64_t s0 = first; s0 < last; s0 += kStep) {
    const std::int64_t s1 = std::min(last, s0 + kStep);
    far_.slide(floor_div(origin + s0 - kReach, FarMoments::kBlock));
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
      values_of(xs, u, tiers, ceiling_, n, v, &far_);
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
