// K-weighting design, channel weights and the gated figures. The order of
// every sum is fixed by block and window indices, never by how the audio
// arrived, so the figures do not depend on chunking.
#include "engine/meter/loudness.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "engine/core/allocation.hpp"
#include "engine/core/buffer.hpp"

namespace qx::meter {
namespace {

constexpr double kPi = 3.141592653589793;
// Analog prototypes fitted to the printed 48 kHz coefficients: the shelf's
// f0, Q, gain in dB and mid-band gain (solved from the printed b0), and the
// high pass's f0 and Q.
constexpr double kShelfF0 = 1681.974450955533;
constexpr double kShelfQ = 0.7071752369554196;
constexpr double kShelfGainDb = 3.999843853973347;
constexpr double kShelfMidGain = 1.25872093023256;
constexpr double kHighPassF0 = 38.13547087602444;
constexpr double kHighPassQ = 0.5003270373238773;
constexpr double kSurround = 1.41;
constexpr double kLufsOffset = -0.691;

// One short-term window per second, as libebur128 takes them.
constexpr std::size_t kShortTermStep = 10;

// Sum of w[first, first + length) in order, over its frame count.
double window_power(const double* w, std::size_t first, std::size_t length, double frames) {
  double total = 0.0;
  for (std::size_t i = first; i < first + length; ++i) total = total + w[i];
  return total / frames;
}

}  // namespace

meter_kernels::KCoefficients k_weighting(std::uint32_t sample_rate) {
  const double fs = static_cast<double>(sample_rate);
  meter_kernels::KCoefficients k{};
  double K = std::tan(kPi * kShelfF0 / fs);
  const double vh = std::pow(10.0, kShelfGainDb / 20.0);
  double a0 = (1.0 + K / kShelfQ) + K * K;
  k.stage[0][0] = ((vh + kShelfMidGain * K / kShelfQ) + K * K) / a0;
  k.stage[0][1] = 2.0 * (K * K - vh) / a0;
  k.stage[0][2] = ((vh - kShelfMidGain * K / kShelfQ) + K * K) / a0;
  k.stage[0][3] = 2.0 * (K * K - 1.0) / a0;
  k.stage[0][4] = ((1.0 - K / kShelfQ) + K * K) / a0;
  K = std::tan(kPi * kHighPassF0 / fs);
  a0 = (1.0 + K / kHighPassQ) + K * K;
  // The numerator 1, −2, 1 stays unnormalised at every rate, as printed.
  k.stage[1][0] = 1.0;
  k.stage[1][1] = -2.0;
  k.stage[1][2] = 1.0;
  k.stage[1][3] = 2.0 * (K * K - 1.0) / a0;
  k.stage[1][4] = ((1.0 - K / kHighPassQ) + K * K) / a0;
  return k;
}

double channel_weight(std::uint64_t channels, std::uint64_t c) {
  if (channels == 4) return c >= 2 ? kSurround : 1.0;
  if (channels == 5) return c >= 3 ? kSurround : 1.0;
  if (channels >= 6) {
    if (c == 3 || c >= 6) return 0.0;
    return c >= 4 ? kSurround : 1.0;
  }
  return 1.0;
}

double integrated_lufs(const Powers* parts, std::size_t count, std::uint64_t frames) {
  const double block_frames = static_cast<double>(kBlockSubblocks * frames);
  // Each block of each part, in order, to `visit`.
  auto blocks = [&](auto&& visit) {
    for (std::size_t part = 0; part < count; ++part) {
      const Powers& p = parts[part];
      for (std::size_t j = 0; j + kBlockSubblocks <= p.count; ++j) {
        visit(window_power(p.w, j, kBlockSubblocks, block_frames));
      }
    }
  };
  double total = 0.0;
  std::uint64_t kept = 0;
  blocks([&](double p) {
    if (p > kAbsoluteGate) {
      total = total + p;
      ++kept;
    }
  });
  if (kept == 0) return -std::numeric_limits<double>::infinity();
  const double relative = total / static_cast<double>(kept) / 10.0;
  double gated = 0.0;
  std::uint64_t passed = 0;
  blocks([&](double p) {
    if (p > kAbsoluteGate && p > relative) {
      gated = gated + p;
      ++passed;
    }
  });
  return kLufsOffset + 10.0 * std::log10(gated / static_cast<double>(passed));
}

double max_window_lufs(const double* w, std::size_t count, std::uint64_t frames,
                       std::size_t length) {
  if (count < length) return -std::numeric_limits<double>::infinity();
  const double window_frames = static_cast<double>(length * frames);
  double largest = 0.0;
  for (std::size_t j = 0; j + length <= count; ++j) {
    largest = std::max(largest, window_power(w, j, length, window_frames));
  }
  if (largest <= 0.0) return -std::numeric_limits<double>::infinity();
  return kLufsOffset + 10.0 * std::log10(largest);
}

Result<double> loudness_range_lu(const Powers* parts, std::size_t count, std::uint64_t frames) {
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  const double window_frames = static_cast<double>(kShortTermSubblocks * frames);
  auto windows_of = [](std::size_t n) {
    return n < kShortTermSubblocks ? 0 : (n - kShortTermSubblocks) / kShortTermStep + 1;
  };
  std::size_t windows = 0;
  for (std::size_t part = 0; part < count; ++part) windows += windows_of(parts[part].count);
  if (windows == 0) return kNone;
  Buffer<double> kept = Buffer<double>::uninitialized(windows);
  if (!kept.valid()) return OutOfMemory{};
  std::size_t n = 0;
  double total = 0.0;
  for (std::size_t part = 0; part < count; ++part) {
    const Powers& p = parts[part];
    for (std::size_t m = 0; m < windows_of(p.count); ++m) {
      const double q = window_power(p.w, m * kShortTermStep, kShortTermSubblocks, window_frames);
      if (q > kAbsoluteGate) {
        kept[n++] = q;
        total = total + q;
      }
    }
  }
  if (n == 0) return kNone;
  const double relative = total / static_cast<double>(n) / 100.0;
  std::size_t passed = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (kept[i] > relative) kept[passed++] = kept[i];
  }
  std::sort(kept.data(), kept.data() + passed);
  // Nearest rank, rounded half up, in exact integer arithmetic.
  const double high = kept[((passed - 1) * 95 + 50) / 100];
  const double low = kept[((passed - 1) * 10 + 50) / 100];
  return 10.0 * (std::log10(high) - std::log10(low));
}

}  // namespace qx::meter
