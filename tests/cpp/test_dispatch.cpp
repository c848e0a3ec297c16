// The instruction-set paths: which can be forced, and that every one of
// them gives the same bits as the baseline on long blocks in every mode
// (the per-length agreement with the formulas is in the block and detector
// tests).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/block/block.hpp"
#include "engine/envelope/envelope.hpp"
#include "engine/dispatch/path.hpp"
#include "test_support.hpp"

namespace {

using namespace testing_support;
using qx::dispatch::Path;

TEST(Dispatch, BaselineIsAlwaysAvailableAndBestIsChosen) {
  qx::dispatch::reset_path();
  EXPECT_TRUE(qx::dispatch::path_available(Path::Baseline));
  const Path best = available_paths().back();
  EXPECT_EQ(qx::dispatch::active_path(), best);
}

TEST(Dispatch, ForcingSwitchesOnlyToAvailablePaths) {
  for (Path p : {Path::Baseline, Path::V3, Path::V4}) {
    const Path before = qx::dispatch::active_path();
    const bool forced = qx::dispatch::force_path(p);
    EXPECT_EQ(forced, qx::dispatch::path_available(p)) << qx::dispatch::path_name(p);
    EXPECT_EQ(qx::dispatch::active_path(), forced ? p : before);
  }
  qx::dispatch::reset_path();
}

// Which paths this run actually compares; printed so a log shows whether
// the vector paths were exercised on this machine.
TEST(Dispatch, ReportsThePathsUnderTest) {
  std::string names;
  for (Path p : available_paths()) names += std::string(" ") + qx::dispatch::path_name(p);
  RecordProperty("paths", names);
  std::printf("paths under test:%s\n", names.c_str());
  SUCCEED();
}

class EveryPath : public ::testing::TestWithParam<ModeCase> {};

// Long enough for every loop of every path to run many times, and for the
// envelope's window queue to fill, drain and wrap around.
TEST_P(EveryPath, LongBlocksGiveTheSameBitsOnEveryPath) {
  const std::uint64_t K = 2, F = 12345;
  for (Kind kind : {Kind::Music, Kind::Noise, Kind::Extremes}) {
    const Signal block = signal(kind, K, F, 99);
    Signal base_audio, base_gains;
    for (Path p : available_paths()) {
      ForcedPath forced(p);
      auto lim = limiter(GetParam().rate, GetParam().true_peak, -1.5, 5.0, 15.0, 40.0);
      Signal audio = block;
      auto gains = qx::process_block(lim, audio.data(), audio.size(), K);
      ASSERT_TRUE(gains.ok());
      const Signal g(gains.value().data(), gains.value().data() + F);
      if (p == Path::Baseline) {
        base_audio = audio;
        base_gains = g;
        continue;
      }
      EXPECT_TRUE(same_bits(base_gains, g)) << "gains, " << qx::dispatch::path_name(p);
      EXPECT_TRUE(same_bits(base_audio, audio)) << "audio, " << qx::dispatch::path_name(p);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, EveryPath, ::testing::ValuesIn(kModes), mode_name);

// The envelope's release step is a fused multiply-add: a library call on
// the baseline, one instruction on the others; both round once.
TEST(Dispatch, EnvelopeGivesTheSameBitsOnEveryPath) {
  auto made = qx::GainEnvelope::create(37, 11, 123.25);
  ASSERT_TRUE(made.ok());
  auto env = std::move(made).value();
  const Signal source = signal(Kind::Noise, 1, 5000, 4);
  Signal base;
  for (Path p : available_paths()) {
    ForcedPath forced(p);
    Signal levels(source);
    for (float& v : levels) v = std::fabs(v);
    env.reset();
    env.run(levels.data(), levels.size(), 0.7);
    if (p == Path::Baseline) {
      base = levels;
    } else {
      EXPECT_TRUE(same_bits(base, levels)) << qx::dispatch::path_name(p);
    }
  }
}

}  // namespace
