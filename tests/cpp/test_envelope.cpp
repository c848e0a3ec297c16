#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/envelope/envelope.hpp"
#include "oracle.hpp"

namespace {

constexpr double kEps = 2.220446049250313e-16;
constexpr double kInf = std::numeric_limits<double>::infinity();

qx::GainEnvelope make(std::uint64_t A, std::uint64_t H, double R) {
  auto r = qx::GainEnvelope::create(A, H, R);
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

std::vector<float> run(qx::GainEnvelope& env, std::vector<float> levels, double T) {
  env.reset();
  env.run(levels.data(), levels.size(), T);
  return levels;
}

std::vector<float> run_fresh(std::uint64_t A, std::uint64_t H, double R, std::vector<float> levels,
                             double T) {
  auto env = make(A, H, R);
  return run(env, std::move(levels), T);
}

struct StageCase {
  std::uint64_t lookahead, n1, n2, n3;
};

class StageLengths : public ::testing::TestWithParam<StageCase> {};

TEST_P(StageLengths, SplitTheLookAhead) {
  std::uint64_t n[3];
  qx::smoothing_stage_lengths(GetParam().lookahead, n);
  EXPECT_EQ(n[0], GetParam().n1);
  EXPECT_EQ(n[1], GetParam().n2);
  EXPECT_EQ(n[2], GetParam().n3);
}

INSTANTIATE_TEST_SUITE_P(Examples, StageLengths,
                         ::testing::Values(StageCase{1, 1, 1, 1}, StageCase{2, 2, 1, 1},
                                           StageCase{5, 3, 2, 2}, StageCase{10, 5, 4, 3},
                                           StageCase{48, 20, 17, 13}, StageCase{220, 90, 74, 58},
                                           StageCase{240, 98, 81, 63},
                                           StageCase{480, 195, 161, 126}));

TEST(StageLengths, AlwaysAddUpToLookAheadPlusTwo) {
  for (std::uint64_t A = 1; A < 5000; ++A) {
    std::uint64_t n[3];
    qx::smoothing_stage_lengths(A, n);
    ASSERT_EQ(n[0] + n[1] + n[2], A + 2) << A;
    ASSERT_GE(std::min({n[0], n[1], n[2]}), 1u);
  }
}

std::vector<float> impulse(std::size_t frames, std::size_t at, float level) {
  std::vector<float> v(frames, 0.0f);
  v[at] = level;
  return v;
}

TEST(GainEnvelope, WorkedExample) {
  const double expected[40] = {1.0,    1.0,    1.0,    1.0,    1.0,    1.0,    1.0,    1.0,
                               1.0,    1.0,    1.0,    1.0,    0.9792, 0.9167, 0.7917, 0.625,
                               0.4583, 0.3333, 0.2708, 0.25,   0.25,   0.25,   0.25,   0.2542,
                               0.27,   0.3077, 0.3711, 0.4552, 0.5475, 0.6339, 0.7071, 0.7657,
                               0.8125, 0.85,   0.88,   0.904,  0.9232, 0.9386, 0.9509, 0.9607};
  auto env = make(8, 3, 4.0);
  EXPECT_EQ(env.state().stage_length[0], 4u);
  EXPECT_EQ(env.state().stage_length[1], 3u);
  EXPECT_EQ(env.state().stage_length[2], 3u);
  EXPECT_EQ(env.state().release_coefficient, 0.2);
  const auto gains = run(env, impulse(40, 20, 2.0f), 0.5);
  for (int f = 0; f < 40; ++f) EXPECT_NEAR(gains[f], expected[f], 5e-5) << "frame " << f;
  for (int f = 0; f < 12; ++f) EXPECT_EQ(gains[f], 1.0f);
}

TEST(GainEnvelope, WorkedExampleWithoutHold) {
  const auto gains = run_fresh(8, 0, 4.0, impulse(40, 20, 2.0f), 0.5);
  EXPECT_NEAR(gains[19], 0.25, 5e-5);
  EXPECT_NEAR(gains[20], 0.25, 5e-5);  // pulled down by the final clamp
  EXPECT_NEAR(gains[21], 0.27, 5e-5);
  EXPECT_LE(2.0 * gains[20], 0.5 * (1 + 0x1p-23));
}

TEST(GainEnvelope, IsolatedLoudFrameShape) {
  const std::uint64_t A = 10, H = 5;
  const std::size_t k = 50;
  const double T = 0.5, p = 3.0;
  const auto gains = run_fresh(A, H, 20.0, impulse(120, k, static_cast<float>(p)), T);
  const float held = static_cast<float>(T / (p + kEps));
  for (std::size_t f = 0; f < k - A; ++f) EXPECT_EQ(gains[f], 1.0f) << f;
  for (std::size_t f = k - A; f < k - 1; ++f) EXPECT_LT(gains[f], gains[f - 1]) << f;
  for (std::size_t f = k - 1; f <= k + H - 1; ++f) EXPECT_NEAR(gains[f], held, 1e-7) << f;
  for (std::size_t f = k + H; f < 120; ++f) EXPECT_GE(gains[f], gains[f - 1]) << f;
  EXPECT_GT(gains[119], 0.9f);
}

TEST(GainEnvelope, NoFramesNoSteps) {
  auto env = make(8, 3, 4.0);
  float untouched = 7.0f;
  env.reset();
  env.run(&untouched, 0, 0.5);
  EXPECT_EQ(untouched, 7.0f);
}

TEST(GainEnvelope, QuietAndEqualLevelsKeepUnitGain) {
  std::vector<float> levels(300);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> quiet(0.0f, 0.7f);
  for (auto& v : levels) v = quiet(rng);
  levels[100] = 0.7f;  // exactly at the ceiling: the comparison is strict
  const auto gains = run_fresh(24, 10, 30.0, levels, static_cast<double>(0.7f));
  for (float g : gains) EXPECT_EQ(g, 1.0f);
}

TEST(GainEnvelope, SecondBlockEqualsAFreshEnvelope) {
  auto env = make(12, 7, 9.5);
  const auto first = run(env, impulse(80, 40, 4.0f), 0.25);
  const auto second_block = impulse(60, 59, 1.5f);
  const auto second = run(env, second_block, 0.25);
  EXPECT_EQ(second, run_fresh(12, 7, 9.5, second_block, 0.25));
  // Running without an explicit reset starts from neutral as well.
  std::vector<float> again = second_block;
  env.run(again.data(), again.size(), 0.25);
  EXPECT_EQ(again, second);
  EXPECT_NE(first, second);
}

TEST(GainEnvelope, InfiniteReleaseNeverRecovers) {
  const auto gains = run_fresh(6, 2, kInf, impulse(200, 50, 2.0f), 0.5);
  for (std::size_t f = 49; f < 200; ++f) EXPECT_NEAR(gains[f], 0.25f, 1e-7) << f;
}

TEST(GainEnvelope, ZeroReleaseFollowsTheWindowAtOnce) {
  const std::uint64_t A = 6, H = 2;
  const auto gains = run_fresh(A, H, 0.0, impulse(100, 50, 2.0f), 0.5);
  EXPECT_NEAR(gains[50 + H - 1], 0.25f, 1e-7);
  EXPECT_GT(gains[50 + H], 0.25f);
  for (std::size_t f = 50 + H + A; f < 100; ++f) EXPECT_NEAR(gains[f], 1.0f, 1e-12) << f;
}

TEST(GainEnvelope, LoudFrameAtTheBlockEndStillRampsDown) {
  const std::uint64_t A = 10, H = 4;
  const auto middle = run_fresh(A, H, 20.0, impulse(200, 100, 3.0f), 0.5);
  const auto end = run_fresh(A, H, 20.0, impulse(105, 103, 3.0f), 0.5);
  for (std::size_t d = 0; d <= A; ++d) EXPECT_EQ(end[103 - d], middle[100 - d]) << d;
  EXPECT_LE(3.0 * end[103], 0.5 * (1 + 0x1p-23));
}

struct RandomCase {
  std::uint64_t A, H;
  double R, T;
  unsigned seed;
};

class EnvelopeProperties : public ::testing::TestWithParam<RandomCase> {};

TEST_P(EnvelopeProperties, MatchesTheDirectRecomputationAndHoldsTheCeiling) {
  const RandomCase& c = GetParam();
  std::mt19937 rng(c.seed);
  std::uniform_real_distribution<float> quiet(0.0f, static_cast<float>(c.T));
  std::uniform_real_distribution<float> loud(static_cast<float>(c.T), 8.0f);
  std::bernoulli_distribution burst(0.15);
  auto env = make(c.A, c.H, c.R);
  for (std::size_t frames : {1u, 2u, 7u, 64u, 333u, 1500u}) {
    std::vector<float> levels(frames);
    for (auto& v : levels) v = burst(rng) ? loud(rng) : quiet(rng);
    const auto gains = run(env, levels, c.T);
    ASSERT_EQ(gains, oracle::envelope(levels, c.T, c.A, c.H, c.R)) << "frames " << frames;
    for (std::size_t f = 0; f < frames; ++f) {
      ASSERT_GE(gains[f], 0.0f);
      ASSERT_LE(gains[f], 1.0f);
      // Within the float32 rounding of the stored gain.
      ASSERT_LE(static_cast<double>(levels[f]) * gains[f], c.T * (1.0 + 0x1p-23)) << f;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Random, EnvelopeProperties,
    ::testing::Values(RandomCase{1, 0, 0.0, 0.5, 1}, RandomCase{1, 3, 2.5, 1.0, 2},
                      RandomCase{2, 0, 10.0, 0.25, 3}, RandomCase{5, 1, 0.48, 0.891, 4},
                      RandomCase{8, 3, 4.0, 0.5, 5}, RandomCase{48, 0, 100.0, 0.1, 6},
                      RandomCase{33, 60, kInf, 0.7, 7}, RandomCase{240, 720, 1920.0, 0.891, 8},
                      RandomCase{17, 5, 3.3, 0.0, 9}));

// Long stretches under the ceiling settle the envelope into a fixed point
// that later steps only repeat; the steps that follow, and the loud frames
// that end such a stretch, must come out exactly as the direct
// recomputation says. Quiet runs shorter and longer than the settling time,
// a loud frame right after a run, and H = 0 (the final clamp inside a quiet
// stretch) are all covered.
TEST_P(EnvelopeProperties, QuietStretchesMatchTheDirectRecomputation) {
  const RandomCase& c = GetParam();
  std::mt19937 rng(c.seed + 100);
  std::uniform_real_distribution<float> quiet(0.0f, static_cast<float>(c.T));
  std::uniform_real_distribution<float> loud(static_cast<float>(c.T), 8.0f);
  std::uniform_int_distribution<int> gap(0, 3000);
  std::vector<float> levels;
  while (levels.size() < 20000) {
    const int run = gap(rng) < 300 ? gap(rng) % 12 : gap(rng);
    for (int i = 0; i < run; ++i) levels.push_back(quiet(rng) * (i % 7 == 0 ? 1.0f : 0.5f));
    const int burst = 1 + gap(rng) % 4;
    for (int i = 0; i < burst; ++i) levels.push_back(loud(rng));
  }
  auto env = make(c.A, c.H, c.R);
  const auto gains = run(env, levels, c.T);
  ASSERT_EQ(gains, oracle::envelope(levels, c.T, c.A, c.H, c.R));
}

// Shapes that drive the window queue through its corners: falling levels
// (rising targets) fill it until the oldest entry leaves at every step,
// rising ones empty it at every step, sawtooths and plateaus remove one,
// two, three or many entries at once, all next to the ring's wrap and to
// an entry leaving from the front, in windows from one frame up; and levels
// that never fall under the ceiling, so the window is never a single 1.0.
struct WindowShape {
  const char* name;
  float (*level)(std::size_t f, std::mt19937& rng);
};

const WindowShape kWindowShapes[] = {
    {"Falling", [](std::size_t f, std::mt19937&) { return 8.0f - 0.001f * (f % 5000); }},
    {"Rising", [](std::size_t f, std::mt19937&) { return 1.0f + 0.001f * (f % 5000); }},
    {"Sawtooth3", [](std::size_t f, std::mt19937&) { return 2.0f + 0.5f * (f % 3); }},
    {"Sawtooth5Down", [](std::size_t f, std::mt19937&) { return 4.0f - 0.5f * (f % 5); }},
    {"Plateaus", [](std::size_t f, std::mt19937&) { return 1.5f + (f / 7 % 4); }},
    {"LoudNoise",
     [](std::size_t, std::mt19937& rng) {
       return std::uniform_real_distribution<float>(1.0f, 4.0f)(rng);
     }},
    {"Mixed",
     [](std::size_t f, std::mt19937& rng) {
       const float v = std::uniform_real_distribution<float>(0.0f, 4.0f)(rng);
       return f / 50 % 3 == 0 ? 3.0f - 0.01f * (f % 50) : v;
     }},
};

class WindowCorners
    : public ::testing::TestWithParam<std::tuple<WindowShape, std::pair<int, int>>> {};

TEST_P(WindowCorners, MatchTheDirectRecomputation) {
  const auto& [shape, lengths] = GetParam();
  const auto [A, H] = lengths;
  std::mt19937 rng(3);
  std::vector<float> levels(4000);
  for (std::size_t f = 0; f < levels.size(); ++f) levels[f] = shape.level(f, rng);
  const auto gains = run_fresh(A, H, 3.0, levels, 0.9);
  ASSERT_EQ(gains, oracle::envelope(levels, 0.9, A, H, 3.0));
}

std::string corner_name(
    const ::testing::TestParamInfo<std::tuple<WindowShape, std::pair<int, int>>>& info) {
  const WindowShape& shape = std::get<0>(info.param);
  const std::pair<int, int>& lengths = std::get<1>(info.param);
  return std::string(shape.name) + "_A" + std::to_string(lengths.first) + "_H" +
         std::to_string(lengths.second);
}

INSTANTIATE_TEST_SUITE_P(Shapes, WindowCorners,
                         ::testing::Combine(::testing::ValuesIn(kWindowShapes),
                                            ::testing::Values(std::pair{1, 0}, std::pair{1, 1},
                                                              std::pair{2, 0}, std::pair{1, 2},
                                                              std::pair{3, 1}, std::pair{4, 5},
                                                              std::pair{16, 40})),
                         corner_name);

TEST(GainEnvelope, StoredGainRoundingIsTheOnlyExcess) {
  // float32(0.5 / 3) × 3 is 0.5000000149: over T only by the gain's rounding.
  const auto gains = run_fresh(4, 2, 5.0, impulse(30, 15, 3.0f), 0.5);
  EXPECT_EQ(gains[15], static_cast<float>(0.5 / (3.0 + kEps)));
  EXPECT_GT(3.0 * gains[15], 0.5);
  EXPECT_LE(3.0 * gains[15], 0.5 * (1 + 0x1p-24));
}

TEST(GainEnvelope, SaturatedLengthsAreOutOfMemory) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_TRUE(qx::GainEnvelope::create(240, kMax - 240, 10).out_of_memory());
  EXPECT_TRUE(qx::GainEnvelope::create(kMax, 0, 10).out_of_memory());
  EXPECT_TRUE(qx::GainEnvelope::create(kMax - 1, 0, 10).out_of_memory());
  EXPECT_TRUE(qx::GainEnvelope::create(240, kMax, 10).out_of_memory());
  EXPECT_TRUE(qx::GainEnvelope::create(std::uint64_t{1} << 61, 0, 10).out_of_memory());
}

}  // namespace
