#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "engine/core/conversions.hpp"
#include "engine/limiter/limiter.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

qx::Limiter make(std::uint32_t rate, double threshold = 0.0, double attack = 5.0,
                 double hold = 15.0, double release = 40.0, bool true_peak = false) {
  auto r = qx::create_limiter(rate, threshold, attack, hold, release, true_peak);
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

std::string error_of(std::uint32_t rate, double threshold = 0.0, double attack = 5.0,
                     double hold = 15.0, double release = 40.0, bool true_peak = false) {
  auto r = qx::create_limiter(rate, threshold, attack, hold, release, true_peak);
  if (!r.is_error()) return "<no error>";
  return std::string(r.error().message().view());
}

struct Derived {
  std::uint32_t rate;
  std::uint64_t lookahead, window, hold;
  double release;
};

class DerivedLengths : public ::testing::TestWithParam<Derived> {};

TEST_P(DerivedLengths, DefaultTimes) {
  const Derived& d = GetParam();
  for (bool true_peak : {false, true}) {
    auto lim = make(d.rate, 0.0, 5.0, 15.0, 40.0, true_peak);
    EXPECT_EQ(lim.lookahead_samples(), d.lookahead);
    EXPECT_EQ(lim.hold_samples(), d.hold);
    EXPECT_EQ(lim.envelope().state().window_length, d.window);
    EXPECT_EQ(lim.release_samples(), d.release);
    EXPECT_EQ(lim.sample_rate(), d.rate);
    EXPECT_EQ(lim.true_peak(), true_peak);
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, DerivedLengths,
                         ::testing::Values(Derived{8000, 40, 160, 120, 320.0},
                                           Derived{11025, 55, 221, 166, 441.0},
                                           Derived{22050, 110, 441, 331, 882.0},
                                           Derived{44100, 221, 882, 661, 1764.0},
                                           Derived{48000, 240, 960, 720, 1920.0},
                                           Derived{96000, 480, 1920, 1440, 3840.0}));

TEST(CreateLimiter, Threshold) {
  EXPECT_EQ(make(48000, 0.0).threshold(), 1.0);
  EXPECT_EQ(make(48000, -0.0).threshold(), 1.0);
  EXPECT_TRUE(std::signbit(make(48000, -0.0).threshold_dBFS()));
  EXPECT_EQ(make(48000, -6.0).threshold(), 0.5011872336272722);
  EXPECT_EQ(make(48000, -6.0).threshold_dBFS(), -6.0);
  // Every finite negative value passes, subnormals included.
  EXPECT_TRUE(
      qx::create_limiter(48000, -std::numeric_limits<double>::denorm_min(), 5, 15, 40, false).ok());
  EXPECT_EQ(make(48000, -1e300).threshold(), 0.0);
}

struct MessageCase {
  std::uint32_t rate;
  double threshold, attack, hold, release;
  bool true_peak;
  const char* message;
};

class CreateLimiterErrors : public ::testing::TestWithParam<MessageCase> {};

TEST_P(CreateLimiterErrors, FirstFailureInOrder) {
  const MessageCase& c = GetParam();
  EXPECT_EQ(error_of(c.rate, c.threshold, c.attack, c.hold, c.release, c.true_peak), c.message);
}

const char* kUnsupported1000 =
    "true_peak does not support sample_rate=1000; supported rates are 8000, 11025, 12000, "
    "16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, and every rate at or above "
    "176400 Hz";

INSTANTIATE_TEST_SUITE_P(
    Examples, CreateLimiterErrors,
    ::testing::Values(
        // The zero rate beats every other invalid setting.
        MessageCase{0, kNaN, -1, kInf, kNaN, true, "sample_rate must be greater than zero"},
        // The true-peak plan beats an invalid threshold.
        MessageCase{1000, 5.0, 5, 15, 40, true, kUnsupported1000},
        MessageCase{176399, 0, 5, 15, 40, true,
                    "true_peak does not support sample_rate=176399; supported rates are 8000, "
                    "11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, and "
                    "every rate at or above 176400 Hz"},
        MessageCase{48000, 0.5, 5, 15, 40, false,
                    "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 0.5"},
        MessageCase{48000, -kInf, 5, 15, 40, false,
                    "threshold_dBFS must be a finite dBFS value less than or equal to 0, got -inf"},
        MessageCase{48000, kNaN, 5, 15, 40, false,
                    "threshold_dBFS must be a finite dBFS value less than or equal to 0, got NaN"},
        // Threshold before attack.
        MessageCase{48000, kInf, -1, 15, 40, false,
                    "threshold_dBFS must be a finite dBFS value less than or equal to 0, got inf"},
        // Attack before hold; only the first failing time is reported.
        MessageCase{48000, 0, -1.0, kNaN, -1, false,
                    "attack_ms must be finite and non-negative, got -1"},
        MessageCase{48000, 0, 5, kInf, -1, false,
                    "hold_ms must be finite and non-negative, got inf"},
        MessageCase{48000, 0, 5, 15, kNaN, false,
                    "release_ms must be finite and non-negative, got NaN"},
        MessageCase{1000, 0, 0.49, 15, 40, false,
                    "attack_ms=0.49 rounds to zero samples at 1000 Hz"},
        MessageCase{1, 0, 5, 15, 40, false, "attack_ms=5 rounds to zero samples at 1 Hz"},
        MessageCase{48000, 0, -0.0, 15, 40, false,
                    "attack_ms=-0 rounds to zero samples at 48000 Hz"}));

TEST(CreateLimiterErrors, NegativeSubnormalTimeIsRejected) {
  EXPECT_EQ(error_of(48000, 0, 5, -std::numeric_limits<double>::denorm_min(), 40),
            "hold_ms must be finite and non-negative, got -0." + std::string(323, '0') + "5");
}

TEST(CreateLimiterErrors, SubnormalThresholdIsRejected) {
  auto r = qx::create_limiter(48000, std::numeric_limits<double>::denorm_min(), 5, 15, 40, false);
  ASSERT_TRUE(r.is_error());
  EXPECT_EQ(r.error().kind, qx::ErrorKind::InvalidThreshold);
}

TEST(CreateLimiter, TruePeakFlagSurvivesTheSamplePeakFallback) {
  auto lim = make(176400, 0, 5, 15, 40, true);
  EXPECT_TRUE(lim.true_peak());
  EXPECT_EQ(lim.detection().kind, qx::DetectionKind::SamplePeak);
  EXPECT_TRUE(qx::create_limiter(4294967295u, 0, 5, 15, 40, true).ok());
  EXPECT_TRUE(qx::create_limiter(12345, 0, 5, 15, 40, false).ok());
}

struct LengthCase {
  std::uint32_t rate;
  double attack, hold;
  std::uint64_t lookahead, window, hold_samples;
};

class RoundedLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(RoundedLengths, HoldIsRoundedSpanLessRoundedAttack) {
  const LengthCase& c = GetParam();
  auto lim = make(c.rate, 0, c.attack, c.hold, 0);
  EXPECT_EQ(lim.lookahead_samples(), c.lookahead);
  EXPECT_EQ(lim.envelope().state().window_length, c.window);
  EXPECT_EQ(lim.hold_samples(), c.hold_samples);
}

INSTANTIATE_TEST_SUITE_P(Examples, RoundedLengths,
                         ::testing::Values(LengthCase{1000, 0.5, 0.5, 1, 1, 0},
                                           LengthCase{1000, 1.4, 0.2, 1, 2, 1},
                                           LengthCase{1000, 0.5, 0.0, 1, 1, 0},
                                           LengthCase{44100, 1.5, 15.0, 66, 728, 662}));

TEST(CreateLimiter, ReleaseIsNotRounded) {
  EXPECT_EQ(make(48000, 0, 5, 15, 0.0).release_samples(), 0.0);
  EXPECT_EQ(make(48000, 0, 5, 15, 0.0).envelope().state().release_coefficient, 1.0);
  EXPECT_EQ(make(48000, 0, 5, 15, 0.01).release_samples(), 0.48);
  EXPECT_EQ(make(44100, 0, 1.5, 15, 12.5).release_samples(), 551.25);
  auto endless = make(48000, 0, 5, 15, 1e304);
  EXPECT_EQ(endless.release_samples(), kInf);
  EXPECT_EQ(endless.envelope().state().release_coefficient, 0.0);
}

// A length as the limiter derives it: C round, then the saturating
// conversion to a frame count.
std::uint64_t round_to_u64(double x) { return qx::saturating_u64(std::round(x)); }

TEST(RoundToU64, HalfwayAwayFromZeroAndSaturating) {
  EXPECT_EQ(round_to_u64(220.5), 221u);
  EXPECT_EQ(round_to_u64(0.5), 1u);
  EXPECT_EQ(round_to_u64(0.49), 0u);
  EXPECT_EQ(round_to_u64(-0.0), 0u);
  EXPECT_EQ(round_to_u64(-5.0), 0u);
  EXPECT_EQ(round_to_u64(kNaN), 0u);
  EXPECT_EQ(round_to_u64(1e300), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(round_to_u64(18446744073709549568.0), 18446744073709549568u);
}

// Settings that pass every check but cannot be stored fail as out of
// memory, at once and without wrapping a size.
struct HugeCase {
  double attack, hold;
};

class HugeSettings : public ::testing::TestWithParam<HugeCase> {};

TEST_P(HugeSettings, FailAsOutOfMemory) {
  auto r = qx::create_limiter(48000, 0, GetParam().attack, GetParam().hold, 40, false);
  EXPECT_TRUE(r.out_of_memory());
}

INSTANTIATE_TEST_SUITE_P(Examples, HugeSettings,
                         ::testing::Values(HugeCase{5, 1e12}, HugeCase{5, 1e300},
                                           HugeCase{1e300, 15}, HugeCase{1e300, 1e300},
                                           HugeCase{1e14, 15}));

long resident_pages() {
  long size = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident;
}

TEST(HugeSettings, LongHoldDoesNotCommitItsWindow) {
  // About 7.7 GB of window: either refused at once or reserved untouched.
  const long before = resident_pages();
  auto r = qx::create_limiter(48000, 0, 5, 1e7, 40, false);
  EXPECT_FALSE(r.is_error());
  EXPECT_LT(resident_pages() - before, 4096);  // under 16 MiB of 4 KiB pages
}

}  // namespace
