// The meter engine unit: K-weighting design, the loudness of known
// signals, channel weights, the same bits on every instruction-set path
// and for every chunking and layout, refused chunks, and the true-peak
// search against its own definition on simple signals.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "engine/meter/loudness.hpp"
#include "engine/meter/meter.hpp"
#include "test_support.hpp"

namespace {

using namespace testing_support;
using qx::Frames;
using qx::Meter;
using qx::Readings;

constexpr double kInf = std::numeric_limits<double>::infinity();

Meter make(std::uint32_t rate, std::uint64_t channels, bool peaks = true) {
  auto made = Meter::create(rate, channels, peaks);
  EXPECT_TRUE(made.ok());
  return std::move(made).value();
}

Readings read(Meter& m) {
  auto r = m.result();
  EXPECT_TRUE(r.ok());
  return r.value();
}

// The whole planar signal (K channels of F frames) in one call.
Readings measure(const Signal& x, std::uint32_t rate, std::uint64_t K, bool peaks = true) {
  Meter m = make(rate, K, peaks);
  Signal copy = x;
  const std::uint64_t F = x.size() / K;
  EXPECT_TRUE(m.add(Frames::planar(copy.data(), F), F).ok());
  return read(m);
}

::testing::AssertionResult same(const Readings& a, const Readings& b) {
  const double x[4] = {a.integrated_lufs, a.loudness_range_lu, a.true_peak_dbtp,
                       a.sample_peak_dbfs};
  const double y[4] = {b.integrated_lufs, b.loudness_range_lu, b.true_peak_dbtp,
                       b.sample_peak_dbfs};
  for (int i = 0; i < 4; ++i) {
    if (std::bit_cast<std::uint64_t>(x[i]) != std::bit_cast<std::uint64_t>(y[i])) {
      return ::testing::AssertionFailure() << "figure " << i << ": " << x[i] << " vs " << y[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// K channels of a sine at `hz`, amplitude `a`, F frames, planar.
Signal sine(std::uint64_t K, std::uint64_t F, double hz, double a, std::uint32_t rate) {
  Signal x(K * F);
  for (std::uint64_t c = 0; c < K; ++c) {
    for (std::uint64_t f = 0; f < F; ++f) {
      x[c * F + f] =
          static_cast<float>(a * std::sin(2.0 * M_PI * hz * static_cast<double>(f) / rate));
    }
  }
  return x;
}

TEST(MeterLoudness, KWeightingReproducesThePrinted48kCoefficients) {
  const auto k = qx::meter::k_weighting(48000);
  const double printed[2][5] = {
      {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241, 0.73248077421585},
      {1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621},
  };
  for (int s = 0; s < 2; ++s) {
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(k.stage[s][i], printed[s][i], 1e-10) << s << i;
  }
}

TEST(MeterLoudness, SubblocksAreATenthOfASecondRoundedHalfUp) {
  EXPECT_EQ(qx::meter::subblock_frames(48000), 4800u);
  EXPECT_EQ(qx::meter::subblock_frames(11025), 1103u);
  EXPECT_EQ(qx::meter::subblock_frames(12345), 1235u);
  EXPECT_EQ(qx::meter::subblock_frames(8005), 801u);
  EXPECT_EQ(qx::meter::subblock_frames(8004), 800u);
}

TEST(MeterLoudness, ChannelWeightsByPosition) {
  using qx::meter::channel_weight;
  EXPECT_EQ(channel_weight(1, 0), 1.0);
  EXPECT_EQ(channel_weight(4, 2), 1.41);
  EXPECT_EQ(channel_weight(5, 2), 1.0);
  EXPECT_EQ(channel_weight(5, 4), 1.41);
  EXPECT_EQ(channel_weight(6, 3), 0.0);
  EXPECT_EQ(channel_weight(6, 5), 1.41);
  EXPECT_EQ(channel_weight(8, 6), 0.0);
  EXPECT_EQ(channel_weight(8, 7), 0.0);
}

TEST(MeterLoudness, StereoSineAtMinus23DbfsReadsMinus23Lufs) {
  // A 1 kHz sine peaking at −23 dBFS in both channels: the K-weighting's
  // gain at 1 kHz and the −0.691 offset cancel, the sine's mean square and
  // the two channels' sum cancel too.
  for (std::uint32_t rate : {44100u, 48000u}) {
    const Readings r =
        measure(sine(2, 5 * rate, 1000.0, std::pow(10.0, -23.0 / 20.0), rate), rate, 2);
    EXPECT_NEAR(r.integrated_lufs, -23.0, 0.05) << rate;
    EXPECT_NEAR(r.sample_peak_dbfs, -23.0, 0.01);
  }
}

TEST(MeterLoudness, SilenceAndTooLittleAudioReadMinusInfinity) {
  for (std::uint64_t F : {0ull, 1ull, 19199ull, 96000ull}) {
    const Readings r = measure(Signal(2 * F, 0.0f), 48000, 2);
    EXPECT_EQ(r.integrated_lufs, -kInf);
    EXPECT_EQ(r.loudness_range_lu, -kInf);
    EXPECT_EQ(r.true_peak_dbtp, -kInf);
    EXPECT_EQ(r.sample_peak_dbfs, -kInf);
  }
  // One block of loud audio: integrated yes, no 3 s window for the range.
  const Readings r = measure(sine(1, 19200, 997.0, 0.5, 48000), 48000, 1);
  EXPECT_TRUE(std::isfinite(r.integrated_lufs));
  EXPECT_EQ(r.loudness_range_lu, -kInf);
}

TEST(MeterLoudness, LoudnessOnlyMeterGivesTheSameLoudness) {
  const Signal x = signal(Kind::Music, 2, 100000, 3);
  const Readings full = measure(x, 44100, 2), loud = measure(x, 44100, 2, false);
  EXPECT_EQ(full.integrated_lufs, loud.integrated_lufs);
  EXPECT_EQ(loud.true_peak_dbtp, -kInf);
}

// ---------------------------------------------------------------------------
// The same bits on every path, for every chunking and layout

struct ChunkCase {
  std::uint32_t rate;
  std::uint64_t channels;
};

class MeterBits : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(MeterBits, EveryPathGivesTheSameBits) {
  const auto [rate, K] = GetParam();
  for (Kind kind : {Kind::Music, Kind::Noise, Kind::Extremes}) {
    const Signal x = signal(kind, K, 3 * rate + 777, 17);
    std::vector<Readings> readings;
    for (auto p : available_paths()) {
      ForcedPath forced(p);
      readings.push_back(measure(x, rate, K));
    }
    for (const Readings& r : readings) EXPECT_TRUE(same(r, readings[0]));
  }
}

TEST_P(MeterBits, ChunkingAndLayoutChangeNoBit) {
  const auto [rate, K] = GetParam();
  const std::uint64_t F = 2 * rate + 4321;
  const Signal x = signal(Kind::Music, K, F, 5);
  const Readings whole = measure(x, rate, K);
  Signal interleaved(K * F);
  for (std::uint64_t c = 0; c < K; ++c) {
    for (std::uint64_t f = 0; f < F; ++f) interleaved[f * K + c] = x[c * F + f];
  }
  std::mt19937 rng(K + rate);
  for (std::uint64_t sizes : {1ull, 63ull, 4096ull, 4097ull, 30000ull, 0ull}) {
    Meter planar = make(rate, K), inter = make(rate, K);
    for (std::uint64_t pos = 0; pos < F;) {
      const std::uint64_t n = std::min<std::uint64_t>(F - pos, sizes ? sizes : 1 + rng() % 9000);
      // A planar chunk of n frames: each channel's run copied out.
      Signal chunk(K * n);
      for (std::uint64_t c = 0; c < K; ++c) {
        std::copy_n(x.begin() + static_cast<std::ptrdiff_t>(c * F + pos), n,
                    chunk.begin() + static_cast<std::ptrdiff_t>(c * n));
      }
      ASSERT_TRUE(planar.add(Frames::planar(chunk.data(), n), n).ok());
      ASSERT_TRUE(inter.add(Frames::interleaved(interleaved.data() + pos * K, K), n).ok());
      pos += n;
      if (pos == n) {  // a reading midway changes nothing that follows
        ASSERT_TRUE(planar.result().ok());
      }
    }
    EXPECT_TRUE(same(read(planar), whole)) << sizes;
    EXPECT_TRUE(same(read(inter), whole)) << sizes;
  }
}

INSTANTIATE_TEST_SUITE_P(Meter, MeterBits,
                         ::testing::Values(ChunkCase{48000, 2}, ChunkCase{11025, 1},
                                           ChunkCase{8000, 6}, ChunkCase{96000, 5}));

// ---------------------------------------------------------------------------
// Refused chunks

TEST(MeterInput, TheEarliestBadFrameThenTheLowestChannelIsReported) {
  Meter m = make(48000, 3);
  Signal first = signal(Kind::Music, 3, 1000, 1);
  ASSERT_TRUE(m.add(Frames::planar(first.data(), 1000), 1000).ok());
  const Readings before = read(m);
  Signal bad(3 * 50, 0.25f);
  bad[2 * 50 + 7] = NAN;       // channel 2, frame 7
  bad[1 * 50 + 7] = 5e9f;      // channel 1, frame 7: reported
  bad[0 * 50 + 9] = INFINITY;  // channel 0, frame 9
  auto added = m.add(Frames::planar(bad.data(), 50), 50);
  ASSERT_TRUE(added.is_error());
  EXPECT_EQ(added.error().kind, qx::ErrorKind::SampleOutOfRange);
  EXPECT_EQ(added.error().frame, 1000u + 7u);  // counted from the meter's first frame
  EXPECT_EQ(added.error().channel, 1u);
  EXPECT_EQ(added.error().sample, 5e9f);
  bad[1 * 50 + 7] = -4294967296.0f;  // the limit itself is allowed
  added = m.add(Frames::planar(bad.data(), 50), 50);
  ASSERT_TRUE(added.is_error());
  EXPECT_EQ(added.error().kind, qx::ErrorKind::NonFiniteSample);
  EXPECT_EQ(added.error().frame, 1000u + 7u);
  EXPECT_EQ(added.error().channel, 2u);
  EXPECT_EQ(m.frames(), 1000u);
  EXPECT_TRUE(same(read(m), before));
}

// ---------------------------------------------------------------------------
// True peak from first principles

TEST(MeterPeak, AQuarterRateSine45DegreesOffReadsItsPeakWithin005Db) {
  for (std::uint32_t rate : {44100u, 48000u, 96000u}) {
    const std::uint64_t F = rate;
    Signal x(F);
    // Raised-cosine ramps of 0.1 s: an abrupt start would overshoot.
    const double ramp = 0.1 * rate;
    for (std::uint64_t f = 0; f < F; ++f) {
      const double t = static_cast<double>(f);
      const double edge = std::min(1.0, std::min(t, static_cast<double>(F - 1) - t) / ramp);
      x[f] = static_cast<float>((0.5 - 0.5 * std::cos(M_PI * edge)) * 0.5 *
                                std::cos(M_PI / 2 * t + M_PI / 4));
    }
    const Readings r = measure(x, rate, 1);
    EXPECT_NEAR(r.sample_peak_dbfs, 20 * std::log10(0.5) - 3.0103, 0.001);
    EXPECT_NEAR(r.true_peak_dbtp, 20 * std::log10(0.5), 0.05) << rate;
    EXPECT_GE(r.true_peak_dbtp, 20 * std::log10(0.5));
  }
}

TEST(MeterPeak, AnImpulseReadsAtLeastItsSampleAndTheTruePeakNeverBelowTheSamplePeak) {
  Signal x(20000, 0.0f);
  x[12345] = -0.75f;
  const Readings r = measure(x, 48000, 1);
  EXPECT_DOUBLE_EQ(r.sample_peak_dbfs, 20 * std::log10(0.75));
  EXPECT_GE(r.true_peak_dbtp, r.sample_peak_dbfs);
  for (Kind kind : {Kind::Music, Kind::Noise, Kind::Extremes}) {
    const Readings s = measure(signal(kind, 2, 30000, 9), 44100, 2);
    EXPECT_GE(s.true_peak_dbtp, s.sample_peak_dbfs);
  }
}

}  // namespace
