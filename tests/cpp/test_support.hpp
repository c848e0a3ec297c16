// Helpers shared by the detector, block-processing and dispatch tests:
// limiters for every detection mode, test signals, the instruction-set paths
// this machine can run, and exact comparison of float32 arrays.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "engine/limiter/limiter.hpp"
#include "engine/dispatch/path.hpp"

namespace testing_support {

using Signal = std::vector<float>;

// A limiter that must build.
inline qx::Limiter limiter(std::uint32_t rate, bool true_peak, double threshold_dBFS = -3.0,
                           double attack_ms = 1.0, double hold_ms = 1.0, double release_ms = 5.0) {
  auto made = qx::create_limiter(rate, threshold_dBFS, attack_ms, hold_ms, release_ms, true_peak);
  EXPECT_TRUE(made.ok()) << "rate " << rate;
  return std::move(made).value();
}

// One rate per distinct detection mode: sample peak, the reference filter
// with four and two phases, and each Kaiser factor (L = 3 with both phase
// counts).
struct ModeCase {
  const char* name;
  std::uint32_t rate;
  bool true_peak;
};

inline const ModeCase kModes[] = {
    {"SamplePeak", 48000, false}, {"Reference4", 48000, true}, {"Reference2", 96000, true},
    {"Kaiser6", 8000, true},      {"Kaiser4", 12000, true},    {"Kaiser3Four", 16000, true},
    {"Kaiser3Two", 32000, true},  {"Kaiser2", 24000, true},    {"SamplePeakHighRate", 192000, true},
};

inline void PrintTo(const ModeCase& m, std::ostream* os) { *os << m.name; }

inline std::string mode_name(const ::testing::TestParamInfo<ModeCase>& info) {
  return info.param.name;
}

// Every path this machine can run; the first is the build's baseline.
inline std::vector<qx::dispatch::Path> available_paths() {
  std::vector<qx::dispatch::Path> paths;
  for (auto p : {qx::dispatch::Path::Baseline, qx::dispatch::Path::V3, qx::dispatch::Path::V4}) {
    if (qx::dispatch::path_available(p)) paths.push_back(p);
  }
  return paths;
}

// Forces a path for one scope.
class ForcedPath {
 public:
  explicit ForcedPath(qx::dispatch::Path path) { EXPECT_TRUE(qx::dispatch::force_path(path)); }
  ~ForcedPath() { qx::dispatch::reset_path(); }
  ForcedPath(const ForcedPath&) = delete;
  ForcedPath& operator=(const ForcedPath&) = delete;
};

// Test signals, K channels of F frames, planar. Each kind stresses
// something: music-like sines with loud transients, full-range noise, and
// a mix of the extreme values a block may hold (±2^32, subnormals, zeros
// of both signs, long constant runs).
enum class Kind { Music, Noise, Extremes };

inline Signal signal(Kind kind, std::uint64_t K, std::uint64_t F, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
  Signal x(K * F);
  for (std::uint64_t c = 0; c < K; ++c) {
    for (std::uint64_t f = 0; f < F; ++f) {
      float v = 0.0f;
      switch (kind) {
        case Kind::Music: {
          const double t = static_cast<double>(f);
          v = static_cast<float>(0.4 * std::sin(0.031 * t + static_cast<double>(c)) +
                                 0.25 * std::sin(0.57 * t) + 0.05 * uni(rng));
          if (rng() % 97 == 0) v *= 4.0f;  // transients above the ceiling
          break;
        }
        case Kind::Noise: v = 2.0f * uni(rng); break;
        case Kind::Extremes: {
          static const float kValues[] = {0.0f,   -0.0f,   4294967296.0f, -4294967296.0f,
                                          1e-40f, -1e-45f, 1.0f,          -1.0f,
                                          3.0e9f, 0.5f,    1e-30f,        -7.5e-3f};
          const unsigned pick = rng() % 16;
          v = pick < 12 ? kValues[pick] : (f > 0 && pick == 12 ? x[c * F + f - 1] : uni(rng));
          break;
        }
      }
      x[c * F + f] = v;
    }
  }
  return x;
}

// Exact equality, bit for bit, reporting the first difference.
inline ::testing::AssertionResult same_bits(const float* expected, const float* actual,
                                            std::uint64_t n) {
  for (std::uint64_t i = 0; i < n; ++i) {
    if (std::bit_cast<std::uint32_t>(expected[i]) != std::bit_cast<std::uint32_t>(actual[i])) {
      return ::testing::AssertionFailure() << "first difference at " << i << " of " << n
                                           << ": expected " << ::testing::PrintToString(expected[i])
                                           << ", got " << ::testing::PrintToString(actual[i]);
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult same_bits(const Signal& expected, const Signal& actual) {
  if (expected.size() != actual.size()) {
    return ::testing::AssertionFailure()
           << "sizes differ: " << expected.size() << " vs " << actual.size();
  }
  return same_bits(expected.data(), actual.data(), expected.size());
}

}  // namespace testing_support
