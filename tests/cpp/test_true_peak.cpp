// The true-peak detector: pinned values of the reference filter and the
// Kaiser upsampler, and exact agreement with a frame-by-frame evaluation of
// the formulas at every block length up to 300 frames, on every
// instruction-set path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include "engine/detector/kernels.hpp"
#include "engine/detector/true_peak.hpp"
#include "oracle.hpp"
#include "test_support.hpp"

namespace {

using namespace testing_support;

// Stage 1 alone for one channel of `frames` samples, as the detector's
// kernels compute it: out[i × L + c] = the band-limited value at time
// i + c/L.
void kaiser_upsample(const float* x, std::uint64_t frames, const qx::DetectionMode& mode,
                     float* out) {
  // Through a small phase-by-phase buffer, then frame by frame.
  constexpr std::int64_t kBlock = 256;
  std::vector<float> storage(5 * kBlock);
  float* phase[6];
  const std::int64_t L = mode.factor;
  for (std::int64_t c = 1; c < L; ++c) phase[c] = storage.data() + (c - 1) * kBlock;
  const auto n = static_cast<std::int64_t>(frames);
  for (std::int64_t first = 0; first < n; first += kBlock) {
    const std::int64_t last = std::min(n, first + kBlock);
    qx::detector_kernels::filter_kernels().kaiser_range(x, n, first, last, mode, phase);
    for (std::int64_t i = first; i < last; ++i) {
      out[i * L] = x[i];
      for (std::int64_t c = 1; c < L; ++c) out[i * L + c] = phase[c][i - first];
    }
  }
}

qx::DetectionMode reference_mode(bool four_phase) {
  qx::DetectionMode mode;
  mode.kind = qx::DetectionKind::Reference;
  mode.four_phase = four_phase;
  return mode;
}

qx::DetectionMode kaiser_mode(unsigned factor, bool four_phase) {
  auto made = qx::build_kaiser_bank(factor, four_phase);
  EXPECT_TRUE(made.ok());
  return std::move(made).value();
}

Signal take(qx::Result<qx::Buffer<float>> result, std::uint64_t frames) {
  EXPECT_TRUE(result.ok());
  if (!result.ok()) return {};
  const float* p = result.value().data();
  return Signal(p, p + frames);
}

Signal reference(const Signal& x, std::uint64_t K, bool four_phase) {
  return take(qx::reference_levels(x.data(), x.size(), K, four_phase), x.size() / K);
}

Signal true_peak(const qx::DetectionMode& mode, const Signal& x, std::uint64_t K) {
  return take(qx::true_peak_levels(mode, x.data(), x.size(), K), x.size() / K);
}

// Runs `check` once on every path this machine has.
template <class Check>
void on_every_path(Check check) {
  for (auto path : available_paths()) {
    SCOPED_TRACE(qx::dispatch::path_name(path));
    ForcedPath forced(path);
    check();
  }
}

// Equal to six significant digits.
::testing::AssertionResult about(double expected, double actual) {
  if (std::fabs(actual - expected) <= 5e-6 * std::fabs(expected)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << actual << " is not about " << expected;
}

TEST(ReferenceLevels, OneFrameReadsTheSampleItself) {
  on_every_path([] {
    // Every phase weights the one sample by a tap below 1.
    EXPECT_EQ(reference(Signal{1.0f}, 1, true), Signal{1.0f});
    EXPECT_EQ(true_peak(reference_mode(true), Signal{1.0f}, 1), Signal{1.0f});
  });
}

TEST(ReferenceLevels, IsolatedImpulseReadsSingleTaps) {
  on_every_path([] {
    Signal x(40, 0.0f);
    const int k = 20;
    x[k] = 1.0f;
    const Signal four = reference(x, 1, true);
    const std::map<int, float> expected = {
        {-5, 0.0291748046875f}, {-4, 0.0330810546875f}, {-3, 0.0582275390625f},
        {-2, 0.1015625f},       {-1, 0.2003173828125f}, {0, 1.0f},
        {1, 0.97216796875f},    {2, 0.2003173828125f},  {3, 0.1015625f},
        {4, 0.0582275390625f},  {5, 0.0330810546875f},  {6, 0.0291748046875f}};
    for (int a = 0; a < 40; ++a) {
      const auto it = expected.find(a - k);
      EXPECT_EQ(four[a], it == expected.end() ? 0.0f : it->second) << "frame " << a;
    }
    const Signal two = reference(x, 1, false);
    EXPECT_EQ(two[k], 1.0f);
    EXPECT_EQ(two[k + 1], 0.97216796875f);
    EXPECT_EQ(two[k - 1], 0.2003173828125f);
    EXPECT_EQ(two[k + 2], 0.16650390625f);
  });
}

TEST(ReferenceLevels, ConstantBlockRisesAtTheEdgesOfTheSilence) {
  on_every_path([] {
    const Signal ones(20, 1.0f);
    Signal four = {1.0f, 1.1158447265625f, 1.0f, 1.024658203125f, 1.0f, 1.0098876953125f};
    four.insert(four.end(), 9, 1.0015869140625f);  // the sum of phase 0's taps
    four.insert(four.end(), {1.0098876953125f, 1.0f, 1.024658203125f, 1.0f, 1.1158447265625f});
    EXPECT_EQ(reference(ones, 1, true), four);

    Signal two = four;
    two[1] = 1.10205078125f;
    for (int a = 15; a < 20; ++a) {
      two[a] = Signal{1.0f, 1.0f, 1.01708984375f, 1.0f, 1.1158447265625f}[a - 15];
    }
    EXPECT_EQ(reference(ones, 1, false), two);
  });
}

TEST(ReferenceLevels, QuarterRateSinePeaksBetweenSamplesOfOneSign) {
  on_every_path([] {
    Signal x(64);
    for (int k = 0; k < 64; ++k) {
      x[k] = static_cast<float>(std::sin(2.0 * M_PI * k / 4.0 + M_PI / 4.0));
    }
    const Signal levels = reference(x, 1, true);
    for (int a = 12; a < 52; ++a) {
      const bool same_sign = (x[a] > 0) == (x[a - 1] > 0);
      EXPECT_TRUE(about(same_sign ? 1.00516 : 0.707107, levels[a])) << "frame " << a;
    }
  });
}

TEST(KaiserLevels, FactorTwoConstantBlock) {
  const auto mode = kaiser_mode(2, true);
  on_every_path([&] {
    const Signal levels = true_peak(mode, Signal(400, 1.0f), 1);
    EXPECT_TRUE(about(1.20259, levels[0]));
    for (int i = 1; i < 64; ++i) EXPECT_LE(levels[i], levels[0]) << "frame " << i;
    for (int i = 64; i < 336; ++i) EXPECT_TRUE(about(1.001587, levels[i])) << "frame " << i;
  });
}

TEST(ReferenceLevels, IndivisibleOrEmptyBuffers) {
  const Signal x(7, 0.5f);
  auto r = qx::reference_levels(x.data(), 7, 2, true);
  ASSERT_TRUE(r.is_error());
  EXPECT_EQ(r.error().message(), "7 samples cannot be divided into frames with 2 channels");

  auto empty = qx::reference_levels(x.data(), 0, 3, false);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().size(), 0u);
}

// Sizes whose working storage cannot even be computed come back as
// OutOfMemory, before any sample is read.
TEST(TruePeakLevels, StorageBeyondAddressableMemoryIsOutOfMemory) {
  const std::uint64_t huge = std::uint64_t{1} << 62;
  EXPECT_TRUE(qx::reference_levels(nullptr, huge, 1, true).out_of_memory());
  EXPECT_TRUE(qx::true_peak_levels(reference_mode(false), nullptr, huge, 1).out_of_memory());
  EXPECT_TRUE(qx::true_peak_levels(kaiser_mode(6, true), nullptr, huge, 1).out_of_memory());
  EXPECT_TRUE(qx::true_peak_levels(kaiser_mode(2, true), nullptr, huge, 1).out_of_memory());
}

// ---------------------------------------------------------------------------
// Properties and exact agreement, for every true-peak mode.

class Detector : public ::testing::TestWithParam<ModeCase> {
 protected:
  void SetUp() override {
    lim_.emplace(limiter(GetParam().rate, GetParam().true_peak));
    if (mode().kind == qx::DetectionKind::SamplePeak) GTEST_SKIP() << "no detector";
  }
  const qx::DetectionMode& mode() const { return lim_->detection(); }

  std::optional<qx::Limiter> lim_;
};

TEST_P(Detector, IdenticalChannelsReadAsOne) {
  const Signal one = signal(Kind::Music, 1, 257, 7);
  Signal three;
  for (int c = 0; c < 3; ++c) three.insert(three.end(), one.begin(), one.end());
  on_every_path(
      [&] { EXPECT_TRUE(same_bits(true_peak(mode(), one, 1), true_peak(mode(), three, 3))); });
}

TEST_P(Detector, ChannelsFoldByTheirLargestLevel) {
  const std::uint64_t F = 190;
  const Signal block = signal(Kind::Noise, 3, F, 11);
  on_every_path([&] {
    const Signal all = true_peak(mode(), block, 3);
    for (std::uint64_t f = 0; f < F; ++f) {
      float largest = 0.0f;
      for (int c = 0; c < 3; ++c) {
        const Signal ch(block.begin() + c * F, block.begin() + (c + 1) * F);
        largest = std::max(largest, true_peak(mode(), ch, 1)[f]);
      }
      ASSERT_EQ(all[f], largest) << "frame " << f;
    }
  });
}

TEST_P(Detector, LevelIsAtLeastTheSamplePeak) {
  for (Kind kind : {Kind::Music, Kind::Noise, Kind::Extremes}) {
    const std::uint64_t K = 2, F = 300;
    const Signal block = signal(kind, K, F, 3);
    const Signal levels = true_peak(mode(), block, K);
    for (std::uint64_t f = 0; f < F; ++f) {
      EXPECT_GE(levels[f], std::fabs(block[f])) << "frame " << f;
      EXPECT_GE(levels[f], std::fabs(block[F + f])) << "frame " << f;
    }
  }
}

// Every length from one frame (all edge frames, short of both filter
// spans) to 300 (every loop of the interior, with remainders), one and two
// channels, three kinds of signal.
TEST_P(Detector, EqualsTheFormulasAtEveryLength) {
  const auto paths = available_paths();
  for (std::uint64_t F = 1; F <= 300; ++F) {
    for (std::uint64_t K : {1u, 2u}) {
      const Kind kind = static_cast<Kind>((F + K) % 3);
      const Signal block = signal(kind, K, F, static_cast<std::uint32_t>(F * 10 + K));
      const Signal expected = oracle::frame_levels(mode(), block, K);
      for (auto path : paths) {
        ForcedPath forced(path);
        ASSERT_TRUE(same_bits(expected, true_peak(mode(), block, K)))
            << qx::dispatch::path_name(path) << ", " << K << " channels of " << F << " frames";
      }
    }
  }
}

TEST_P(Detector, UpsamplerEqualsTheFormulasAtEveryLength) {
  if (mode().kind != qx::DetectionKind::KaiserReference) GTEST_SKIP() << "no stage 1";
  const unsigned L = mode().factor;
  for (std::uint64_t F = 1; F <= 300; ++F) {
    const Signal x = signal(static_cast<Kind>(F % 3), 1, F, static_cast<std::uint32_t>(F));
    const Signal expected = oracle::kaiser_upsample(x.data(), static_cast<std::int64_t>(F), mode());
    for (auto path : available_paths()) {
      ForcedPath forced(path);
      Signal out(F * L, -1.0f);
      kaiser_upsample(x.data(), F, mode(), out.data());
      ASSERT_TRUE(same_bits(expected, out))
          << qx::dispatch::path_name(path) << ", " << F << " frames";
    }
  }
}

// Blocks longer than the detector's working chunks (a few thousand frames),
// ending just before, at and after chunk boundaries of every factor.
TEST_P(Detector, EqualsTheFormulasAcrossChunks) {
  for (std::uint64_t F : {1365u, 1366u, 2047u, 2048u, 2049u, 4097u, 8195u}) {
    const Signal block = signal(Kind::Music, 2, F, static_cast<std::uint32_t>(F));
    const Signal expected = oracle::frame_levels(mode(), block, 2);
    for (auto path : available_paths()) {
      ForcedPath forced(path);
      ASSERT_TRUE(same_bits(expected, true_peak(mode(), block, 2)))
          << qx::dispatch::path_name(path) << ", " << F << " frames";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, Detector, ::testing::ValuesIn(kModes), mode_name);

}  // namespace
