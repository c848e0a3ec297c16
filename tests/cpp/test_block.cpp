// Block processing: the checks and the index of the reported sample, gains
// linked across channels, the float32 ceiling, and exact agreement with a
// plain evaluation of validation, levels, envelope and clamped gains at
// every block length up to 300 frames, in every detection mode and on
// every instruction-set path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/block/block.hpp"
#include "oracle.hpp"
#include "test_support.hpp"

namespace {

using namespace testing_support;

constexpr float kLimit = 4294967296.0f;  // 2^32
const float kAboveLimit = std::nextafter(kLimit, std::numeric_limits<float>::infinity());
constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Outcome {
  qx::Result<qx::Buffer<float>> result;
  Signal audio;
  Signal gains() {
    if (!result.ok()) return {};
    const float* g = result.value().data();
    return Signal(g, g + result.value().size());
  }
};

Outcome process(qx::Limiter& lim, Signal block, std::uint64_t K) {
  auto result = qx::process_block(lim, block.data(), block.size(), K);
  return {std::move(result), std::move(block)};
}

// ---------------------------------------------------------------------------
// Checks, in their order.

TEST(ProcessBlock, ZeroChannelsComesFirst) {
  auto lim = limiter(48000, false);
  Signal x(7, kNaN);
  auto out = process(lim, x, 0);
  ASSERT_TRUE(out.result.is_error());
  EXPECT_EQ(out.result.error().kind, qx::ErrorKind::ZeroChannels);
}

TEST(ProcessBlock, IndivisibleBeforeAnySample) {
  auto lim = limiter(48000, false);
  auto out = process(lim, Signal(7, kNaN), 2);
  ASSERT_TRUE(out.result.is_error());
  EXPECT_EQ(out.result.error().message(),
            "7 samples cannot be divided into frames with 2 channels");
}

class EveryMode : public ::testing::TestWithParam<ModeCase> {
 protected:
  qx::Limiter make(double threshold_dBFS = -3.0) {
    return limiter(GetParam().rate, GetParam().true_peak, threshold_dBFS);
  }
};

TEST_P(EveryMode, NoFramesIsNoWork) {
  auto lim = make();
  auto out = process(lim, {}, 2);
  ASSERT_TRUE(out.result.ok());
  EXPECT_EQ(out.result.value().size(), 0u);
  EXPECT_TRUE(out.audio.empty());
}

TEST_P(EveryMode, TwoToThe32IsTheLargestAcceptedMagnitude) {
  auto lim = make();
  auto ok = process(lim, {kLimit, -kLimit, 0.0f, 1.0f}, 2);
  ASSERT_TRUE(ok.result.ok());

  for (float bad : {kAboveLimit, -kAboveLimit}) {
    auto out = process(lim, {0.0f, 1.0f, bad, 0.0f}, 2);
    ASSERT_TRUE(out.result.is_error());
    EXPECT_EQ(out.result.error().kind, qx::ErrorKind::SampleOutOfRange);
    EXPECT_EQ(out.result.error().planar_index(), 2u);
    EXPECT_EQ(out.result.error().sample, bad);
  }
  auto out = process(lim, {0.0f, 1.0f, kAboveLimit, 0.0f}, 2);
  EXPECT_EQ(out.result.error().message(),
            "input sample at flat index 2 must be between -4294967296 and 4294967296, got "
            "4294968000");
}

TEST_P(EveryMode, InfinityAndNaNAreNotFinite) {
  auto lim = make();
  for (float bad : {kInf, -kInf, kNaN}) {
    auto out = process(lim, {0.5f, bad, kAboveLimit}, 1);
    ASSERT_TRUE(out.result.is_error());
    EXPECT_EQ(out.result.error().kind, qx::ErrorKind::NonFiniteSample);
    EXPECT_EQ(out.result.error().message(), "input sample at flat index 1 is not finite");
  }
}

// Channel 0 is examined before channel 1, whatever the frame.
TEST_P(EveryMode, FirstBadSampleInChannelOrder) {
  auto lim = make();
  Signal x(20, 0.25f);
  x[10] = kNaN;        // channel 1, frame 0
  x[5] = kAboveLimit;  // channel 0, frame 5
  auto out = process(lim, x, 2);
  ASSERT_TRUE(out.result.is_error());
  EXPECT_EQ(out.result.error().kind, qx::ErrorKind::SampleOutOfRange);
  EXPECT_EQ(out.result.error().planar_index(), 5u);
  EXPECT_TRUE(same_bits(x, out.audio)) << "the block is left as it was";
}

// Bad samples at every position of long blocks, so that each lies in a
// vector group, in a scalar remainder, or after other groups, in each
// channel; the reported index is always the first in flat order.
TEST_P(EveryMode, FirstBadSampleAtEveryPosition) {
  auto lim = make();
  const std::uint64_t K = 2, F = 37;
  for (auto path : available_paths()) {
    ForcedPath forced(path);
    for (std::uint64_t first = 0; first < K * F; ++first) {
      Signal x = signal(Kind::Noise, K, F, static_cast<std::uint32_t>(first));
      x[first] = first % 2 ? kInf : -kAboveLimit;
      if (first + 3 < K * F) x[first + 3] = kNaN;
      auto out = process(lim, x, K);
      ASSERT_TRUE(out.result.is_error());
      ASSERT_EQ(out.result.error().planar_index(), first) << qx::dispatch::path_name(path);
      ASSERT_EQ(out.result.error().kind,
                first % 2 ? qx::ErrorKind::NonFiniteSample : qx::ErrorKind::SampleOutOfRange);
    }
  }
}

// In a long block the first bad sample in channel order may come long after
// a bad sample of a later channel in frame order.
TEST_P(EveryMode, FirstBadSampleOfALongBlock) {
  auto lim = make();
  const std::uint64_t K = 3, F = 10000;
  for (auto path : available_paths()) {
    ForcedPath forced(path);
    Signal x = signal(Kind::Music, K, F, 8);
    x[2 * F] = kNaN;         // channel 2, frame 0
    x[F + 7] = kAboveLimit;  // channel 1, frame 7
    x[9000] = -kInf;         // channel 0, frame 9000
    auto out = process(lim, x, K);
    ASSERT_TRUE(out.result.is_error());
    EXPECT_EQ(out.result.error().planar_index(), 9000u) << qx::dispatch::path_name(path);
    EXPECT_EQ(out.result.error().kind, qx::ErrorKind::NonFiniteSample);
    x[9000] = 0.0f;
    out = process(lim, x, K);
    EXPECT_EQ(out.result.error().planar_index(), F + 7) << qx::dispatch::path_name(path);
    EXPECT_EQ(out.result.error().kind, qx::ErrorKind::SampleOutOfRange);
  }
}

// ---------------------------------------------------------------------------
// Levels, gains and the ceiling.

TEST_P(EveryMode, QuietBlockComesBackUnchangedWithUnitGains) {
  auto lim = make(-1.0);
  Signal x = signal(Kind::Music, 2, 500, 5);
  for (float& v : x) v *= 0.1f;  // far below the ceiling, even between samples
  auto out = process(lim, x, 2);
  ASSERT_TRUE(out.result.ok());
  EXPECT_TRUE(same_bits(x, out.audio));
  EXPECT_EQ(out.gains(), Signal(500, 1.0f));
}

// gain × sample may round above the float32 ceiling; the clamp holds it.
TEST_P(EveryMode, EveryOutputSampleWithinTheCeiling) {
  std::uint64_t clamped = 0;
  for (double dB : {-0.0, -1.0, -3.0, -7.7, -20.0}) {
    auto lim = make(dB);
    const auto T32 = static_cast<float>(lim.threshold());
    for (Kind kind : {Kind::Music, Kind::Noise, Kind::Extremes}) {
      const Signal x = signal(kind, 2, 600, 17);
      auto out = process(lim, x, 2);
      ASSERT_TRUE(out.result.ok());
      const Signal g = out.gains();
      for (std::size_t i = 0; i < x.size(); ++i) {
        ASSERT_LE(std::fabs(out.audio[i]), T32) << i;
        if (std::fabs(x[i] * g[i % 600]) > T32) ++clamped;
      }
    }
  }
  EXPECT_GT(clamped, 0u) << "no product rounded above the ceiling; the test lost its point";
}

TEST_P(EveryMode, OneGainForEveryChannelOfAFrame) {
  auto lim = make(-6.0);
  const std::uint64_t F = 400;
  Signal x(2 * F, 0.0f);
  for (std::uint64_t f = 0; f < F; ++f) {
    x[f] = 0.1f * static_cast<float>(std::sin(0.05 * static_cast<double>(f)));
    x[F + f] = -x[f];
  }
  x[200] = 0.3f;       // channel 0 peaks below the ceiling
  x[F + 200] = -2.0f;  // channel 1 well above it, in the same frame
  auto out = process(lim, x, 2);
  ASSERT_TRUE(out.result.ok());
  const Signal g = out.gains();
  for (std::uint64_t f = 0; f < F; ++f) {
    const auto T32 = static_cast<float>(lim.threshold());
    EXPECT_EQ(out.audio[f], std::clamp(x[f] * g[f], -T32, T32));
    EXPECT_EQ(out.audio[F + f], std::clamp(x[F + f] * g[f], -T32, T32));
  }
  EXPECT_LE(g[200] * 2.0f, static_cast<float>(lim.threshold()) * 1.000001f)
      << "the gain comes from the larger peak";
  EXPECT_LT(out.audio[200], 0.3f * 0.6f) << "the quieter channel is reduced with it";
}

// Mono levels are the absolute samples: the sign of a sample changes no
// gain, and the gains are the envelope's over |x|.
TEST(ProcessBlock, MonoLevelsAreAbsoluteSamples) {
  auto lim = limiter(48000, false, -2.0);
  Signal x = signal(Kind::Noise, 1, 700, 23);
  Signal flipped(x);
  for (std::size_t i = 0; i < x.size(); i += 3) flipped[i] = -flipped[i];
  auto a = process(lim, x, 1);
  auto b = process(lim, flipped, 1);
  ASSERT_TRUE(a.result.ok() && b.result.ok());
  EXPECT_TRUE(same_bits(a.gains(), b.gains()));

  Signal levels(x);
  for (float& v : levels) v = std::fabs(v);
  lim.envelope().reset();
  lim.envelope().run(levels.data(), levels.size(), lim.threshold());
  EXPECT_TRUE(same_bits(levels, a.gains()));
}

TEST_P(EveryMode, SecondBlockDoesNotRememberTheFirst) {
  auto lim = make();
  const Signal loud = signal(Kind::Noise, 2, 300, 1);
  const Signal music = signal(Kind::Music, 2, 300, 2);
  auto first = process(lim, loud, 2);
  auto second = process(lim, music, 2);
  auto fresh_lim = make();
  auto fresh = process(fresh_lim, music, 2);
  EXPECT_TRUE(same_bits(fresh.audio, second.audio));
  EXPECT_TRUE(same_bits(fresh.gains(), second.gains()));
}

// ---------------------------------------------------------------------------
// Exact agreement with the plain evaluation.

TEST_P(EveryMode, EqualsThePlainEvaluationAtEveryLength) {
  auto lim = make();
  const auto paths = available_paths();
  for (std::uint64_t F = 1; F <= 300; ++F) {
    for (std::uint64_t K : {1u, 2u}) {
      const Kind kind = static_cast<Kind>((F * 7 + K) % 3);
      const Signal block = signal(kind, K, F, static_cast<std::uint32_t>(F * 3 + K));
      const oracle::Processed expected = oracle::process(lim, block, K);
      ASSERT_FALSE(expected.error.has_value());
      for (auto path : paths) {
        ForcedPath forced(path);
        auto out = process(lim, block, K);
        ASSERT_TRUE(out.result.ok());
        ASSERT_TRUE(same_bits(expected.gains, out.gains()))
            << "gains, " << qx::dispatch::path_name(path) << ", " << K << " x " << F;
        ASSERT_TRUE(same_bits(expected.audio, out.audio))
            << "audio, " << qx::dispatch::path_name(path) << ", " << K << " x " << F;
      }
    }
  }
}

// Frames laid out frame after frame (interleaved) are limited as their
// planar copy is, at lengths around the vector widths and the pipeline's
// rounds, and a bad sample is reported by the same planar index.
TEST_P(EveryMode, InterleavedBlocksEqualPlanarOnes) {
  for (std::uint64_t K : {1u, 2u, 3u}) {
    for (std::uint64_t F : {1u, 15u, 16u, 17u, 33u, 4095u, 4096u, 4097u, 9001u}) {
      const Signal planar = signal(Kind::Music, K, F, static_cast<std::uint32_t>(F + K));
      Signal interleaved(K * F);
      for (std::uint64_t c = 0; c < K; ++c) {
        for (std::uint64_t f = 0; f < F; ++f) interleaved[f * K + c] = planar[c * F + f];
      }
      for (auto path : available_paths()) {
        ForcedPath forced(path);
        auto lim = make();
        auto expected = process(lim, planar, K);
        Signal limited = interleaved;  // limited in place
        auto got =
            qx::process_block(lim, limited.data(), limited.size(), K, qx::BlockLayout::Interleaved);
        ASSERT_TRUE(got.ok());
        const float* g = got.value().data();
        ASSERT_TRUE(same_bits(expected.gains(), Signal(g, g + F)))
            << qx::dispatch::path_name(path) << ", " << K << " x " << F;
        for (std::uint64_t c = 0; c < K; ++c) {
          for (std::uint64_t f = 0; f < F; ++f) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(limited[f * K + c]),
                      std::bit_cast<std::uint32_t>(expected.audio[c * F + f]))
                << qx::dispatch::path_name(path) << ", " << K << " x " << F;
          }
        }
        // The first bad sample in channel-major order, by its planar index.
        Signal bad = interleaved;
        bad[(F - 1) * K + 0] = kNaN;
        if (K > 1) bad[0 * K + (K - 1)] = kInf;
        auto err = qx::process_block(lim, bad.data(), bad.size(), K, qx::BlockLayout::Interleaved);
        ASSERT_TRUE(err.is_error());
        EXPECT_EQ(err.error().planar_index(), F - 1);
      }
    }
  }
}

// A stereo planar block through every path gives the oracle's gains and
// audio, bit for bit.
void expect_plain_evaluation(qx::Limiter& lim, const Signal& block, const std::string& what) {
  const oracle::Processed expected = oracle::process(lim, block, 2);
  for (auto path : available_paths()) {
    ForcedPath forced(path);
    auto out = process(lim, block, 2);
    ASSERT_TRUE(out.result.ok());
    EXPECT_TRUE(same_bits(expected.gains, out.gains()))
        << "gains, " << qx::dispatch::path_name(path) << ", " << what;
    EXPECT_TRUE(same_bits(expected.audio, out.audio))
        << "audio, " << qx::dispatch::path_name(path) << ", " << what;
  }
}

// The detector may skip its filters where no sample around a run of frames
// is loud enough to push an interpolated point over the ceiling. Signals
// whose loudness hovers around that point, for several ceilings and block
// lengths past the detector's chunks: the gains and audio must be those of
// the exact levels.
TEST_P(EveryMode, EqualsThePlainEvaluationAroundTheQuietLimit) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
  for (double threshold_dBFS : {-1.0, -6.0, -12.0}) {
    auto lim = limiter(GetParam().rate, GetParam().true_peak, threshold_dBFS);
    const auto T = static_cast<float>(lim.threshold());
    for (std::uint64_t F : {600u, 5000u}) {
      Signal block(2 * F);
      for (std::uint64_t f = 0; f < F; ++f) {
        // Slow swells between a fifth and 0.9 of the ceiling: stage 2 can
        // lift the loudest sample it reads by up to about 1.4 (the upsampler
        // before it by up to 3 more), so some runs are skipped and others
        // not; and single spikes to the ceiling.
        const float swell = 0.2f + 0.7f * (0.5f + 0.5f * std::sin(static_cast<float>(f) * 0.01f));
        for (std::uint64_t c = 0; c < 2; ++c) block[c * F + f] = T * swell * uni(rng);
        if (f % 97 == 0) block[f] = T * (f % 2 ? 1.0f : -0.999f);
      }
      expect_plain_evaluation(
          lim, block, std::to_string(F) + " frames at " + std::to_string(threshold_dBFS) + " dBFS");
    }
  }
}

// The skipping bound is tight: samples of magnitude A signed like the taps
// of the interpolation phase with the largest Σ |h_m| put that phase's point
// at A Σ |h_m|. Around A = T / Σ |h_m| an interpolated point lands just
// under or just over the ceiling; a skipped run there would give a level
// under T where the exact one is over it.
TEST_P(EveryMode, SkippingNeverHidesAnInterpolatedPointOverTheCeiling) {
  auto lim = limiter(GetParam().rate, GetParam().true_peak, -1.0);
  if (lim.detection().kind != qx::DetectionKind::Reference) GTEST_SKIP();
  const int phases = lim.detection().four_phase ? 4 : 2;  // 0 and 2 only at the double rates
  int worst = 0;
  double gain = 0.0;
  for (int q = 0; q < phases; ++q) {
    const int p = phases == 4 ? q : 2 * q;
    double sum = 0.0;
    for (int m = 0; m < 12; ++m) sum += std::fabs(static_cast<double>(qx::kReferencePhases[p][m]));
    if (sum > gain) gain = sum, worst = p;
  }
  const double T = lim.threshold();
  const std::uint64_t F = 3000;
  for (double f : {0.995, 0.999, 0.9995, 1.0, 1.0005, 1.001, 1.005}) {
    const auto A = static_cast<float>(T / gain * f);
    Signal block(2 * F, 0.0f);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> noise(-0.01f, 0.01f);
    for (float& v : block) v = noise(rng);
    // Phase p at frame a reads x[a + 5 − m] with tap h_p[m].
    for (std::uint64_t a = 100; a + 20 < F; a += 150) {
      for (int m = 0; m < 12; ++m) {
        const float h = qx::kReferencePhases[worst][m];
        block[(a / 150 % 2) * F + a + 5 - m] = h < 0.0f ? -A : A;
      }
    }
    expect_plain_evaluation(lim, block, "A = " + std::to_string(f) + " T / gain");
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, EveryMode, ::testing::ValuesIn(kModes), mode_name);

}  // namespace
